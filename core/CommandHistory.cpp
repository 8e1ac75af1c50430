#include "core/CommandHistory.h"

#include <algorithm>

int CommandHistoryStep(int current, int count, bool older)
{
    if (older)
        return current + 1 < count ? current + 1 : current;
    return current >= 0 ? current - 1 : -1;
}

int CommandHistorySearch(const QStringList &history, const QString &needle, int from)
{
    for (int i = std::max(from, 0); i < history.size(); ++i) {
        if (history.at(i).contains(needle))
            return i;
    }
    return -1;
}

QStringList CommandHistoryAdd(const QStringList &stored, const QString &command, qsizetype limit)
{
    QStringList history = stored;
    if (!command.trimmed().isEmpty())
        history.prepend(command);
    if (history.size() > limit)
        history.resize(std::max<qsizetype>(limit, 0));
    return history;
}
