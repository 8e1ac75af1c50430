#include "config/ConfigFile.h"

#include <QFile>

int ReadConfigFile(const QString &path)
{
    // Until the configuration format is read, a file that opens counts as loaded.
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? 0 : -1;
}
