#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a tool window whose frame measures `size` first opens, so that the
// terminal stays readable: beside the main window's frame `mainFrame` (right,
// then left, then below, then above) where the screen's free `area` has room
// for it whole; otherwise over the main window at the right edge of the
// screen, never over the main window's `titleBar` (empty without a window
// manager), and clear of `keepClear` (the terminal's newest lines and the
// command line) where it can be, else covering as little of it as it can.
// Returns the top left corner of the frame.
QPoint PlaceBeside(const QRect &area, const QRect &mainFrame, const QRect &titleBar,
                   const QRect &keepClear, const QSize &size);
