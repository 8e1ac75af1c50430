#include "core/CommandFile.h"

#include "core/DevicePorts.h"
#include "core/SendableText.h"

#include <QFile>

QString ParseCommandFile(const QByteArray &content, QList<CommandFileLine> &lines)
{
    lines.clear();
    QList<SendableLine> checked;
    // Checked whole before anything goes out: a fault in the last line must
    // not leave the device with the first ones.
    const SendableFault fault = CheckSendableText(content, checked);
    if (fault.IsFault())
        return fault.Message();
    for (const SendableLine &line : std::as_const(checked))
        lines.append({line.Number, line.Bytes});
    if (lines.isEmpty())
        return QStringLiteral("The file holds no command lines");
    return {};
}

QString ReadCommandFile(const QString &path, QList<CommandFileLine> &lines)
{
    lines.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // A command file is a short list, not a log: a huge file is a wrong pick.
    constexpr qint64 Largest = 4 * 1024 * 1024;
    if (file.size() > Largest)
        return QStringLiteral("The file is larger than 4 MB; this is no command file");
    const QByteArray content = file.readAll();
    if (file.error() != QFile::NoError)
        return file.errorString();
    return ParseCommandFile(content, lines);
}

QString CommandFileRun::Outcome::Summary() const
{
    const QString sent = QStringLiteral("Command file: %1 of %2 lines sent, %3 without prompt")
                             .arg(Sent)
                             .arg(Total)
                             .arg(WithoutPrompt);
    const QString line = QStringLiteral("line %1 \"%2\"").arg(Failed.LineNumber).arg(QString::fromLatin1(Failed.Text));
    switch (Ending) {
    case End::Completed:
        return sent + QStringLiteral("; done.");
    case End::NoPrompt:
        return sent + QStringLiteral("; stopped: no prompt after ") + line + QLatin1Char('.');
    case End::LinkClosed:
        return sent + QStringLiteral("; stopped: the link closed at ") + line + QLatin1Char('.');
    case End::Stopped:
        return sent + QStringLiteral("; stopped by the user.");
    case End::Refused:
        return QStringLiteral("Command file: nothing sent; the link is closed or busy.");
    }
    return sent;
}

CommandFileRun::Outcome CommandFileRun::Run(CommandPort &port, const QList<CommandFileLine> &lines,
                                            const QString &name)
{
    Outcome outcome;
    outcome.Total = int(lines.size());
    m_stop = false;
    if (!port.OpenIfClosed() || !port.BeginSequence(name)) {
        outcome.Ending = End::Refused;
        return outcome;
    }
    m_running = true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (m_stop) {
            outcome.Ending = End::Stopped;
            break;
        }
        const CommandFileLine &line = lines.at(i);
        if (Progress)
            Progress(int(i), outcome.Total, line);
        const bool prompted = port.ExchangeCommand(line.Text + '\n');
        const bool connected = port.IsConnected();
        // A line that went out counts as sent, prompt or not; one written to
        // a link that was gone did not.
        if (prompted || connected)
            ++outcome.Sent;
        if (Answered)
            Answered(line, prompted);
        if (!prompted) {
            outcome.Failed = line;
            if (m_stop && !connected) {
                // The link went with the tool's end, which asked the run to stop.
                outcome.Ending = End::Stopped;
            } else if (connected) {
                ++outcome.WithoutPrompt;
                outcome.Ending = End::NoPrompt;
            } else {
                outcome.Ending = End::LinkClosed;
            }
            break;
        }
    }
    port.EndSequence();
    m_running = false;
    return outcome;
}
