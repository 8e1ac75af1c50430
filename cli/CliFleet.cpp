#include "cli/CliFleet.h"

#include "core/AuditTrail.h"
#include "core/DeviceConnection.h"
#include "core/JobJournal.h"
#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMap>
#include <QMetaObject>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <unistd.h>

namespace {

std::mutex warnLock;

// ---------------------------------------------------------------------------
// Ctrl+C

struct Stopper {
    QPointer<QObject> context;
    std::function<void()> stop;
};

std::atomic<bool> interrupted {false};
std::mutex stopperLock;
QMap<quint64, Stopper> stoppers;
quint64 nextStopper = 1;
int wakePipe[2] = {-1, -1};

void onSigint(int)
{
    // Only what is safe in a signal handler: the watcher thread does the rest.
    const char byte = 'i';
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
}

void callStopper(const Stopper &stopper)
{
    if (stopper.context)
        QMetaObject::invokeMethod(stopper.context.data(), stopper.stop, Qt::QueuedConnection);
}

void interrupt()
{
    if (interrupted.exchange(true))
        return;
    FleetWarn(QStringLiteral("mirto-cli: interrupted: no device is started; updates in progress are aborted"));
    const std::lock_guard lock(stopperLock);
    for (const Stopper &stopper : std::as_const(stoppers))
        callStopper(stopper);
}

QString commandName(CliRequest::Command command)
{
    switch (command) {
    case CliRequest::Command::Identify:
        return QStringLiteral("identify");
    case CliRequest::Command::Send:
        return QStringLiteral("send");
    case CliRequest::Command::Program:
        return QStringLiteral("program");
    case CliRequest::Command::Update:
        return QStringLiteral("update");
    }
    return {};
}

bool positiveNumber(const QCommandLineParser &parser, const QString &name, int &value, QString &problem)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toInt(&ok);
    if (ok && value >= 1 && value <= 100000)
        return true;
    problem = QStringLiteral("--%1 takes a number from 1 to 100000").arg(name);
    return false;
}

} // namespace

void FleetWarn(const QString &line)
{
    const std::lock_guard lock(warnLock);
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void AddFleetOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("serial"),
         QStringLiteral("The device with serial number SN, wherever it is: every numbered port (the USB cable's "
                        "too) is identified at once and the job runs on the one device that answers with SN; none "
                        "or several is a failure (repeatable). A port without a number, other than the USB "
                        "cable's, is not looked at."),
         QStringLiteral("SN")},
        {QStringLiteral("ports-from"), QStringLiteral("Serial ports from FILE, one a line, # starts a comment."),
         QStringLiteral("FILE")},
        {QStringLiteral("hosts-from"), QStringLiteral("Network devices from FILE, one a line, # starts a comment."),
         QStringLiteral("FILE")},
        {QStringLiteral("jobs"), QStringLiteral("At most N devices at once (default: all)."), QStringLiteral("N")},
        {QStringLiteral("max-failures"),
         QStringLiteral("Start no new device once K have failed; the rest are reported as not started."),
         QStringLiteral("K")},
        {QStringLiteral("journal"),
         QStringLiteral("Append each device's result to FILE (JSON Lines, synced to the disk) as it ends."),
         QStringLiteral("FILE")},
        {QStringLiteral("resume"),
         QStringLiteral("With --journal: skip the devices whose last result there for the same command and "
                        "file (by SHA-256) succeeded.")},
    });
}

bool ReadFleetOptions(const QCommandLineParser &parser, FleetOptions &options, QString &problem)
{
    options.serials = parser.values(QStringLiteral("serial"));
    for (QString &serial : options.serials) {
        serial = serial.trimmed();
        if (serial.isEmpty() || serial.size() > 16) {
            problem = QStringLiteral("--serial takes a serial number (1 to 16 characters)");
            return false;
        }
    }
    if (options.serials.removeDuplicates() > 0) {
        problem = QStringLiteral("the same serial number is named twice");
        return false;
    }
    if (!positiveNumber(parser, QStringLiteral("jobs"), options.jobs, problem)
        || !positiveNumber(parser, QStringLiteral("max-failures"), options.maxFailures, problem))
        return false;
    options.journal = parser.value(QStringLiteral("journal"));
    options.resume = parser.isSet(QStringLiteral("resume"));
    if (options.resume && options.journal.isEmpty()) {
        problem = QStringLiteral("--resume needs --journal FILE");
        return false;
    }
    return true;
}

bool ReadListFile(const QString &path, QStringList &entries, QString &problem)
{
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        const qsizetype comment = line.indexOf(QLatin1Char('#'));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        if (!line.isEmpty())
            entries << line;
    }
    return true;
}

