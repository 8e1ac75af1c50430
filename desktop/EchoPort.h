#pragma once

#include <QByteArray>

#include <functional>

// The text that shows a command line the tool sent in the terminal: on a
// line of its own, marked, so that it is never taken for the device's text.
// `lineOpen` tells whether the terminal's last line already holds text.
QByteArray EchoText(const QByteArray &commandLine, bool lineOpen);

// Echo Sent Commands: while Echo is on, every command line that goes out to
// the device is shown in the terminal as it leaves, ahead of its answer,
// whoever sent it: the command line, a command file, programming, the test
// console, the tool's own identification. The connection tells of each line
// it wrote (DeviceConnection::LineSent); a line refused shows nothing.
class CommandEcho {
public:
    // `show` appends text to the terminal; `lineOpen` tells whether its last
    // line holds text.
    CommandEcho(std::function<void(const QByteArray &)> show, std::function<bool()> lineOpen);

    bool Echo = false;

    // A line went out.
    void Sent(const QByteArray &line);

private:
    std::function<void(const QByteArray &)> m_show;
    std::function<bool()> m_lineOpen;
};
