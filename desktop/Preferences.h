#pragma once

#include "core/HighlightRules.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// How the user likes the tool's windows: kept per user in the configuration
// folder (mirto/mirto-terminal.conf beside the ports folder), never in
// mirto.ini, whose format other tools read too. Read and written through
// QSettings each time, so that a changed $XDG_CONFIG_HOME counts at once.
namespace Preferences {

QString FilePath();

// The main window's size, place and state as QWidget::saveGeometry gives
// them; empty when none was kept.
QByteArray MainWindowGeometry();
void SetMainWindowGeometry(const QByteArray &geometry);

// Command lines the user sends are shown in the terminal (off by default).
bool LocalEcho();
void SetLocalEcho(bool on);

// Lines the terminal keeps before the oldest go (TerminalBuffer's default
// when none was chosen).
qsizetype TerminalLineLimit();
void SetTerminalLineLimit(qsizetype lines);

// Every received line shown and logged with its arrival time to the
// millisecond (off by default).
bool TimeStamps();
void SetTimeStamps(bool on);

// The terminal's highlight rules; the defaults until the user saved some
// (an empty list included).
QList<HighlightRules::Rule> HighlightRuleList();
void SetHighlightRuleList(const QList<HighlightRules::Rule> &rules);

// Tools - Reconnect Automatically (off by default).
bool AutoReconnect();
void SetAutoReconnect(bool on);

// The direct commands sent, newest first; at most CommandHistoryLimit kept.
constexpr qsizetype CommandHistoryLimit = 500;
QStringList CommandHistory();
void SetCommandHistory(const QStringList &commands);

// The folder a file dialog of the kind `kind` ("log", "terminal") was last
// left in; empty when none was.
QString LastFolder(const QString &kind);
void SetLastFolder(const QString &kind, const QString &folder);

} // namespace Preferences
