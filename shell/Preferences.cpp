#include "shell/Preferences.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString GeometryKey = QStringLiteral("MainWindow/geometry");
const QString EchoKey = QStringLiteral("Terminal/localEcho");

} // namespace

namespace Preferences {

QString FilePath()
{
    // The folder QSettings would pick for "mirto"/"mirto-terminal", named
    // here because QSettings remembers the configuration folder it saw first.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/mirto/mirto-terminal.conf");
}

QByteArray MainWindowGeometry()
{
    return QSettings(FilePath(), QSettings::IniFormat).value(GeometryKey).toByteArray();
}

void SetMainWindowGeometry(const QByteArray &geometry)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(GeometryKey, geometry);
}

bool LocalEcho()
{
    return QSettings(FilePath(), QSettings::IniFormat).value(EchoKey, false).toBool();
}

void SetLocalEcho(bool on)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(EchoKey, on);
}

} // namespace Preferences
