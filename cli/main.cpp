#include "cli/CliMain.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirto-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIRTO_VERSION));
    return RunCli(QCoreApplication::arguments());
}
