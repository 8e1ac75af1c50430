#include "core/TerminalFile.h"

#include <QDateTime>

#include "core/AtomicFile.h"
#include "core/TerminalBuffer.h"

QString WriteTerminalFile(const QString &path, const TerminalBuffer &buffer)
{
    // In a folder we may not create files in, the file itself may still be
    // writable: then it is written in place.
    AtomicFileWriter file(path, true);
    if (!file.Open())
        return file.ErrorString();
    // The lines go straight from the terminal's store into the file: a
    // terminal of many megabytes is never copied whole. An empty line after
    // the final line break is left out, so the file ends with that break.
    qsizetype count = buffer.LineCount();
    if (count > 0 && buffer.Line(count - 1).isEmpty())
        --count;
    for (qsizetype i = 0; i < count; ++i) {
        if (!file.Write(buffer.Line(i)) || !file.Write("\r\n"))
            return file.ErrorString();
    }
    if (!file.Commit())
        return file.ErrorString();
    return {};
}

QString TerminalFileName(const QDateTime &at, const QString &suffix)
{
    return QStringLiteral("mirto-") + at.toString(QStringLiteral("yyyy-MM-dd-HHmm"))
           + QLatin1Char('.') + suffix;
}
