#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

// A run's results as a JUnit XML report, the form CI job engines read: one
// test case per device, a failure with the reason word and the message, the
// devices not started (or done before) as skipped, and what the device
// answered as the case's output.
struct JunitCase {
    enum class Outcome { Passed, Failed, Error, Skipped };
    QString name;      // the serial number when known, else the port or address
    QString className; // the command
    double seconds = 0;
    Outcome outcome = Outcome::Passed;
    QString reason;  // failed, error: the reason word; skipped: why
    QString message; // failed, error: what happened, may hold several lines
    QString output;  // what the device answered
};

// One device's case from the object mirto-cli prints for it with --json
// ("device", "ok", "reason", "error", "serial", "answers", "steps", ...),
// for `command`, which took `seconds`.
JunitCase JunitCaseFromResult(const QJsonObject &result, const QString &command, double seconds);

class JunitReport {
public:
    explicit JunitReport(QString suiteName) : m_suiteName(std::move(suiteName)) {}
    void Add(JunitCase testCase) { m_cases.append(std::move(testCase)); }
    // When the run started; the report has no time stamp without it.
    void SetStarted(const QDateTime &started) { m_started = started; }
    // The whole run's length; the sum of the cases' times without it (the
    // devices run side by side, so the sum may be longer).
    void SetSeconds(double seconds) { m_seconds = seconds; }

    QByteArray ToXml() const;
    // Replaces `path` with the report as a whole; "" on success, else the
    // system's reason.
    QString Write(const QString &path) const;

private:
    QString m_suiteName;
    QList<JunitCase> m_cases;
    QDateTime m_started;
    double m_seconds = -1;
};

// `text` with every character that XML 1.0 cannot hold (control characters
// other than tab, LF and CR; U+FFFE, U+FFFF; a lone surrogate) replaced by
// U+FFFD, so that a device's stray bytes cannot make the report unreadable.
QString XmlSafeText(const QString &text);
