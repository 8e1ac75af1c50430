#pragma once

#include "core/CommandFile.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

// Where one device is reached.
struct CliTarget {
    enum class Kind { Serial, Usb, Network };
    Kind kind = Kind::Serial;
    int port = 0;           // COM number (serial, USB once found)
    QString host;           // network
    quint16 tcpPort = 9000; // network
    // "COM3", "USB", "127.0.0.1:9000": how lines and results name the device.
    QString Label() const;
};

// What the command line asked for, the same for every device.
struct CliRequest {
    enum class Command { Identify, Send, Program, Update };
    Command command = Command::Identify;
    QStringList texts; // send
    QList<CommandFileLine> commandFile; // send --file: sent in place of texts
    QString file;      // program, update
    bool reset = false;
    int powerCycleWaitMs = 60000;
};

// One device's outcome.
struct CliResult {
    bool ok = false;
    QString error;
    QJsonObject data; // serial, version, answers, steps...
};

// Runs `request` on one device from start to end, on the calling thread
// (which needs no event loop of its own: the job runs its own). `say` gets
// each line of progress as it happens; `progress` the update's page count.
CliResult RunDeviceJob(const CliTarget &target, const CliRequest &request,
                       const std::function<void(const QString &line)> &say,
                       const std::function<void(quint32 value, quint32 maximum)> &progress = {});
