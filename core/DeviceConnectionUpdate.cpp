#include "core/DeviceConnectionUpdate.h"

#include <utility>

BootPort &DeviceConnection::Boot()
{
    return *m_handOver;
}

int DeviceConnection::UpdateHandOver::Interface() const
{
    return m_owner.Interface();
}

int DeviceConnection::UpdateHandOver::PortNumber() const
{
    return m_owner.m_vaComm.PortNum();
}

bool DeviceConnection::UpdateHandOver::ReadyForUpdate()
{
    if (m_owner.m_job == Job::None && !heldByOther())
        return true;
    m_owner.tellBusy();
    return false;
}

void DeviceConnection::UpdateHandOver::GiveBack()
{
    DeviceConnection &c = m_owner;
    if (!c.m_uploadReceiver)
        return;
    c.m_uploadReceiver = {};
    // Whatever the firmware owed before the update is void now.
    c.forgetOwedPrompts();
    c.endJob();
}

bool DeviceConnection::UpdateHandOver::ClaimForUpdate(std::function<void(int count)> receiver)
{
    DeviceConnection &c = m_owner;
    if (!receiver)
        return false;
    if (!c.m_uploadReceiver) {
        if (c.m_job != Job::None || c.m_waitLoop) {
            c.tellBusy();
            return false;
        }
        c.forgetOwedPrompts();
        c.beginJob(Job::Boot, QStringLiteral("the firmware update"));
    }
    c.m_uploadReceiver = std::move(receiver);
    return true;
}

bool DeviceConnection::UpdateHandOver::UploadActive() const
{
    return bool(m_owner.m_uploadReceiver);
}

bool DeviceConnection::UpdateHandOver::PortOpen() const
{
    return m_owner.m_vaComm.Active();
}

bool DeviceConnection::UpdateHandOver::OpenForUpdate()
{
    DeviceConnection &c = m_owner;
    if (c.m_vaComm.Active())
        return true;
    // The update's own claim comes later; any other job keeps its port.
    if (heldByOther()) {
        c.tellBusy();
        return false;
    }
    c.m_vaComm.Open();
    c.m_linkLost = false;
    // A port just opened owes nothing to lines sent before.
    c.forgetOwedPrompts();
    c.UpdateConnectionStatus();
    return true;
}

int DeviceConnection::UpdateHandOver::ReadBytes(char *buffer, int size)
{
    const int n = m_owner.m_vaComm.ReadBuf(buffer, size);
    if (n > 0 && m_owner.m_user.ShowsRawBytes())
        m_owner.m_user.ShowRawBytes(QByteArray(buffer, n));
    return n;
}

void DeviceConnection::UpdateHandOver::WriteBytes(const QByteArray &bytes)
{
    // A closed port takes nothing: that is a failure to report, not success.
    if (m_owner.m_vaComm.WriteBuf(bytes.constData(), int(bytes.size())) != bytes.size())
        throw SerialPortError(QStringLiteral("Unable to write to device"));
}

void DeviceConnection::UpdateHandOver::SendCommand(const QByteArray &text)
{
    // The reset that enters the boot loader: no prompt is owed for it.
    if (!m_owner.m_vaComm.Active()) {
        m_owner.portNotOpen();
        return;
    }
    const int length = int(qMin<qsizetype>(text.size(), PieceCapacity));
    if (m_owner.m_vaComm.WriteBuf(text.constData(), length) == length)
        Q_EMIT m_owner.LineSent(text.left(length));
}

void DeviceConnection::UpdateHandOver::UpdateConnectionStatus()
{
    m_owner.UpdateConnectionStatus();
}

bool DeviceConnection::UpdateHandOver::ReopenAfterUpdate(bool identify)
{
    DeviceConnection &c = m_owner;
    // An update never used the network link: it stays as it is.
    if (c.network())
        return true;
    // A job that holds the link keeps its port as it is.
    if (heldByOther() || c.m_job == Job::Boot)
        return false;
    c.m_vaComm.Close();
    c.forgetOwedPrompts();
    c.OpenConnectionClicked(false);
    if (identify && c.m_connected)
        c.IdentifyAfterRestart();
    return true;
}

void DeviceConnection::UpdateHandOver::ForgetIdentification()
{
    m_owner.m_user.ShowIdentification(QStringLiteral("Serial Number Not Available"));
}

void DeviceConnection::UpdateHandOver::ShowInTerminal(const QByteArray &text)
{
    m_owner.m_user.AppendTerminal(text);
}

bool DeviceConnection::UpdateHandOver::heldByOther() const
{
    return (m_owner.m_job != Job::None && m_owner.m_job != Job::Boot) || m_owner.m_waitLoop
           || m_owner.m_settleLoop;
}
