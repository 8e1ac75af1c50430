#include "core/firmware/BootLink.h"

#include "core/DevicePorts.h"

#include <exception>

bool BootLink::Claim(std::function<void(int)> onData)
{
    return m_port.ClaimForUpdate(std::move(onData));
}

void BootLink::ReleaseWhenDone()
{
    if (!m_protocol.Listening() && m_port.UploadActive())
        m_port.GiveBack();
}

void BootLink::Release()
{
    if (m_port.UploadActive())
        m_port.GiveBack();
}

BootLink::Taken BootLink::Take(int count)
{
    Taken taken;
    if (count < 0) {
        const QString why = m_port.LostReason();
        taken.Error = why.isEmpty() ? QStringLiteral("Device disconnected") : why;
        taken.Events = m_protocol.LinkLost(taken.Error);
        return taken;
    }
    bool finished = false;
    try {
        for (int i = 0; i < count && !finished && m_protocol.AcceptBytes() && m_protocol.Listening(); ++i) {
            char byte = 0;
            if (m_port.ReadBytes(&byte, 1) != 1)
                break;
            const BootFeed feed = m_protocol.ProcessBootBytes(&byte, 1);
            for (const BootEvent &event : feed.Events) {
                taken.Events << event;
                if (event.Type == BootEvent::Kind::Finished)
                    finished = true;
            }
        }
    } catch (const std::exception &error) {
        taken.Error = QString::fromLocal8Bit(error.what());
    } catch (...) {
        taken.Error = QStringLiteral("Unable to read from device");
    }
    if (!taken.Error.isEmpty())
        taken.Events << m_protocol.LinkLost(taken.Error);
    return taken;
}
