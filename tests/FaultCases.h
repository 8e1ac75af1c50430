#pragma once

// The device faults met in every state that talks in command lines, shared by
// the test that checks what the user is told (tests/core/tst_faults) and the
// benchmark that times the event loop meanwhile (bench/fault_stalls).
// Header-only: the benchmark links no test library.

#include "core/DeviceConnection.h"
#include "core/config/Programming.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace faultcases {

// A stream without end goes on after the operation returns: the loop must
// keep answering meanwhile.
constexpr int AfterMs = 400;

// How long the event loop takes to come round, measured all the time an
// operation runs: a timer asks every TickMs, and each gap beyond that is
// time the loop did not answer.
class LoopProbe {
public:
    static constexpr int TickMs = 10;
    LoopProbe()
    {
        m_timer.setInterval(TickMs);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_worst = qMax(m_worst, now - m_last - TickMs);
            m_last = now;
        });
        m_clock.start();
        m_timer.start();
    }
    // The longest the loop kept a due timer waiting, in ms.
    qint64 worst() const { return m_worst; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worst = 0;
};

// The simulator's options that set off `fault` at `command`.
inline QStringList Options(const QString &fault, const QString &command)
{
    if (fault == QLatin1String("unplug"))
        return {QStringLiteral("--unplug-at"), command};
    if (fault == QLatin1String("reset"))
        return {QStringLiteral("--reset-at"), command};
    if (fault == QLatin1String("flood"))
        return {QStringLiteral("--flood-at"), command, QStringLiteral("--flood"), QStringLiteral("1000000")};
    if (fault == QLatin1String("zeros"))
        return {QStringLiteral("--zeros"), command};
    return {QStringLiteral("--endless"), command};
}

// The command the tool sends in `state` that sets off the fault.
inline QString Trigger(const QString &state)
{
    if (state == QLatin1String("identification"))
        return QStringLiteral("snum");
    if (state == QLatin1String("programming"))
        return QStringLiteral("channel");
    if (state == QLatin1String("read-out"))
        return QStringLiteral("isp");
    if (state == QLatin1String("test console"))
        return QStringLiteral("heap");
    return QStringLiteral("help");
}

// Does what the tool does in `state` (the link is open, except for
// identification, which opens it). The programming state's result, which
// nothing else has.
inline std::optional<ProgrammingResult> RunState(DeviceConnection &conn, const QString &state,
                                                 ProgrammingSink &sink)
{
    if (state == QLatin1String("identification")) {
        conn.OpenConnectionClicked();
    } else if (state == QLatin1String("direct command")) {
        conn.SendCommand("help\n");
    } else if (state == QLatin1String("programming")) {
        ProgrammingPlan plan;
        plan.outcome = ProgrammingPlan::Outcome::Ready;
        using Kind = ProgrammingStep::Kind;
        plan.Steps = {{Kind::Setting, "Programming Mode", "Mode", "mode 3\n"},
                      {Kind::Setting, "Programming Channel 1", "Channel 1 Name", "channel 1 0 Radio\n"},
                      {Kind::Setting, "", "Channel 1 URL", "channel 2 0 http://127.0.0.1/a\n"},
                      {Kind::ReadBack, "", "", "channel\n"}};
        return RunProgramming(conn, plan, sink);
    } else if (state == QLatin1String("read-out")) {
        conn.SendLines({"mode\n", "isp\n", "channel\n"});
    } else {
        conn.SendLines({"memory\n", "heap\n", "threads\n"});
    }
    return std::nullopt;
}

} // namespace faultcases
