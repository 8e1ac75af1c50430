#pragma once

// The narrow views of the device connection that the tool's windows (and a
// front end without windows) talk through. Each window gets only the view it
// needs, so none of them depends on the main window.

#include <QByteArray>
#include <QString>

#include <functional>

struct ToolSettings;

// Commands and their prompt: programming, the test console, direct commands.
class CommandPort {
public:
    virtual ~CommandPort() = default;

    // The link counts as open (serial/USB: the port is open; network: the
    // connect notification arrived and no disconnect since).
    virtual bool IsConnected() const = 0;
    // 0 serial, 1 network, 2 USB (InterfaceKind).
    virtual int Interface() const = 0;
    // Opens the link as the open button does. Serial and USB identify the
    // device; the network only starts an attempt (IsConnected stays false
    // until it succeeds).
    virtual void OpenConnection() = 0;
    // Writes `text` to the open link without waiting. Link errors are shown
    // to the user, never thrown.
    virtual void SendCommand(const QByteArray &text) = 0;
    // Forgets any earlier prompt and reply, sends `text` and waits up to
    // 4000 ms for the prompt. True when the prompt arrived.
    virtual bool ExchangeCommand(const QByteArray &text) = 0;
    // The text received since the last exchange began (at most 999 bytes).
    virtual QByteArray Reply() const = 0;
};

// The serial link as the firmware update uses it: received data is handed
// over while an update runs, bytes go out raw, and the port is reopened for
// the terminal without identifying the device.
class BootPort {
public:
    virtual ~BootPort() = default;

    virtual int Interface() const = 0;
    virtual int PortNumber() const = 0;
    // While a receiver is set (the upload flag), every received-data
    // notification of the serial port goes to it with the count of bytes
    // waiting, and nothing reaches the terminal; a count of -1 tells it the
    // device went away. An empty function clears it.
    virtual void SetUploadReceiver(std::function<void(int count)> receiver) = 0;
    virtual bool UploadActive() const = 0;

    virtual bool PortOpen() const = 0;
    // Opens the serial port; throws SerialPortError when it cannot.
    virtual void OpenPort() = 0;
    virtual void ClosePort() = 0;
    // Reads up to `size` bytes that have arrived; throws SerialPortError.
    virtual int ReadBytes(char *buffer, int size) = 0;
    // Queues `bytes` for the line; throws SerialPortError when the queue
    // stays full or the device is gone.
    virtual void WriteBytes(const QByteArray &bytes) = 0;
    // Writes a command text through the ordinary send path ("reset\n").
    virtual void SendCommand(const QByteArray &text) = 0;
    // Refreshes the main window's connection display.
    virtual void UpdateConnectionStatus() = 0;
    // Hands the link back to the terminal after an update: serial and USB
    // reopen the port without identification; the network interface opens as
    // the open button does.
    virtual void ReopenAfterUpdate() = 0;
};

// The tool's own settings for the dialogs that change them.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual ToolSettings &Settings() = 0;
    // Writes mirto.ini in the start directory.
    virtual void WriteSettings() = 0;
};

// What the configure dialog needs of the main window besides the device.
class ConfigHost : public SettingsStore {
public:
    virtual void AddStatus(const QString &text) = 0;
    virtual void SetBusyCursor() = 0;
    virtual void RestoreCursor() = 0;
    // The serial number of the device identified most recently ("" when none).
    virtual QByteArray DeviceSerialNumber() const = 0;
    // The main window's side of making a configuration file current: status
    // panel 0, the loaded flag, the file's name in the settings (written).
    virtual void ConfigFileIsCurrent(const QString &path) = 0;
    // A configuration file was loaded at start-up or made current since.
    virtual bool ConfigFileLoaded() const = 0;
    // Where file dialogs start: the directory the tool was started in.
    virtual QString StartDirectory() const = 0;
};
