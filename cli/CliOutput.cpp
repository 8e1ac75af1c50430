#include "cli/CliOutput.h"

#include "cli/CliJob.h"
#include "core/JsonLines.h"

#include <QRegularExpression>

#include <mutex>

namespace {

// One lock for both streams: a progress block redrawn on standard output
// and a warning on standard error share the terminal.
std::mutex outputLock;

void putLine(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

} // namespace

void CliWriteLine(FILE *stream, const QString &line)
{
    const std::lock_guard lock(outputLock);
    putLine(stream, line);
    std::fflush(stream);
}

void CliWarn(const QString &line)
{
    CliWriteLine(stderr, line);
}

void CliWriteObject(const QJsonObject &object)
{
    CliWriteLine(stdout, QString::fromUtf8(JsonLine(object)));
}

QStringList CliMessageLines(const QString &text)
{
    static const QRegularExpression lineEnd(QStringLiteral("\r?\n"));
    QStringList lines;
    for (const QString &line : text.split(lineEnd))
        if (!line.trimmed().isEmpty())
            lines << line.trimmed();
    return lines;
}

void CliWriteMessage(FILE *stream, const QString &prefix, const QString &text)
{
    for (const QString &line : CliMessageLines(text))
        CliWriteLine(stream, prefix + line);
}

QJsonObject CliResultObject(const QString &device, const CliResult &result)
{
    QJsonObject object = result.data;
    object.insert(QStringLiteral("device"), device);
    object.insert(QStringLiteral("ok"), result.ok);
    if (result.skipped)
        object.insert(QStringLiteral("skipped"), true);
    if (!result.ok) {
        object.insert(QStringLiteral("reason"), result.reason);
        object.insert(QStringLiteral("error"), CliMessageLines(result.error).join(QLatin1Char('\n')));
    }
    return object;
}

CliOutput::CliOutput(Mode mode, QStringList labels)
    : m_mode(mode), m_labels(std::move(labels)), m_rows(m_labels.size()), m_lastTenth(m_labels.size(), 0)
{
}

void CliOutput::Progress(qsizetype index, quint32 value, quint32 maximum)
{
    const quint32 total = qMax<quint32>(1, maximum + 1);
    const quint32 done = qMin(total, value + 1);
    const std::lock_guard lock(outputLock);
    if (m_mode == Mode::Terminal) {
        const int width = 40;
        const int filled = int(qint64(width) * done / total);
        m_rows[index] = prefix(index) + QLatin1Char('[') + QString(filled, QLatin1Char('#'))
                        + QString(width - filled, QLatin1Char('.'))
                        + QStringLiteral("] page %1 of %2").arg(done).arg(total);
        eraseBlock();
        drawBlock();
        std::fflush(stdout);
        return;
    }
    const quint32 tenth = done * 10 / total;
    if (tenth == m_lastTenth[index])
        return;
    m_lastTenth[index] = tenth;
    if (m_mode == Mode::Json)
        putLine(stdout, QString::fromUtf8(JsonLine({
                            {QStringLiteral("device"), m_labels.at(index)},
                            {QStringLiteral("event"), QStringLiteral("progress")},
                            {QStringLiteral("page"), qint64(done)},
                            {QStringLiteral("pages"), qint64(total)},
                        })));
    else
        putLine(stdout, prefix(index) + QStringLiteral("page %1 of %2").arg(done).arg(total));
    std::fflush(stdout);
}

void CliOutput::Say(qsizetype index, const QString &line)
{
    if (m_mode == Mode::Json)
        return;
    const std::lock_guard lock(outputLock);
    eraseBlock();
    // A message of several lines stays one, each line with its device.
    static const QRegularExpression lineEnd(QStringLiteral("\\r?\\n"));
    for (const QString &part : line.split(lineEnd, Qt::SkipEmptyParts))
        putLine(stdout, prefix(index) + part);
    drawBlock();
    std::fflush(stdout);
}

void CliOutput::Results(const QList<CliResult> &results)
{
    for (qsizetype i = 0; i < results.size(); ++i) {
        if (m_mode == Mode::Json)
            CliWriteObject(CliResultObject(m_labels.at(i), results.at(i)));
        else
            writeResultText(i, results.at(i));
    }
}

void CliOutput::writeResultText(qsizetype index, const CliResult &result)
{
    const QString &label = m_labels.at(index);
    // A device the journal shows done was not touched: that is no "OK" of
    // this run, and it is said even for one device, which says nothing else.
    if (result.skipped) {
        CliWriteLine(stdout, label + QStringLiteral(": skipped (done before)"));
        return;
    }
    if (result.ok) {
        if (m_labels.size() > 1)
            CliWriteLine(stdout, label + QStringLiteral(": OK"));
        return;
    }
    const QStringList lines = CliMessageLines(result.error);
    CliWriteLine(stderr, label + QStringLiteral(": FAILED: ") + lines.value(0));
    for (qsizetype n = 1; n < lines.size(); ++n)
        CliWriteLine(stderr, label + QStringLiteral(": ") + lines.at(n));
}

QString CliOutput::prefix(qsizetype index) const
{
    return m_labels.size() > 1 ? m_labels.at(index) + QStringLiteral(": ") : QString();
}

void CliOutput::eraseBlock()
{
    if (m_drawn > 0)
        std::fprintf(stdout, "\033[%dA\r\033[J", m_drawn);
    m_drawn = 0;
}

void CliOutput::drawBlock()
{
    if (m_mode != Mode::Terminal)
        return;
    bool started = false;
    for (const QString &row : std::as_const(m_rows))
        started = started || !row.isEmpty();
    if (!started)
        return;
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        const QString row = m_rows.at(i).isEmpty() ? prefix(i) + QStringLiteral("waiting") : m_rows.at(i);
        putLine(stdout, row);
        ++m_drawn;
    }
}
