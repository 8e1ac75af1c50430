// The serial side's cable: the pseudo-terminal that stands for the device's
// port, how it is linked in the ports folder, and what pulling the cable and
// plugging it back do to both.

#include "sim/core/SimServer.h"

#include "core/links/ComPorts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

void MakeRaw(int fd)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

QString ErrnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool SimServer::OpenPty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0) {
        m_error = ErrnoText("posix_openpt");
        return false;
    }
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        m_error = ErrnoText("unlockpt");
        ClosePty();
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    // Holding the slave open keeps the master from reporting a hang-up each
    // time the tool closes the port, which would wake the read notifier
    // without end.
    m_slaveHold = ::open(QFile::encodeName(m_slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slaveHold < 0) {
        m_error = ErrnoText("open slave");
        ClosePty();
        return false;
    }
    MakeRaw(m_master);
    MakeRaw(m_slaveHold);
    return true;
}

void SimServer::WatchPty()
{
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimServer::ReadSerial);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimServer::FlushSerial);
}

void SimServer::DropPty(int master, int slaveHold, QSocketNotifier *read, QSocketNotifier *write)
{
    // An unplug may come from the read notifier's own handler: it goes once
    // that has returned.
    for (QSocketNotifier *notifier : {read, write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    if (slaveHold >= 0)
        ::close(slaveHold);
    if (master >= 0)
        ::close(master);
}

bool SimServer::PointLink(const QString &path, const QString &target)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isSymLink()) {
        m_error = QStringLiteral("%1 is there and is no link").arg(path);
        return false;
    }
    if (!QDir().mkpath(info.absolutePath())) {
        m_error = QStringLiteral("cannot make the folder of %1").arg(path);
        return false;
    }
    // Made beside it and renamed over it: the link never goes missing, as a
    // stable path whose device returns does not.
    const QString fresh = path + QStringLiteral(".new-%1").arg(QCoreApplication::applicationPid());
    QFile::remove(fresh);
    if (!QFile::link(target, fresh)
        || ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()) != 0) {
        m_error = ErrnoText(qPrintable(QStringLiteral("link %1").arg(path)));
        QFile::remove(fresh);
        return false;
    }
    return true;
}

void SimServer::Unplug()
{
    m_streams.removeIf([](const Stream &s) { return s.link == Link::Serial; });
    if (m_replugMs == 0 && Plugged()) {
        SwapPty();
        return;
    }
    if (m_stableLink.isEmpty()) {
        StopSerial();
    } else {
        // A USB device's stable path goes with it, before its port does: a
        // link left behind would lead to whatever the system hands that
        // pseudo-terminal's number to next, another program's device. COMn
        // stays, as the tool keeps a number for a device that is out.
        if (QFileInfo(m_stableLink).isSymLink())
            QFile::remove(m_stableLink);
        ClosePty();
    }
    Q_EMIT unplugged();
    if (m_replugMs > 0)
        m_replugTimer->start(m_replugMs);
}

bool SimServer::Plug(const QByteArray &serial)
{
    if (Plugged())
        return true;
    if (!serial.isEmpty())
        m_device.SetSerialNumber(serial);
    bool back = false;
    if (m_stableLink.isEmpty()) {
        // Its number again, as the ports folder gives a device it knows.
        back = StartSerial(m_plugComPort);
    } else {
        back = OpenPty() && PointLink(m_stableLink, m_slavePath);
        if (back)
            WatchPty();
        else
            ClosePty();
    }
    if (back)
        Q_EMIT plugged();
    return back;
}

bool SimServer::SwapPty()
{
    const int oldMaster = m_master;
    const int oldSlave = m_slaveHold;
    QSocketNotifier *oldRead = m_readNotifier;
    QSocketNotifier *oldWrite = m_writeNotifier;
    m_master = -1;
    m_slaveHold = -1;
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    if (!m_replugSerial.isEmpty())
        m_device.SetSerialNumber(m_replugSerial);
    // The new port first, and whatever points at the device pointed at it;
    // only then does the old one hang up.
    const bool opened = OpenPty()
                        && PointLink(m_stableLink.isEmpty() ? m_linkPath : m_stableLink, m_slavePath);
    const QString newSlavePath = m_slavePath;
    const int newMaster = m_master;
    const int newSlave = m_slaveHold;
    // What the old port carried ends with it.
    m_master = -1;
    m_slaveHold = -1;
    ClosePty();
    DropPty(oldMaster, oldSlave, oldRead, oldWrite);
    if (!opened) {
        DropPty(newMaster, newSlave, nullptr, nullptr);
        Q_EMIT unplugged();
        return false;
    }
    m_master = newMaster;
    m_slaveHold = newSlave;
    m_slavePath = newSlavePath;
    WatchPty();
    Q_EMIT unplugged();
    Q_EMIT plugged();
    return true;
}
