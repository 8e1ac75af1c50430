#pragma once

// The narrow views of the device connection that the tool's windows (and a
// front end without windows) talk through. Each window gets only the view it
// needs, so none of them depends on the main window.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

struct ToolSettings;

// Commands and their prompt: programming, the test console, direct commands.
//
// One job at a time holds the link. A window that asks while another job
// holds it is refused (the user is told which job the device is busy with);
// nothing it asked for is sent later.
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
    // to the user, never thrown. False when nothing went out.
    virtual bool SendCommand(const QByteArray &text) = 0;
    // Sends `text` and waits for the prompt that answers it: prompts owed to
    // commands sent before are taken first, each within its own time-out,
    // and never count for this one. True when the own prompt arrived.
    virtual bool ExchangeCommand(const QByteArray &text) = 0;
    // The answer of the last exchange (at most 999 bytes, the newest kept).
    virtual QByteArray Reply() const = 0;

    // The job that holds the link ("" when none does).
    virtual QString BusyWith() const { return {}; }
    // Holds the link for a run of exchanges named `job` ("programming").
    // False when another job holds it; the user has been told.
    virtual bool BeginSequence(const QString &job)
    {
        Q_UNUSED(job);
        return true;
    }
    virtual void EndSequence() {}

    // Identifies the device on the open serial or USB link again, as opening
    // it does (after its serial number was programmed). Does nothing on the
    // network, on a closed link or while another job holds the link.
    virtual void Reidentify() {}

    // While a network attempt is under way: keeps `then` to run once it
    // connects, and true. What it keeps is dropped when the attempt fails or
    // is given up (the user is told of that). False when no attempt runs.
    virtual bool WhenConnected(std::function<void()> then)
    {
        Q_UNUSED(then);
        return false;
    }

    // Opens the link when it is closed. True when commands can go out now
    // (a network open only starts an attempt).
    bool OpenIfClosed()
    {
        if (!IsConnected())
            OpenConnection();
        return IsConnected();
    }
    // What a window sends for the user: opens the link when it is closed,
    // then each line; stops at the first line that does not go out. The
    // user meant "send this": on the network, where opening only starts an
    // attempt, the lines go out once it connects. True when they went out
    // now.
    bool SendLines(const QList<QByteArray> &lines)
    {
        if (!IsConnected()) {
            const auto sendOnceConnected = [this, lines] {
                if (IsConnected())
                    sendEach(lines);
            };
            // An attempt already under way takes the lines along; starting
            // another would ask for the address again and drop the first.
            if (WhenConnected(sendOnceConnected))
                return false;
            OpenConnection();
            if (!IsConnected()) {
                WhenConnected(sendOnceConnected);
                return false;
            }
        }
        return sendEach(lines);
    }

private:
    bool sendEach(const QList<QByteArray> &lines)
    {
        for (const QByteArray &line : lines) {
            if (!SendCommand(line) || !IsConnected())
                return false;
        }
        return true;
    }
};

// The serial link as the firmware update uses it: received data is handed
// over while an update runs, bytes go out raw, and the port is reopened for
// the terminal without identifying the device.
//
// Every hand-over of the port is a request to the link's owner, like any
// other: opening it for the update, claiming the link, giving it back and
// reopening it for the terminal are each refused while another job holds
// the link, so that no window opens or closes the port beneath a job.
class BootPort {
public:
    virtual ~BootPort() = default;

    virtual int Interface() const = 0;
    virtual int PortNumber() const = 0;
    // Whether an update may be begun now: false while another job holds the
    // link (the user has been told which, with the busy notice).
    virtual bool ReadyForUpdate() = 0;
    // Claims the link for the firmware update (the upload flag): from now on
    // every received-data notification of the serial port goes to
    // `receiver` with the count of bytes waiting, and nothing reaches the
    // terminal; a count of -1 tells it the device went away. False when
    // another job holds the link (the user has been told why). The update
    // that holds the link may change its receiver.
    virtual bool ClaimForUpdate(std::function<void(int count)> receiver) = 0;
    // Gives the link back: the device's text is the terminal's again.
    virtual void GiveBack() = 0;
    virtual bool UploadActive() const = 0;

    virtual bool PortOpen() const = 0;
    // Opens the serial port for the update when it is closed. False when
    // another job holds the link (the user has been told); throws
    // SerialPortError when the port cannot be opened.
    virtual bool OpenForUpdate() = 0;
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
    // close the port and open it again, and with `identify` (after a
    // completed update the device runs new firmware) identify the device
    // once it has restarted; the network interface is left as it is. False
    // (nothing touched) while another job holds the link.
    virtual bool ReopenAfterUpdate(bool identify) = 0;
    // The device in the boot loader is not the one identified before: the
    // identification shows as not available until the next one.
    virtual void ForgetIdentification() = 0;
    // Appends `text` to the main window's terminal, as if the device had
    // sent it (how an update ended is said there too).
    virtual void ShowInTerminal(const QByteArray &text) = 0;
    // Why the port went away, where it says more than a cable pulled (a
    // serial server that closed the connection); empty otherwise.
    virtual QString LostReason() const { return {}; }
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
    // For the device history: the device's software version ("" when not
    // identified) and where it is reached ("COM3", the address).
    virtual QByteArray DeviceSoftwareVersion() const { return {}; }
    virtual QString DevicePlace() const { return {}; }
};
