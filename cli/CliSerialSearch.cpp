#include "cli/CliSerialSearch.h"

#include "core/DeviceConnection.h"
#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"

#include <QMetaObject>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace {

// All at once: the search takes as long as the slowest port that answers,
// not their sum. Once every port that spoke is done, a port that has said
// nothing since its first question for twice as long as the quickest device
// took from its first question to the end of its identification is not
// waited for to the end of the prompt's time-out: a Mirto answers its first
// question at once. Both are timed from the question, not from the thread's
// start, so that a busy machine that is slow to open sixteen ports does not
// stretch the wait. Such a port counts as not identified. The wait is never
// shorter than SilentPortFloor: a USB bridge holds a short answer back for
// its latency timer (16 ms by default), so a device on the cable answers
// later than one on a built-in port, and a busy machine may be slow to run a
// device that does answer.
using Clock = std::chrono::steady_clock;
constexpr auto SilentPortFloor = std::chrono::milliseconds(50);

struct Probe {
    CliTarget target;
    std::unique_ptr<QThread> thread;
    std::mutex lock; // the connection, for the give-up
    DeviceConnection *connection = nullptr;
    // The rest under the survey's lock.
    CliResult answer;
    bool spoke = false;
    bool done = false;
    bool asked = false;
    Clock::time_point since; // the first question went out
    Clock::time_point ended;
};

// What answered on each port: the numbered ports are identified at once;
// meanwhile the USB cable is looked for (a walk through the system's
// devices), and its port is identified as soon as it is known. The look
// starts first: the threads that open the ports would hold it back. Another
// tty without a number is not looked at: giving it one would change the
// user's ports folder, and the system's listing that finds such ttys asks
// every tty, which costs more than the identifications themselves; a real
// port with nothing on it would also hold every search up for the
// silent-port wait. A search that finds nothing says when such ttys exist.
class PortSurvey {
public:
    // After Run: the ports in the order the probes went out (the order the
    // ports are listed, the USB cable's last when it has no entry of its
    // own), its port marked, and what each answered.
    QList<CliTarget> ports;
    QList<CliResult> answers;

    void Run(const QStringList &numbered)
    {
        std::thread discover([this] {
            const int usb = FindMirtoUsbPort();
            const std::lock_guard guard(m_lock);
            m_usb = usb;
            m_discovered = true;
            m_changed.notify_all();
        });
        for (const QString &name : numbered)
            startProbe(name);
        awaitAnswers();
        for (const auto &probe : m_probes)
            probe->thread->wait();
        discover.join();
        for (const auto &probe : m_probes) {
            CliTarget target = probe->target;
            if (target.port == m_usb)
                target.kind = CliTarget::Kind::Usb;
            ports << target;
            answers << probe->answer;
        }
    }

private:
    void startProbe(const QString &name)
    {
        const int number = PortNumberOfEntry(name);
        if (number <= 0 || m_probed.contains(number))
            return;
        m_probed.insert(number);
        m_probes.push_back(std::make_unique<Probe>());
        Probe *probe = m_probes.back().get();
        probe->target.port = number;
        CliRequest identify;
        identify.command = CliRequest::Command::Identify;
        identify.watch = [probe](DeviceConnection *connection) {
            const std::lock_guard guard(probe->lock);
            probe->connection = connection;
        };
        identify.asking = [this, probe] {
            const std::lock_guard guard(m_lock);
            probe->asked = true;
            probe->since = Clock::now();
            m_changed.notify_all();
        };
        identify.heard = [this, probe] {
            const std::lock_guard guard(m_lock);
            if (!std::exchange(probe->spoke, true))
                m_changed.notify_all();
        };
        // The probe's target stays as it is while the thread runs: whether
        // the port is the USB cable's is said once all are done.
        probe->thread.reset(QThread::create([this, probe, identify] {
            CliResult answer = RunDeviceJob(probe->target, identify, [](const QString &) {});
            const std::lock_guard guard(m_lock);
            probe->answer = std::move(answer);
            probe->done = true;
            probe->ended = Clock::now();
            m_changed.notify_all();
        }));
        probe->thread->start();
    }

    // The quickest whole identification so far; m_lock held.
    std::optional<Clock::duration> quickest() const
    {
        std::optional<Clock::duration> best;
        for (const auto &probe : m_probes) {
            if (probe->done && probe->asked && probe->answer.ok) {
                const Clock::duration took = probe->ended - probe->since;
                best = best ? std::min(*best, took) : took;
            }
        }
        return best;
    }

    // Whether a probe is still worth waiting for, and until when at most
    // (nothing: until something changes); m_lock held.
    bool stillWaiting(std::optional<Clock::time_point> &next) const
    {
        const std::optional<Clock::duration> best = quickest();
        bool waiting = !m_discovered;
        for (const auto &probe : m_probes) {
            if (probe->done)
                continue;
            if (probe->spoke || !probe->asked || !best) {
                waiting = true;
                continue;
            }
            const Clock::time_point giveUp = probe->since + std::max<Clock::duration>(2 * *best, SilentPortFloor);
            if (Clock::now() < giveUp) {
                waiting = true;
                next = next ? std::min(*next, giveUp) : giveUp;
            }
        }
        return waiting;
    }