QList<FleetDevice> FindDevicesBySerial(const QStringList &serials)
{
    QList<FleetDevice> devices;
    if (serials.isEmpty())
        return devices;
    // All at once: the search takes as long as the slowest port that
    // answers, not their sum. Once every port that spoke is done, a port
    // that has said nothing since its first question for twice as long as
    // the quickest device took from its first question to the end of its
    // identification is not waited for to the end of the prompt's time-out:
    // a Mirto answers its first question at once. Both are timed from the
    // question, not from the thread's start, so that a busy machine that is
    // slow to open sixteen ports does not stretch the wait. Such a port
    // counts as not identified. The wait is never shorter than
    // SilentPortFloor: a USB bridge holds a short answer back for its latency
    // timer (16 ms by default), so a device on the cable answers later than
    // one on a built-in port, and a busy machine may be slow to run a device
    // that does answer.
    using Clock = std::chrono::steady_clock;
    constexpr auto SilentPortFloor = std::chrono::milliseconds(50);
    struct Probe {
        CliTarget target;
        std::unique_ptr<QThread> thread;
        std::mutex lock; // the connection, for the give-up
        DeviceConnection *connection = nullptr;
        // The rest under stateLock.
        CliResult answer;
        bool spoke = false;
        bool done = false;
        bool asked = false;
        Clock::time_point since; // the first question went out
        Clock::time_point ended;
    };
    std::vector<std::unique_ptr<Probe>> probes;
    std::mutex stateLock;
    std::condition_variable changed;
    QSet<int> probed;
    const auto startProbe = [&](const QString &name) {
        const int number = PortNumberOfEntry(name);
        if (number <= 0 || probed.contains(number))
            return;
        probed.insert(number);
        probes.push_back(std::make_unique<Probe>());
        Probe *probe = probes.back().get();
        probe->target.port = number;
        CliRequest identify;
        identify.command = CliRequest::Command::Identify;
        identify.watch = [&, probe](DeviceConnection *connection) {
            const std::lock_guard guard(probe->lock);
            probe->connection = connection;
        };
        identify.asking = [&, probe] {
            const std::lock_guard guard(stateLock);
            probe->asked = true;
            probe->since = Clock::now();
            changed.notify_all();
        };
        identify.heard = [&, probe] {
            const std::lock_guard guard(stateLock);
            if (!std::exchange(probe->spoke, true))
                changed.notify_all();
        };
        // The probe's target stays as it is while the thread runs: whether
        // the port is the USB cable's is said once all are done.
        probe->thread.reset(QThread::create([&, probe, identify] {
            CliResult answer = RunDeviceJob(probe->target, identify, [](const QString &) {});
            const std::lock_guard guard(stateLock);
            probe->answer = std::move(answer);
            probe->done = true;
            probe->ended = Clock::now();
            changed.notify_all();
        }));
        probe->thread->start();
    };

    // The numbered ports are identified at once; meanwhile the USB cable is
    // looked for (a walk through the system's devices), and its port is
    // identified as soon as it is known. The look starts first: the threads
    // that open the ports would hold it back. Another tty without a number is
    // not looked at: giving it one would change the user's ports folder, and
    // the system's listing that finds such ttys asks every tty, which costs
    // more than the identifications themselves; a real port with nothing on
    // it would also hold every search up for the silent-port wait. A search
    // that finds nothing says when such ttys exist.
    const QString folder = ComPortFolder();
    const QStringList numbered = ListComPorts(folder);
    struct Discovery {
        bool done = false;
        int usb = -1;
    } discovery;
    std::thread discover([&] {
        const int usb = FindMirtoUsbPort();
        const std::lock_guard guard(stateLock);
        discovery.usb = usb;
        discovery.done = true;
        changed.notify_all();
    });
    for (const QString &name : numbered)
        startProbe(name);
    {
        std::unique_lock guard(stateLock);
        bool merged = false;
        for (;;) {
            if (discovery.done && !std::exchange(merged, true) && discovery.usb > 0)
                startProbe(QStringLiteral("COM%1").arg(discovery.usb));
            // The quickest whole identification so far.
            std::optional<Clock::duration> quickest;
            for (const auto &probe : probes) {
                if (probe->done && probe->asked && probe->answer.ok) {
                    const Clock::duration took = probe->ended - probe->since;
                    quickest = quickest ? std::min(*quickest, took) : took;
                }
            }
            bool waiting = !discovery.done;
            std::optional<Clock::time_point> next;
            for (const auto &probe : probes) {
                if (probe->done)
                    continue;
                if (probe->spoke || !probe->asked || !quickest) {
                    waiting = true;
                    continue;
                }
                const Clock::time_point giveUp =
                    probe->since + std::max<Clock::duration>(2 * *quickest, SilentPortFloor);
                if (Clock::now() < giveUp) {
                    waiting = true;
                    next = next ? std::min(*next, giveUp) : giveUp;
                }
            }
            if (!waiting)
                break;
            if (next)
                changed.wait_until(guard, *next);
            else
                changed.wait(guard);
        }
        for (const auto &probe : probes) {
            if (probe->done)
                continue;
            const std::lock_guard hold(probe->lock);
            // Ends the wait for the prompt on the probe's own thread.
            if (probe->connection)
                QMetaObject::invokeMethod(probe->connection, [c = probe->connection] { c->Shutdown(); },
                                          Qt::QueuedConnection);
        }
    }
    for (const auto &probe : probes)
        probe->thread->wait();
    discover.join();

    // The probes went out in the order the ports are listed, the USB
    // cable's last when it has no entry of its own; its port is marked.
    QList<CliTarget> ports;
    QList<CliResult> answers;
    for (const auto &probe : probes) {
        CliTarget target = probe->target;
        if (target.port == discovery.usb)
            target.kind = CliTarget::Kind::Usb;
        ports << target;
        answers << probe->answer;
    }

    QStringList found;
    QStringList silent;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString serial = answers.at(i).data.value(QStringLiteral("serial")).toString();
        if (answers.at(i).ok && !serial.isEmpty())
            found << QStringLiteral("%1 %2").arg(ports.at(i).Label(), serial);
        else
            silent << ports.at(i).Label();
    }
    QString seen = found.isEmpty() ? QStringLiteral("no device answered") : QStringLiteral("found ") + found.join(QStringLiteral(", "));
    if (!silent.isEmpty())
        seen += QStringLiteral("; not identified: ") + silent.join(QStringLiteral(", "));
    if (ports.isEmpty())
        seen = QStringLiteral("there is no numbered port");
    // Asked only when a device was not found: it looks at every tty.
    std::optional<bool> unnumbered;
    const auto unnumberedNote = [&] {
        if (!unnumbered)
            unnumbered = UnnumberedPortsMayExist(folder, numbered);
        return *unnumbered ? QStringLiteral("; serial ports without a number were not looked at: "
                                            "'mirto-cli ports' numbers them")
                           : QString();
    };

    for (const QString &wanted : serials) {
        FleetDevice device;
        device.key = QStringLiteral("serial ") + wanted;
        QList<qsizetype> matches;
        for (qsizetype i = 0; i < ports.size(); ++i) {
            if (answers.at(i).ok
                && answers.at(i).data.value(QStringLiteral("serial")).toString().trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
                matches << i;
        }
        if (matches.size() == 1) {
            device.target = ports.at(matches.first());
            device.target.identified = std::make_shared<const CliResult>(answers.at(matches.first()));
        } else {
            device.found = false;
            device.target.kind = CliTarget::Kind::Serial;
            device.target.name = device.key;
            if (matches.isEmpty()) {
                device.reason = CliReason::NotFound;
                device.problem =
                    QStringLiteral("No device with serial number %1 answered (%2)%3").arg(wanted, seen, unnumberedNote());
            } else {
                QStringList where;
                for (qsizetype i : matches)
                    where << ports.at(i).Label();
                device.reason = CliReason::Ambiguous;
                device.problem = QStringLiteral("Serial number %1 answered on %2 ports: %3; nothing was sent")
                                     .arg(wanted)
                                     .arg(matches.size())
                                     .arg(where.join(QStringLiteral(", ")));
            }
        }
        devices << device;
    }
    return devices;
}

