#include "desktop/Preferences.h"

#include "core/TerminalBuffer.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString GeometryKey = QStringLiteral("MainWindow/geometry");
const QString EchoKey = QStringLiteral("Terminal/localEcho");
const QString LineLimitKey = QStringLiteral("Terminal/lineLimit");
const QString StampsKey = QStringLiteral("Terminal/timeStamps");
const QString RulesKey = QStringLiteral("HighlightRules");

const QString ReconnectKey = QStringLiteral("Connection/autoReconnect");
const QString HistoryKey = QStringLiteral("Terminal/commandHistory");
const QString FoldersGroup = QStringLiteral("Folders/");

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

bool TimeStamps()
{
    return QSettings(FilePath(), QSettings::IniFormat).value(StampsKey, false).toBool();
}

void SetTimeStamps(bool on)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(StampsKey, on);
}

QList<HighlightRules::Rule> HighlightRuleList()
{
    QSettings settings(FilePath(), QSettings::IniFormat);
    if (!settings.contains(RulesKey + QStringLiteral("/size")))
        return HighlightRules::Defaults();
    QList<HighlightRules::Rule> rules;
    const int count = settings.beginReadArray(RulesKey);
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        rules.append({settings.value(QStringLiteral("pattern")).toString(),
                      settings.value(QStringLiteral("color")).toString()});
    }
    settings.endArray();
    return rules;
}

void SetHighlightRuleList(const QList<HighlightRules::Rule> &rules)
{
    QSettings settings(FilePath(), QSettings::IniFormat);
    settings.remove(RulesKey);
    settings.beginWriteArray(RulesKey, int(rules.size()));
    for (int i = 0; i < rules.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("pattern"), rules.at(i).pattern);
        settings.setValue(QStringLiteral("color"), rules.at(i).color);
    }
    settings.endArray();
    // An empty list leaves no size behind; it must still read as chosen.
    settings.setValue(RulesKey + QStringLiteral("/size"), int(rules.size()));
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

QString LastFolder(const QString &kind)
{
    return QSettings(FilePath(), QSettings::IniFormat).value(FoldersGroup + kind).toString();
}

void SetLastFolder(const QString &kind, const QString &folder)
{
    QSettings(FilePath(), QSettings::IniFormat).setValue(FoldersGroup + kind, folder);
}

} // namespace Preferences
