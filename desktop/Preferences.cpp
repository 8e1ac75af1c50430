#include "desktop/Preferences.h"

#include "core/TerminalBuffer.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString GeometryKey = QStringLiteral("MainWindow/geometry");
const QString EchoKey = QStringLiteral("Terminal/localEcho");
const QString LineLimitKey = QStringLiteral("Terminal/lineLimit");
const QString ReconnectKey = QStringLiteral("Connection/autoReconnect");
const QString HistoryKey = QStringLiteral("Terminal/commandHistory");

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

qsizetype TerminalLineLimit()
{
    bool ok = false;
    const qlonglong lines = QSettings(FilePath(), QSettings::IniFormat)
                                .value(LineLimitKey, qlonglong(TerminalBuffer::DefaultLineLimit))
                                .toLongLong(&ok);
    // A hand-edited file with nonsense in it gets the default back.
    return ok && lines > 0 ? qsizetype(lines) : TerminalBuffer::DefaultLineLimit;
}

void SetTerminalLineLimit(qsizetype lines)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(LineLimitKey, qlonglong(lines));
}

bool AutoReconnect()
{
    return QSettings(FilePath(), QSettings::IniFormat).value(ReconnectKey, false).toBool();
}

void SetAutoReconnect(bool on)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(ReconnectKey, on);
}

QStringList CommandHistory()
{
    QStringList commands =
        QSettings(FilePath(), QSettings::IniFormat).value(HistoryKey).toStringList();
    if (commands.size() > CommandHistoryLimit)
        commands.resize(CommandHistoryLimit);
    return commands;
}

void SetCommandHistory(const QStringList &commands)
{
    QSettings(FilePath(), QSettings::IniFormat)
        .setValue(HistoryKey, commands.mid(0, CommandHistoryLimit));
}

} // namespace Preferences
