#include "cli/CliFleet.h"

#include "cli/CliInterrupt.h"
#include "cli/CliOutput.h"
#include "core/JobJournal.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

class FleetRun {
public:
    FleetRun(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
             const QSet<QString> &done, const std::function<CliResult(qsizetype)> &runOne)
        : m_devices(devices), m_request(request), m_options(options), m_done(done), m_runOne(runOne),
          m_results(devices.size()), m_started(size_t(devices.size()), false),
          m_command(CliCommandName(request.command)),
          m_sha256(request.input ? request.input->Sha256 : QString()), m_journal(options.journal)
    {
    }

    QList<CliResult> Run()
    {
        std::unique_lock guard(m_lock);
        for (qsizetype i = 0; i < m_devices.size(); ++i) {
            // A unit found by its serial number is known before its job; any
            // other device's job finds out which unit it is on.
            if (!m_devices.at(i).target.unit.isEmpty() && m_done.contains(m_devices.at(i).key)) {
                skip(i);
                continue;
            }
            m_ended.wait(guard, [&] { return m_options.jobs == 0 || m_running < m_options.jobs; });
            if (Interrupted() || (m_options.maxFailures > 0 && m_failures >= m_options.maxFailures))
                break;
            m_started[size_t(i)] = true;
            ++m_running;
            guard.unlock();
            start(i);
            guard.lock();
        }
        m_ended.wait(guard, [&] { return m_running == 0; });
        guard.unlock();
        for (auto &thread : m_threads)
            thread->wait();
        notStarted();
        return m_results;
    }

private:
    // Done before, by the journal.
    void skip(qsizetype i)
    {
        CliResult skipped;
        skipped.ok = true;
        skipped.skipped = true;
        skipped.unit = m_devices.at(i).target.unit;
        skipped.data.insert(QStringLiteral("serial"), QString::fromLatin1(skipped.unit));
        skipped.data.insert(QStringLiteral("note"), QStringLiteral("done before, by the journal"));
        m_results[i] = skipped;
        m_started[size_t(i)] = true;
    }

    // A device that was not found fails at once; one device runs on this
    // thread, several each on a thread of their own, with its own link and
    // event loop: a slow device holds up nobody else.
    void start(qsizetype i)
    {
        const FleetDevice &device = m_devices.at(i);
        if (!device.found) {
            CliResult failed;
            failed.error = device.problem;
            failed.reason = device.reason;
            finish(i, failed);
            return;
        }
        const auto job = [this, i] {
            QElapsedTimer clock;
            clock.start();
            CliResult result = m_runOne(i);
            result.elapsedMs = clock.elapsed();
            finish(i, std::move(result));
        };
        if (m_devices.size() == 1) {
            job();
            return;
        }
        m_threads.emplace_back(QThread::create(job));
        m_threads.back()->start();
    }

    void finish(qsizetype i, CliResult result)
    {
        if (!result.skipped)
            record(i, result);
        const std::lock_guard guard(m_lock);
        if (!result.ok)
            ++m_failures;
        m_results[i] = std::move(result);
        --m_running;
        m_ended.notify_all();
    }

    // The devices never started, once the run has ended.
    void notStarted()
    {
        const QString why = Interrupted() ? QStringLiteral("Not started: the run was interrupted")
                                          : QStringLiteral("Not started: %1 devices failed (--max-failures %2)")
                                                .arg(m_failures)
                                                .arg(m_options.maxFailures);
        for (qsizetype i = 0; i < m_devices.size(); ++i) {
            if (m_started[size_t(i)])
                continue;
            CliResult result;
            result.error = why;
            result.reason = CliReason::NotStarted;
            result.data.insert(QStringLiteral("started"), false);
            record(i, result);
            m_results[i] = result;
        }
    }

    void record(qsizetype i, const CliResult &result) const
    {
        if (m_options.journal.isEmpty())
            return;
        // The object --json prints, keyed as the journal keys devices: by
        // the serial number of the unit the job was for, or else of the unit
        // it found, when it said one.
        const FleetDevice &device = m_devices.at(i);
        const QString key = device.target.unit.isEmpty() ? CliJournalKey(result.unit, device.key) : device.key;
        QJsonObject line = CliResultObject(key, result);
        if (key != device.target.Label())
            line.insert(QStringLiteral("port"), device.target.Label());
        line.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        line.insert(QStringLiteral("command"), m_command);
        if (m_request.input) {
            line.insert(QStringLiteral("file"), m_request.input->Path);
            line.insert(QStringLiteral("sha256"), m_sha256);
        }
        QString problem;
        if (!m_journal.Append(line, &problem))
            CliWarn(QStringLiteral("mirto-cli: ") + problem);
    }

    const QList<FleetDevice> &m_devices;
    const CliRequest &m_request;
    const FleetOptions &m_options;
    const QSet<QString> &m_done;
    const std::function<CliResult(qsizetype)> &m_runOne;
    QList<CliResult> m_results;
    std::vector<bool> m_started;
    const QString m_command;
    const QString m_sha256;
    const JobJournal m_journal;

    std::mutex m_lock;
    std::condition_variable m_ended;
    int m_running = 0;
    int m_failures = 0;
    std::vector<std::unique_ptr<QThread>> m_threads;
};

} // namespace

bool CheckFleetJournal(const FleetOptions &options, const CliRequest &request, QSet<QString> &done, QString &problem)
{
    done.clear();
    if (options.journal.isEmpty())
        return true;
    const JobJournal journal(options.journal);
    if (!journal.CheckWritable(&problem))
        return false;
    if (!options.resume)
        return true;
    const QString sha256 = request.input ? request.input->Sha256 : QString();
    return journal.Succeeded(CliCommandName(request.command), sha256, done, &problem);
}

QList<CliResult> RunFleet(const QList<FleetDevice> &devices, const CliRequest &request, const FleetOptions &options,
                          const QSet<QString> &done, const std::function<CliResult(qsizetype)> &runOne)
{
    return FleetRun(devices, request, options, done, runOne).Run();
}
