#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include "core/DeviceConnection.h"
#include "sim/core/SimLauncher.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <csignal>
#include <sys/resource.h>

// A pseudo-terminal pair standing in for a device on a serial cable: the test
// holds the master side, the tool opens the slave through a COMn link.
class PtyDevice {
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // Registers the slave as COMn in the current ports folder; returns n.
    int registerAs(int wanted = 0);
    void write(const QByteArray &bytes);
    // Reads what the tool sent, waiting up to `msecs` for at least `atLeast` bytes.
    QByteArray read(int msecs = 1000, int atLeast = 1);
    // Closes the master side: the device disappears.
    void hangUp();
    int masterFd() const { return m_master; }

private:
    int m_master = -1;
    QString m_slavePath;
};

// Opens a terminal device as a raw, non-blocking byte line, as the tool's
// serial port does; -1 when it cannot be opened.
int OpenRawTerminal(const QString &path);

// A private configuration home ($XDG_CONFIG_HOME) so that tests never touch
// the user's ports folder. Restores the previous value when destroyed.
class ScopedConfigHome {
public:
    ScopedConfigHome();
    ~ScopedConfigHome();
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
    bool m_hadOld = false;
    QByteArray m_oldState;
    bool m_hadOldState = false;
};

// The device simulator built with the tests (or $MIRTO_SIM), serving a
// pseudo-terminal registered in the current ports folder and TCP on
// 127.0.0.1 when asked; never on the fixed port 9000 unless told so.
class SimProcess : public SimLauncher {
public:
    explicit SimProcess(const QStringList &arguments = {});
    int comPort() const { return ComPort(); }
    int tcpPort() const { return TcpPort(); }
    QString banner() const { return Banner(); }
};

// The simulator's serial link as the tool names it (COMn).
QString ComName(const SimProcess &sim);

// mirto-cli run to its end as a script runs it, killed when it takes longer
// than `timeoutMs`: its exit status (-1 when it crashed, was killed or did
// not finish) and what it printed.
struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};
CliRun RunCli(const QStringList &arguments, int timeoutMs = 60000);

// One JSON object a line, as --json prints them and the journal keeps them.
QList<QJsonObject> JsonLines(const QString &text);

// The cases of the JUnit report at `path` as a CI engine reads them (through
// tests/core/junit_check.py: name, classname, time, outcome, type, message,
// output); empty with `problem` set when the report cannot be read.
QList<QJsonObject> ReadJunitCases(const QString &path, QString &problem);

// A device on a pseudo-terminal that answers each command line from its own
// thread, so that it can answer while the tool's thread waits for the prompt.
// The script returns the pieces of the answer; each piece is written on its
// own after `gapMs`.
class ScriptedDevice {
public:
    using Script = std::function<QList<QByteArray>(const QByteArray &line)>;
    explicit ScriptedDevice(Script script, int gapMs = 20);
    ~ScriptedDevice();
    int registerAs(int wanted = 0) { return m_pty.registerAs(wanted); }
    QList<QByteArray> lines() const;
    void hangUp();

private:
    void run();
    PtyDevice m_pty;
    Script m_script;
    int m_gapMs;
    std::atomic<bool> m_stop {false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_lines;
    std::thread m_thread;
};

// A start directory of the tool's own (the current directory while it
// lives) and a private ports folder.
class StartDirectoryEnv {
public:
    StartDirectoryEnv();
    ~StartDirectoryEnv();
    QString filePath(const QString &name) const;
    // False when the file could not be written whole.
    bool writeFile(const QString &name, const QByteArray &text) const;
    void writeIni(const QByteArray &text) const { writeFile(QStringLiteral("mirto.ini"), text); }

private:
    ScopedConfigHome m_home;
    QTemporaryDir m_start;
    QString m_oldCwd;
};

// The person in front of the tool, scripted: records what the connection
// shows and tells, and answers the address box with `hostAnswer` (a null
// text cancels it).
class ScriptedUser : public DeviceUser {
public:
    QStringList told;
    QStringList busyNotices;
    QStringList linkErrors;
    QStringList status;
    QByteArray terminal;
    QString identification = QStringLiteral("  Serial Number Not Available");
    ConnectionState state;
    int busy = 0;
    int portsChanged = 0;
    int addressAsked = 0;
    QString proposed;
    QString hostAnswer;

    void TellUser(const QString &text) override { told << text; }
    void TellBusy(const QString &text) override { busyNotices << text; }
    void ShowLinkError(const std::exception &error) override;
    bool AskHostAddress(QString &address) override
    {
        ++addressAsked;
        proposed = address;
        if (hostAnswer.isNull())
            return false;
        address = hostAnswer;
        return true;
    }
    void SetBusyCursor() override { busy = 1; }
    void RestoreCursor() override { busy = 0; }
    void AppendTerminal(const QByteArray &text) override { terminal += text; }
    // The device's bytes reach the terminal as the main window shows them.
    void ShowReceived(const QByteArray &bytes, TerminalFormatter::Link link) override
    {
        terminal += formatter.Format(bytes, link);
    }
    TerminalFormatter formatter;
    void AddStatus(const QString &text) override { status.prepend(text); }
    void ShowIdentification(const QString &text) override { identification = text; }
    void ShowConnectionState(const ConnectionState &s) override { state = s; }
    void PortsChanged() override { ++portsChanged; }
};

// A device connection with its settings and a scripted user, as a front end
// without windows holds it.
struct ConnectionRig {
    explicit ConnectionRig(int interfaceType = InterfaceSerial)
    {
        settings.InterfaceType = interfaceType;
    }
    ToolSettings settings;
    ScriptedUser user;
    DeviceConnection conn {settings, user};
};

// Lets the process write at most `bytes` into any file while it lives, so
// that a write fails even for root, whom folder permissions do not stop.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old {};
    void (*m_oldHandler)(int) = nullptr;
};
