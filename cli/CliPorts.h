#pragma once

#include <QStringList>

// mirto-cli ports: the numbered ports (COMn -> device), the USB cable marked.
// `words` are what follows "ports" on the command line. Returns the exit
// status.
int RunPortsCommand(const QStringList &words, bool json);
