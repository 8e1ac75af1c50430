#include "cli/CliPortWait.h"

#include "cli/CliInterrupt.h"

#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QTimer>

void WaitForPortChange(const QString &lockFolder, int ms)
{
    QEventLoop loop;
    QFileSystemWatcher watcher;
    if (!lockFolder.isEmpty() && watcher.addPath(lockFolder))
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, &QEventLoop::quit);
    QTimer::singleShot(qMax(0, ms), &loop, &QEventLoop::quit);
    const InterruptScope interrupt(&loop, [&loop] { loop.quit(); });
    loop.exec();
}
