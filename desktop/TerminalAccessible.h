#pragma once

// Lets assistive technology read every TerminalView as a terminal: its whole
// text through the accessible text interface, line by line from the
// terminal's store. Installed once; later calls do nothing.
void InstallTerminalAccessible();
