#pragma once

// The bit rate a program on the other end of the pseudo-terminal set on it
// (the tool opens its port at a speed, as it would a real serial port). The
// slave's settings are shared by every descriptor of it, so the simulator's
// own held descriptor shows them. 0 when no rate can be read or none is set.
int TerminalBitRate(int fd);

// Sets the speed of the terminal at `fd` to the standard speed nearest
// below `bitsPerSecond`, or to none; false when it could not be set.
bool SetTerminalBitRate(int fd, int bitsPerSecond);
