#pragma once

#include "core/DeviceConnection.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>

// A message box would wait for a user forever; this one closes it, and the
// run counts as failed.
class ModalGuard {
public:
    explicit ModalGuard(const char *program) : m_program(program)
    {
        m_timer.setInterval(200);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            const auto *box = qobject_cast<QMessageBox *>(modal);
            std::fprintf(stderr, "%s: dismissed a dialog: %s\n", m_program,
                         qPrintable(box ? box->text() : modal->windowTitle()));
            m_seen = true;
            modal->close();
        });
        m_timer.start();
    }
    bool Seen() const { return m_seen; }

private:
    const char *m_program;
    QTimer m_timer;
    bool m_seen = false;
};

// The machine's load, printed beside the figures: they mean little on a
// machine that is busy with other work.
// Runs the event loop until `done` holds or `ms` ran out, looking every
// `checkMs`; true when it held. A figure timed by it is as fine as checkMs.
inline bool RunUntil(const std::function<bool()> &done, int ms, int checkMs = 5)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(checkMs);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

inline QString LoadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

// Runs headless unless told otherwise, and gives the simulator a private ports
// folder so that the user's own stays untouched. Valid while it lives.
class BenchEnvironment {
public:
    BenchEnvironment()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (m_configHome.isValid()) {
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
            // The programs' device history stays out of the user's own.
            qputenv("XDG_STATE_HOME", QFile::encodeName(m_configHome.path() + QStringLiteral("/state")));
        }
    }
    bool IsValid() const { return m_configHome.isValid(); }

private:
    QTemporaryDir m_configHome;
};

// A benchmark's application (QApplication or QCoreApplication), started in
// its environment: the environment comes first, as the application reads
// the platform from it. Not valid (and said so) without a private folder;
// main then returns 2.
template <class Application>
class BenchApp {
public:
    BenchApp(int &argc, char **argv, const char *program) : m_app(argc, argv)
    {
        if (!m_environment.IsValid())
            std::fprintf(stderr, "%s: no temporary folder\n", program);
    }
    bool IsValid() const { return m_environment.IsValid(); }

private:
    BenchEnvironment m_environment;
    Application m_app;
};

// Shows a terminal view at the size the main window gives it and lets it
// lay out.
inline void ShowAtTerminalSize(QWidget &view)
{
    view.resize(780, 409);
    view.show();
    QCoreApplication::processEvents();
}

// Resident set size in bytes, from /proc/self/status; -1 when unknown.
inline qint64 ResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// Nobody sits in front of a benchmark: whatever the connection would tell a
// user is recorded (and printed) as a sign of a failed run.
class BenchUser : public DeviceUser {
public:
    explicit BenchUser(const char *program) : m_program(program) {}
    QStringList told;
    void TellUser(const QString &text) override { note(text); }
    void TellBusy(const QString &text) override { note(text); }
    void ShowLinkError(const std::exception &error) override { note(QString::fromLocal8Bit(error.what())); }
    bool AskHostAddress(QString &) override { return false; }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    void AppendTerminal(const QByteArray &) override {}
    void AddStatus(const QString &) override {}
    void ShowIdentification(const QString &) override {}
    void ShowConnectionState(const ConnectionState &) override {}
    void PortsChanged() override {}

private:
    void note(const QString &text)
    {
        told << text;
        std::fprintf(stderr, "%s: told the user: %s\n", m_program, qPrintable(text));
    }
    const char *m_program;
};

// The device's owner on a serial link, as the main window holds it, with
// nobody in front of it; opened on `comPort` as the Open button does
// (`identify`: asking the device who it is).
struct SerialBenchLink {
    SerialBenchLink(const char *program, int comPort, bool identify) : user(program)
    {
        conn.VaComm().SetPortNum(comPort);
        conn.OpenConnectionClicked(identify);
    }
    ToolSettings settings; // the serial link by default
    BenchUser user;
    DeviceConnection conn {settings, user};
};
