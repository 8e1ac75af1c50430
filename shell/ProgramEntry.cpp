#include "shell/ProgramEntry.h"

#include <QApplication>

int ProgramEntry(int argc, char **argv)
{
    QApplication app(argc, argv);
    return 0;
}
