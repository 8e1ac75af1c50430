#pragma once

#include "core/CommandFile.h"

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

struct HexImage;
struct ProgrammingPlan;

// What a run of mirto-cli would do, worked out from its request alone: device
// by device, step by step, and which devices a resumed run skips. Nothing
// here opens a port; the files were read and checked before.
struct RunPlanRequest {
    QString command;     // identify, send, program, update
    QStringList devices; // the journal's key of each device named, in order
    QStringList serials; // devices to be found by serial number as the run starts
    QString file;        // program, update: the path as given
    QString sha256;      // of `file`
    QStringList texts;                  // send
    QList<CommandFileLine> commandFile; // send --file
    const ProgrammingPlan *programming = nullptr; // program
    const HexImage *image = nullptr;              // update
    bool reset = false;
    int powerCycleWaitSeconds = 60;
    // --resume: the devices the journal shows done for this command and file.
    QSet<QString> done;
};

struct RunPlan {
    // Why the run cannot go as asked (nothing would be sent); empty when it can.
    QString problem;
    // One object a device: "event": "plan", "device", "command", "skip" (and
    // "note" why), "steps": [{"action", ...}].
    QList<QJsonObject> devices;
};

RunPlan PlanRun(const RunPlanRequest &request);

// The plan for people: a line a device, then its steps indented.
QStringList RunPlanText(const RunPlan &plan);

// Page size the boot loader announces: a device's own, known only once it
// answers, so an update's plan counts the pages for each of them.
inline constexpr quint32 BootPageSizes[] = {32, 64, 128, 256, 512};
