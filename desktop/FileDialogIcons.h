#pragma once

class QFileDialog;

// Makes a file dialog tell files apart by their names and kinds alone. The
// dialog's usual icons and type names come from the files' contents, and
// reading a file that never ends or never answers (a FIFO, /proc/kmsg as
// root) as the user types its folder into the name box holds the dialog, and
// the window, for good. No file's contents are read until the user picks it.
void ReadNoContents(QFileDialog &dialog);
