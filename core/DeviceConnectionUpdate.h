#pragma once

#include "core/DeviceConnection.h"

// The owner's side of the hand-over of the port to the firmware update. It
// exists so that the update gets the raw port it needs (bytes both ways, the
// serial port's received data while it holds the link) without a second
// owner: it claims the link as a job, gives it back, and reopens and
// identifies the restarted device through the one DeviceConnection.
class DeviceConnection::UpdateHandOver : public BootPort {
public:
    explicit UpdateHandOver(DeviceConnection &owner) : m_owner(owner) {}

    int Interface() const override;
    int PortNumber() const override;
    bool ReadyForUpdate() override;
    void GiveBack() override;
    bool ClaimForUpdate(std::function<void(int count)> receiver) override;
    bool UploadActive() const override;
    bool PortOpen() const override;
    bool OpenForUpdate() override;
    int ReadBytes(char *buffer, int size) override;
    void WriteBytes(const QByteArray &bytes) override;
    void SendCommand(const QByteArray &text) override;
    void UpdateConnectionStatus() override;
    bool ReopenAfterUpdate(bool identify) override;
    void ForgetIdentification() override;
    void ShowInTerminal(const QByteArray &text) override;
    QString LostReason() const override { return m_owner.m_vaComm.LostReason(); }

private:
    // A job other than the update holds the link (one waits for its prompt,
    // or a sequence runs).
    bool heldByOther() const;

    DeviceConnection &m_owner;
};