QList<CliResult> RunFleet(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
                          const std::function<CliResult(qsizetype)> &runOne)
{
    const qsizetype count = devices.size();
    QList<CliResult> results(count);
    const QString command = commandName(request.command);
    const QString sha256 = request.file.isEmpty() ? QString() : FileSha256(request.file);
    const JobJournal journal(options.journal);
    const QSet<QString> done = options.resume ? journal.Succeeded(command, sha256) : QSet<QString>();

    std::mutex lock;
    std::condition_variable ended;
    int running = 0;
    int failures = 0;

    const auto record = [&](qsizetype i, const CliResult &result) {
        if (options.journal.isEmpty())
            return;
        QJsonObject line = result.data;
        line.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        line.insert(QStringLiteral("device"), devices.at(i).key);
        line.insert(QStringLiteral("command"), command);
        if (!request.file.isEmpty()) {
            line.insert(QStringLiteral("file"), QFileInfo(request.file).absoluteFilePath());
            line.insert(QStringLiteral("sha256"), sha256);
        }
        line.insert(QStringLiteral("ok"), result.ok);
        if (!result.ok)
            line.insert(QStringLiteral("error"), result.error);
        QString problem;
        if (!journal.Append(line, &problem))
            FleetWarn(QStringLiteral("mirto-cli: ") + problem);
    };
    const auto finish = [&](qsizetype i, CliResult result) {
        record(i, result);
        const std::lock_guard guard(lock);
        if (!result.ok)
            ++failures;
        results[i] = std::move(result);
        --running;
        ended.notify_all();
    };

    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<bool> started(size_t(count), false);
    const bool inline_ = count == 1;
    std::unique_lock guard(lock);
    for (qsizetype i = 0; i < count; ++i) {
        const FleetDevice &device = devices.at(i);
        if (done.contains(device.key)) {
            CliResult skipped;
            skipped.ok = true;
            skipped.data.insert(QStringLiteral("skipped"), true);
            skipped.data.insert(QStringLiteral("note"), QStringLiteral("done before, by the journal"));
            results[i] = skipped;
            started[size_t(i)] = true;
            continue;
        }
        ended.wait(guard, [&] { return options.jobs == 0 || running < options.jobs; });
        if (Interrupted() || (options.maxFailures > 0 && failures >= options.maxFailures))
            break;
        started[size_t(i)] = true;
        ++running;
        if (!device.found) {
            CliResult failed;
            failed.error = device.problem;
            failed.reason = device.reason;
            guard.unlock();
            finish(i, failed);
            guard.lock();
            continue;
        }
        if (inline_) {
            guard.unlock();
            finish(i, runOne(i));
            guard.lock();
            continue;
        }
        threads.emplace_back(QThread::create([&, i] { finish(i, runOne(i)); }));
        threads.back()->start();
    }
    ended.wait(guard, [&] { return running == 0; });
    guard.unlock();
    for (auto &thread : threads)
        thread->wait();

    const QString why = Interrupted()
                            ? QStringLiteral("Not started: the run was interrupted")
                            : QStringLiteral("Not started: %1 devices failed (--max-failures %2)")
                                  .arg(failures)
                                  .arg(options.maxFailures);
    for (qsizetype i = 0; i < count; ++i) {
        if (started[size_t(i)])
            continue;
        CliResult notStarted;
        notStarted.error = why;
        notStarted.reason = CliReason::NotStarted;
        notStarted.data.insert(QStringLiteral("started"), false);
        record(i, notStarted);
        results[i] = notStarted;
    }
    return results;
}

