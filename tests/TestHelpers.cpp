#include "tests/TestHelpers.h"

#include "core/links/ComPorts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::PtyDevice()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return;
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        ::close(m_master);
        m_master = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    // Raw mode on the master side so bytes pass unchanged both ways.
    termios tio {};
    if (::tcgetattr(m_master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_master, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyDevice::~PtyDevice()
{
    hangUp();
}

int PtyDevice::registerAs(int wanted)
{
    return AssignComPort(ComPortFolder(), m_slavePath, wanted);
}

void PtyDevice::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p {m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
}

QByteArray PtyDevice::read(int msecs, int atLeast)
{
    QByteArray out;
    QDeadlineTimer deadline(msecs);
    while (m_master >= 0 && out.size() < atLeast) {
        // Let the tool's side flush its queued output while we wait.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p {m_master, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0)
                out.append(buf, n);
        }
        if (deadline.hasExpired())
            break;
    }
    return out;
}

void PtyDevice::hangUp()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

ScopedConfigHome::ScopedConfigHome()
{
    m_hadOld = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    // The device history goes beside it, never into the user's own.
    m_hadOldState = qEnvironmentVariableIsSet("XDG_STATE_HOME");
    m_oldState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/state")));
}

ScopedConfigHome::~ScopedConfigHome()
{
    if (m_hadOld)
        qputenv("XDG_CONFIG_HOME", m_old);
    else
        qunsetenv("XDG_CONFIG_HOME");
    if (m_hadOldState)
        qputenv("XDG_STATE_HOME", m_oldState);
    else
        qunsetenv("XDG_STATE_HOME");
}

namespace {

// A test's simulator never takes the device's fixed port, which a user's
// demo may hold or want: without a word on TCP it listens on any free port.
QStringList AwayFromFixedPort(QStringList arguments)
{
    if (!arguments.contains(QStringLiteral("--tcp-port")) && !arguments.contains(QStringLiteral("--no-tcp")))
        arguments << QStringLiteral("--tcp-port") << QStringLiteral("0");
    return arguments;
}

} // namespace

SimProcess::SimProcess(const QStringList &arguments)
    : SimLauncher(qEnvironmentVariable("MIRTO_SIM", QStringLiteral(MIRTO_SIM_PATH)), AwayFromFixedPort(arguments))
{
}

QString ComName(const SimProcess &sim)
{
    return QStringLiteral("COM%1").arg(sim.comPort());
}

CliRun RunCli(const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(QStringLiteral(MIRTO_CLI_PATH), arguments);
    CliRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("(did not finish)");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QList<QJsonObject> JsonLines(const QString &text)
{
    QList<QJsonObject> objects;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

QList<QJsonObject> ReadJunitCases(const QString &path, QString &problem)
{
    QProcess python;
    python.start(QStringLiteral(MIRTO_PYTHON), {QStringLiteral(MIRTO_JUNIT_CHECK), path});
    if (!python.waitForFinished(60000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        problem = QStringLiteral("junit_check: ") + python.errorString() + QLatin1Char(' ')
                  + QString::fromLocal8Bit(python.readAllStandardError());
        return {};
    }
    return JsonLines(QString::fromUtf8(python.readAllStandardOutput()));
}

ScriptedDevice::ScriptedDevice(Script script, int gapMs)
    : m_script(std::move(script)), m_gapMs(gapMs), m_thread([this] { run(); })
{
}

ScriptedDevice::~ScriptedDevice()
{
    m_stop = true;
    m_thread.join();
}

QList<QByteArray> ScriptedDevice::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

void ScriptedDevice::hangUp()
{
    m_stop = true;
    m_thread.join();
    m_thread = std::thread([] {});
    m_pty.hangUp();
}

void ScriptedDevice::run()
{
    QByteArray pending;
    while (!m_stop) {
        pollfd p {m_pty.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
            continue;
        char buf[4096];
        const ssize_t n = ::read(m_pty.masterFd(), buf, sizeof buf);
        if (n <= 0)
            continue;
        pending.append(buf, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            {
                std::lock_guard lock(m_mutex);
                m_lines.append(line);
            }
            const QList<QByteArray> pieces = m_script(line);
            for (const QByteArray &piece : pieces) {
                if (m_gapMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_gapMs));
                m_pty.write(piece);
            }
        }
    }
}

StartDirectoryEnv::StartDirectoryEnv() : m_oldCwd(QDir::currentPath())
{
    QDir::setCurrent(m_start.path());
}

StartDirectoryEnv::~StartDirectoryEnv()
{
    QDir::setCurrent(m_oldCwd);
}

QString StartDirectoryEnv::filePath(const QString &name) const
{
    return m_start.filePath(name);
}

bool StartDirectoryEnv::writeFile(const QString &name, const QByteArray &text) const
{
    QFile f(m_start.filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

void ScriptedUser::ShowLinkError(const std::exception &error)
{
    if (const auto *port = dynamic_cast<const SerialPortError *>(&error))
        linkErrors << port->message();
    else
        linkErrors << QString::fromLocal8Bit(error.what());
}

int OpenRawTerminal(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios tio {};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}
