#include "desktop/EchoPort.h"

QByteArray EchoText(const QByteArray &commandLine, bool lineOpen)
{
    QByteArray line = commandLine;
    if (line.endsWith('\n'))
        line.chop(1);
    // The device's prompt ends its answer without a line break: the echo
    // starts a line of its own after it.
    return (lineOpen ? QByteArray("\n") : QByteArray()) + "--> " + line + '\n';
}

EchoingCommandPort::EchoingCommandPort(CommandPort &port,
                                       std::function<void(const QByteArray &)> show,
                                       std::function<bool()> lineOpen)
    : m_port(port), m_show(std::move(show)), m_lineOpen(std::move(lineOpen))
{
}

bool EchoingCommandPort::SendCommand(const QByteArray &text)
{
    // Shown only once it went out: a refused line shows nothing.
    const bool sent = m_port.SendCommand(text);
    if (sent)
        show(text);
    return sent;
}

void EchoingCommandPort::show(const QByteArray &text)
{
    if (Echo && m_show)
        m_show(EchoText(text, m_lineOpen && m_lineOpen()));
}