void InstallInterruptHandler()
{
    if (wakePipe[0] >= 0 || ::pipe(wakePipe) != 0)
        return;
    std::thread([] {
        char byte = 0;
        while (::read(wakePipe[0], &byte, 1) == 1 || errno == EINTR)
            interrupt();
    }).detach();
    struct sigaction action {};
    action.sa_handler = onSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

bool Interrupted()
{
    return interrupted.load();
}

InterruptScope::InterruptScope(QObject *context, std::function<void()> stop)
{
    const std::lock_guard lock(stopperLock);
    m_id = nextStopper++;
    Stopper stopper {context, std::move(stop)};
    if (interrupted.load())
        callStopper(stopper);
    stoppers.insert(m_id, stopper);
}

InterruptScope::~InterruptScope()
{
    const std::lock_guard lock(stopperLock);
    stoppers.remove(m_id);
}

void AuditDeviceJob(const CliTarget &target, const CliRequest &request, const AuditFacts &facts, CliResult &result)
{
    AuditEntry entry;
    entry.action = commandName(request.command);
    entry.interface = target.kind == CliTarget::Kind::Network ? QStringLiteral("network")
                      : target.kind == CliTarget::Kind::Usb   ? QStringLiteral("usb")
                                                              : QStringLiteral("serial");
    entry.port = target.Label();
    entry.serialBefore = facts.serialBefore;
    entry.versionBefore = facts.versionBefore;
    entry.serialAfter = facts.serialAfter;
    entry.versionAfter = facts.versionAfter;
    entry.file = QFileInfo(request.file).absoluteFilePath();
    entry.sha256 = FileSha256(request.file);
    entry.ok = result.ok;
    entry.reason = result.ok ? QString() : result.error.simplified();
    QString problem;
    if (!AppendAuditEntry(entry, &problem)) {
        FleetWarn(QStringLiteral("mirto-cli: %1: %2").arg(target.Label(), problem));
        result.data.insert(QStringLiteral("audit_error"), problem);
    }
}
