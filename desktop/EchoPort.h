#pragma once

#include "core/DevicePorts.h"

#include <functional>
#include <utility>

// The text that shows a command line the user sent in the terminal: on a
// line of its own, marked, so that it is never taken for the device's text.
// `lineOpen` tells whether the terminal's last line already holds text.
QByteArray EchoText(const QByteArray &commandLine, bool lineOpen);

// The device connection as the user's own command lines reach it (the direct
// command line and the test console): while Echo is on, every line that goes
// out is shown in the terminal as it leaves, ahead of the answer.
class EchoingCommandPort : public CommandPort {
public:
    // `show` appends text to the terminal; `lineOpen` tells whether its last
    // line holds text.
    EchoingCommandPort(CommandPort &port, std::function<void(const QByteArray &)> show,
                       std::function<bool()> lineOpen);

    bool Echo = false;

    bool IsConnected() const override { return m_port.IsConnected(); }
    int Interface() const override { return m_port.Interface(); }
    void OpenConnection() override { m_port.OpenConnection(); }
    bool SendCommand(const QByteArray &text) override;
    // Exchanges are the tool's own (identification), not the user's lines.
    bool ExchangeCommand(const QByteArray &text) override { return m_port.ExchangeCommand(text); }
    QByteArray Reply() const override { return m_port.Reply(); }
    QString BusyWith() const override { return m_port.BusyWith(); }
    bool BeginSequence(const QString &job) override { return m_port.BeginSequence(job); }
    void EndSequence() override { m_port.EndSequence(); }
    void Reidentify() override { m_port.Reidentify(); }
    bool WhenConnected(std::function<void()> then) override { return m_port.WhenConnected(std::move(then)); }

private:
    void show(const QByteArray &text);

    CommandPort &m_port;
    std::function<void(const QByteArray &)> m_show;
    std::function<bool()> m_lineOpen;
};
