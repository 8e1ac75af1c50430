#include "desktop/EchoPort.h"

#include <utility>

QByteArray EchoText(const QByteArray &commandLine, bool lineOpen)
{
    QByteArray line = commandLine;
    if (line.endsWith('\n'))
        line.chop(1);
    // The device's prompt ends its answer without a line break: the echo
    // starts a line of its own after it.
    return (lineOpen ? QByteArray("\n") : QByteArray()) + "--> " + line + '\n';
}

CommandEcho::CommandEcho(std::function<void(const QByteArray &)> show, std::function<bool()> lineOpen)
    : m_show(std::move(show)), m_lineOpen(std::move(lineOpen))
{
}

void CommandEcho::Sent(const QByteArray &line)
{
    if (Echo && m_show)
        m_show(EchoText(line, m_lineOpen && m_lineOpen()));
}
