#pragma once

#include <QString>
#include <QStringList>

// The command history, newest first, as Up and Down walk it: `current` is the
// entry shown, -1 the line being typed. Up (`older`) goes to the next older
// entry and stops at the oldest; Down to the next newer one and from the
// newest back to the line being typed.
int CommandHistoryStep(int current, int count, bool older);
// Ctrl+R in the command line, as a shell searches backwards: the first entry
// of `history` (newest first) from `from` on that holds `needle`; -1 when
// none does.
int CommandHistorySearch(const QStringList &history, const QString &needle, int from);
// A command sent, put in front of the history as it is stored now (newest
// first), so that several windows writing one store each keep every
// command of the others; at most `limit` are kept. A command of blanks alone
// sends a bare line end and is not worth recalling: it is not kept.
QStringList CommandHistoryAdd(const QStringList &stored, const QString &command, qsizetype limit);