    void awaitAnswers()
    {
        std::unique_lock guard(m_lock);
        bool merged = false;
        for (;;) {
            if (m_discovered && !std::exchange(merged, true) && m_usb > 0)
                startProbe(QStringLiteral("COM%1").arg(m_usb));
            std::optional<Clock::time_point> next;
            if (!stillWaiting(next))
                break;
            if (next)
                m_changed.wait_until(guard, *next);
            else
                m_changed.wait(guard);
        }
        giveUpSilent();
    }

    // Ends the wait for the prompt of every probe still running, on the
    // probe's own thread; m_lock held.
    void giveUpSilent()
    {
        for (const auto &probe : m_probes) {
            if (probe->done)
                continue;
            const std::lock_guard hold(probe->lock);
            if (probe->connection)
                QMetaObject::invokeMethod(probe->connection, [c = probe->connection] { c->Shutdown(); },
                                          Qt::QueuedConnection);
        }
    }

    std::vector<std::unique_ptr<Probe>> m_probes;
    QSet<int> m_probed;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_discovered = false;
    int m_usb = -1;
};

// What the survey found, for a message: "found COM1 11111, COM2 22222;
// not identified: COM3".
QString seenText(const PortSurvey &survey)
{
    if (survey.ports.isEmpty())
        return QStringLiteral("there is no numbered port");
    QStringList found;
    QStringList silent;
    for (qsizetype i = 0; i < survey.ports.size(); ++i) {
        const QString serial = survey.answers.at(i).data.value(QStringLiteral("serial")).toString();
        if (survey.answers.at(i).ok && !serial.isEmpty())
            found << QStringLiteral("%1 %2").arg(survey.ports.at(i).Label(), serial);
        else
            silent << survey.ports.at(i).Label();
    }
    QString seen = found.isEmpty() ? QStringLiteral("no device answered") : QStringLiteral("found ") + found.join(QStringLiteral(", "));
    if (!silent.isEmpty())
        seen += QStringLiteral("; not identified: ") + silent.join(QStringLiteral(", "));
    return seen;
}

// The device that answered with `wanted`, or the failure that stands for it.
FleetDevice matchSerial(const QString &wanted, const PortSurvey &survey, const QString &seen,
                        const std::function<QString()> &unnumberedNote)
{
    FleetDevice device;
    device.key = QStringLiteral("serial ") + wanted;
    QList<qsizetype> matches;
    for (qsizetype i = 0; i < survey.ports.size(); ++i) {
        const CliResult &answer = survey.answers.at(i);
        if (answer.ok
            && answer.data.value(QStringLiteral("serial")).toString().trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
            matches << i;
    }
    if (matches.size() == 1) {
        const CliResult &answer = survey.answers.at(matches.first());
        device.target = survey.ports.at(matches.first());
        device.target.identified = std::make_shared<const CliResult>(answer);
        // The unit as it named itself, which its job checks for.
        device.target.unit = answer.data.value(QStringLiteral("serial")).toString().trimmed().toLatin1();
        device.key = CliJournalKey(device.target.unit, device.target.Label());
        return device;
    }
    device.found = false;
    device.target.kind = CliTarget::Kind::Serial;
    device.target.name = device.key;
    if (matches.isEmpty()) {
        device.reason = CliReason::NotFound;
        device.problem = QStringLiteral("No device with serial number %1 answered (%2)%3").arg(wanted, seen, unnumberedNote());
        return device;
    }
    QStringList where;
    for (qsizetype i : matches)
        where << survey.ports.at(i).Label();
    device.reason = CliReason::Ambiguous;
    device.problem = QStringLiteral("Serial number %1 answered on %2 ports: %3; nothing was sent")
                         .arg(wanted)
                         .arg(matches.size())
                         .arg(where.join(QStringLiteral(", ")));
    return device;
}

} // namespace

QList<FleetDevice> FindDevicesBySerial(const QStringList &serials)
{
    QList<FleetDevice> devices;
    if (serials.isEmpty())
        return devices;
    const QString folder = ComPortFolder();
    const QStringList numbered = ListComPorts(folder);
    PortSurvey survey;
    survey.Run(numbered);
    const QString seen = seenText(survey);
    // Asked only when a device was not found: it looks at every tty.
    std::optional<bool> unnumbered;
    const auto unnumberedNote = [&] {
        if (!unnumbered)
            unnumbered = UnnumberedPortsMayExist(folder, numbered);
        return *unnumbered ? QStringLiteral("; serial ports without a number were not looked at: "
                                            "'mirto-cli ports' numbers them")
                           : QString();
    };
    for (const QString &wanted : serials)
        devices << matchSerial(wanted, survey, seen, unnumberedNote);
    return devices;
}
