#include "cli/CliMain.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirto-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MIRTO_VERSION));
    // An error of the tool's own (a ports folder that cannot be made, a link
    // that cannot be set up) is said and ends with a failure, never an abort.
    try {
        return RunCli(QCoreApplication::arguments());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "mirto-cli: %s\n", error.what());
        return CliToolError;
    } catch (...) {
        std::fprintf(stderr, "mirto-cli: an unexpected error ended the run\n");
        return CliToolError;
    }
}
