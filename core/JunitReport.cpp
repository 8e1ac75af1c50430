#include "core/JunitReport.h"

#include "core/AtomicFile.h"

#include <QJsonArray>
#include <QXmlStreamWriter>

namespace {

QString seconds(double value)
{
    return QString::number(qMax(0.0, value), 'f', 3);
}

// What the device told: its identity, then each command with its answer,
// then the status lines of a programming run.
QString deviceOutput(const QJsonObject &result)
{
    QStringList lines;
    const QString serial = result.value(QStringLiteral("serial")).toString();
    const QString version = result.value(QStringLiteral("version")).toString();
    const QString serialBefore = result.value(QStringLiteral("serial_before")).toString();
    if (!serialBefore.isEmpty())
        lines << QStringLiteral("before: serial number %1, software %2")
                     .arg(serialBefore, result.value(QStringLiteral("version_before")).toString());
    if (!serial.isEmpty() || !version.isEmpty())
        lines << QStringLiteral("serial number %1, software %2").arg(serial, version);
    for (const QJsonValue &value : result.value(QStringLiteral("answers")).toArray()) {
        const QJsonObject answer = value.toObject();
        lines << QStringLiteral("> ") + answer.value(QStringLiteral("command")).toString();
        QString text = answer.value(QStringLiteral("answer")).toString();
        while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        if (!text.isEmpty())
            lines << text;
    }
    for (const QJsonValue &step : result.value(QStringLiteral("steps")).toArray())
        lines << step.toString();
    return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

JunitCase JunitCaseFromResult(const QJsonObject &result, const QString &command, double seconds)
{
    JunitCase testCase;
    const QString device = result.value(QStringLiteral("device")).toString();
    // A failed update may not have reached its second identification; the
    // first one still names the unit.
    QString serial = result.value(QStringLiteral("serial")).toString();
    if (serial.isEmpty())
        serial = result.value(QStringLiteral("serial_before")).toString();
    testCase.name = serial.isEmpty() ? device : serial;
    testCase.className = command;
    testCase.seconds = seconds;
    testCase.output = deviceOutput(result);
    const QString reason = result.value(QStringLiteral("reason")).toString();
    const QString error = result.value(QStringLiteral("error")).toString();
    if (result.value(QStringLiteral("skipped")).toBool()) {
        testCase.outcome = JunitCase::Outcome::Skipped;
        testCase.reason = result.value(QStringLiteral("note")).toString();
    } else if (result.value(QStringLiteral("ok")).toBool()) {
        testCase.outcome = JunitCase::Outcome::Passed;
    } else if (reason == QLatin1String("not-started")) {
        testCase.outcome = JunitCase::Outcome::Skipped;
        testCase.reason = error;
    } else {
        // "error" is the tool's own failure, not the device's.
        testCase.outcome = reason == QLatin1String("error") ? JunitCase::Outcome::Error : JunitCase::Outcome::Failed;
        testCase.reason = reason;
        testCase.message = error;
    }
    // The serial number names the case; the port says where it was.
    if (!serial.isEmpty() && !device.isEmpty())
        testCase.output.prepend(QStringLiteral("device: %1\n").arg(device));
    return testCase;
}

QString XmlSafeText(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            safe += c;
            safe += text.at(++i);
            continue;
        }
        const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xD800) || (u >= 0xE000 && u < 0xFFFE);
        safe += allowed ? c : QChar(QChar::ReplacementCharacter);
    }
    return safe;
}

QByteArray JunitReport::ToXml() const
{
    int failures = 0, errors = 0, skipped = 0;
    double sum = 0;
    for (const JunitCase &testCase : m_cases) {
        failures += testCase.outcome == JunitCase::Outcome::Failed;
        errors += testCase.outcome == JunitCase::Outcome::Error;
        skipped += testCase.outcome == JunitCase::Outcome::Skipped;
        sum += testCase.seconds;
    }
    const QString tests = QString::number(m_cases.size());
    const QString total = seconds(m_seconds >= 0 ? m_seconds : sum);

    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    const auto counts = [&] {
        writer.writeAttribute(QStringLiteral("tests"), tests);
        writer.writeAttribute(QStringLiteral("failures"), QString::number(failures));
        writer.writeAttribute(QStringLiteral("errors"), QString::number(errors));
        writer.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
        writer.writeAttribute(QStringLiteral("time"), total);
    };
    writer.writeStartElement(QStringLiteral("testsuites"));
    writer.writeAttribute(QStringLiteral("name"), XmlSafeText(m_suiteName));
    counts();
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), XmlSafeText(m_suiteName));
    counts();
    if (m_started.isValid())
        writer.writeAttribute(QStringLiteral("timestamp"), m_started.toUTC().toString(Qt::ISODate));
    for (const JunitCase &testCase : m_cases) {
        writer.writeStartElement(QStringLiteral("testcase"));
        writer.writeAttribute(QStringLiteral("name"), XmlSafeText(testCase.name));
        writer.writeAttribute(QStringLiteral("classname"), XmlSafeText(testCase.className));
        writer.writeAttribute(QStringLiteral("time"), seconds(testCase.seconds));
        switch (testCase.outcome) {
        case JunitCase::Outcome::Passed:
            break;
        case JunitCase::Outcome::Failed:
        case JunitCase::Outcome::Error: {
            const bool failed = testCase.outcome == JunitCase::Outcome::Failed;
            writer.writeStartElement(failed ? QStringLiteral("failure") : QStringLiteral("error"));
            // The first line is the message engines show in their lists;
            // the whole text is the element's body.
            const QString first = XmlSafeText(testCase.message.section(QLatin1Char('\n'), 0, 0).trimmed());
            writer.writeAttribute(QStringLiteral("message"),
                                  testCase.reason.isEmpty() ? first : XmlSafeText(testCase.reason) + QStringLiteral(": ") + first);
            writer.writeAttribute(QStringLiteral("type"), XmlSafeText(testCase.reason));
            writer.writeCharacters(XmlSafeText(testCase.message));
            writer.writeEndElement();
            break;
        }
        case JunitCase::Outcome::Skipped:
            writer.writeStartElement(QStringLiteral("skipped"));
            if (!testCase.reason.isEmpty())
                writer.writeAttribute(QStringLiteral("message"), XmlSafeText(testCase.reason));
            writer.writeEndElement();
            break;
        }
        if (!testCase.output.isEmpty())
            writer.writeTextElement(QStringLiteral("system-out"), XmlSafeText(testCase.output));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

QString JunitReport::Write(const QString &path) const
{
    return ReplaceFile(path, ToXml());
}
