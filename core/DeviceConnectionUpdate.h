#pragma once

#include "core/DeviceConnection.h"

// The link as the firmware update uses it: raw bytes, and the received data
// of the serial port while the update holds the link.
class DeviceConnection::BootSide : public BootPort {
public:
    explicit BootSide(DeviceConnection &owner) : m_owner(owner) {}

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

private:
    // A job other than the update holds the link (one waits for its prompt,
    // or a sequence runs).
    bool heldByOther() const;

    DeviceConnection &m_owner;
};
