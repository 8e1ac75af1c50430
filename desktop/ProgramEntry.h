#pragma once

// Runs the tool: creates its windows, runs the event loop, returns 0.
int ProgramEntry(int argc, char **argv);
