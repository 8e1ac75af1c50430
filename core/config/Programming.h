#pragma once

// Programming a device: which command lines a configuration turns into, and
// the run that sends them one by one, each confirmed by the device's prompt.
// No widgets here; the configure dialog supplies a sink for what the user
// sees.

#include "core/SendableText.h"
#include "core/config/DeviceConfig.h"

#include <QByteArray>
#include <QList>
#include <QString>

class CommandPort;

// One command line of a programming run.
struct ProgrammingStep {
    enum class Kind {
        // A value stored in the device, announced in the status list.
        Setting,
        // The device's own read-out of a group just sent, for the terminal.
        ReadBack,
    };

    Kind kind = Kind::Setting;
    // Status-list line before the command; empty for a read-back.
    QString Status;
    // What the line stores, for a message about it ("ISP Name").
    QString Label;
    // The exact line, its single final LF included.
    QByteArray Command;

    bool operator==(const ProgrammingStep &) const = default;
};

// The first channel in use that lacks its name or its URL.
struct ChannelGap {
    int Slot = 0; // from 1; 0 when every channel in use is complete
    bool MissingName = false;

    bool IsGap() const { return Slot > 0; }
    // "Channel n has no name" / "Channel n has no URL".
    QString Message() const;
    // "empty name string" / "empty URL string".
    QString StatusLine() const;
};

// Slots 1 to `channelCount` (bounded to 0..16), in order.
ChannelGap FindChannelGap(const DeviceConfigRecord &config, int channelCount);

// What a configuration turns into, worked out before anything is sent.
struct ProgrammingPlan {
    enum class Outcome {
        Ready,             // Steps holds the run
        NoValidMode,       // nothing to send, nothing to show
        ChannelIncomplete, // Gap names the channel; nothing is sent
        ValueRefused,      // Refusal names the value; nothing is sent
    };

    Outcome outcome = Outcome::NoValidMode;
    QList<ProgrammingStep> Steps;
    // Mode 3 checks its channels before the run; the status list says so.
    bool ChannelsChecked = false;
    ChannelGap Gap;
    // Why a value cannot go out ("Channel Name on Channel 2 holds ...").
    QString Refusal;
};

// The steps for `config` with `channelCount` channels in use: the mode first,
// the channels in mode 3, the network group where the type has Ethernet, each
// group followed by its read-back where the device has one. The type is never
// sent. A value that cannot go out as it is (see StepFault) refuses the
// whole plan.
ProgrammingPlan ProgrammingSteps(const DeviceConfigRecord &config, int channelCount);

// What in a step's line (its final LF aside) cannot be sent, by the one rule
// of what may be sent: a line break, a control or zero byte, or '>', which
// the device ends every answer with. A '>' of ours echoed back in an answer
// that arrives in pieces would confirm a line the device has not finished
// with, and every later line would be confirmed by the prompt of the one
// before.
SendableFault StepFault(const ProgrammingStep &step);
bool Unsendable(const ProgrammingStep &step);

// Why a setting cannot hold '>', as the field where it is typed says it.
QString PromptMarkReason();

// What a programming run shows; the configure dialog implements it.
class ProgrammingSink {
public:
    virtual ~ProgrammingSink() = default;
    // A message with an OK button. An empty caption means the tool's usual one.
    virtual void ShowMessage(const QString &text, const QString &caption) = 0;
    virtual void AddStatus(const QString &text) = 0;
    virtual void SetBusyCursor() = 0;
    virtual void RestoreCursor() = 0;
    // A run that sent lines has ended (`ok` every line confirmed; otherwise
    // `reason`, empty when the link went away): called before the outcome
    // is shown, so that what records the job does not wait for the user.
    virtual void RunEnded(bool ok, const QString &reason)
    {
        Q_UNUSED(ok);
        Q_UNUSED(reason);
    }
};

enum class ProgrammingResult {
    Programmed,        // every step confirmed; "Programming OK" shown
    NotConnected,      // no link after the open attempt (a network open only starts one)
    NoValidMode,       // the record holds no mode 1 to 3
    ChannelIncomplete, // the channel message shown, nothing sent
    ValueRefused,      // a value holds a character that cannot be sent; nothing sent (the link not even opened)
    NoResponse,        // a step got no prompt; the run stopped there
    DeviceRefused,     // the device answered a setting with an error; the run stopped there
    Busy,              // another job holds the link (the user has been told); nothing sent
};

// Texts of a run, as the user sees them.
QString ProgrammingOkText();        // "Programming OK"
QString ProgrammingCaption();       // "Program Mirto Configuration"
QString NoResponseText();           // "No response from Mirto....  "
QString ProgrammingFailedStatus();  // "Programming failed"
QString RefusedValueText(const ProgrammingStep &step);

// The line of a setting's answer with which the device refused it (a value
// it cannot keep, an item or command it does not know: "Invalid ...",
// "Unknown command: ..."); empty when it took the setting.
QByteArray DeviceRefusal(const QByteArray &reply);
// "Mirto refused <label>: <the device's line>".
QString DeviceRefusedText(const ProgrammingStep &step, const QByteArray &refusal);

// Sends one step and waits for its own prompt (a prompt left over from
// earlier traffic does not count). 0 when the prompt came; otherwise tells
// the user (unless the link went away: the connection tells how) and the
// status list and returns -1. An unsendable line is refused unsent; a
// setting the device answers with an error is told and returns -1 too.
int SendSetting(CommandPort &port, const ProgrammingStep &step, ProgrammingSink &sink);

// Refuses a plan with an unsendable value before anything else (the link is
// not opened for it). Opens the link when it is closed, then carries out
// `plan`: stops on the
// first step without a prompt (saying so, unless the link went away: the
// connection tells how) or on the first setting the device refuses (saying
// which and the device's words), and shows "Programming OK" when every step
// was taken.
// Settings sent before a failure stay in the device.
ProgrammingResult RunProgramming(CommandPort &port, const ProgrammingPlan &plan,
                                 ProgrammingSink &sink);
