#include "core/JunitReport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

// The JUnit report a CI engine reads after a run: one case per device.
class tst_junitreport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void caseFromResult_data();
    void caseFromResult();
    void countsAndElements();
    void strayBytesKeepTheReportReadable();
    void writtenWhole();
    void readByAJunitParser();
};

namespace {

QJsonObject Json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

// A run of four devices: one passed, one failed, one not started after
// Ctrl+C, one where the tool itself failed.
JunitReport FourDeviceRun()
{
    JunitReport report(QStringLiteral("mirto-cli send"));
    report.SetStarted(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7), QTimeZone::utc()));
    report.Add(JunitCaseFromResult(
        Json(R"j({"device":"COM1","ok":true,"serial":"12AB3","version":"1.2.3",
                 "answers":[{"command":"ver","answer":"Mirto 1.2.3\r\n"}]})j"),
        QStringLiteral("send"), 1.25));
    report.Add(JunitCaseFromResult(
        Json(R"j({"device":"127.0.0.1:9100","ok":false,"reason":"no-response",
                 "error":"No response from Mirto to \"ver\"\nCheck the cable"})j"),
        QStringLiteral("send"), 10));
    report.Add(JunitCaseFromResult(
        Json(R"j({"device":"COM5","ok":false,"reason":"not-started","started":false,
                 "error":"Not started: the run was interrupted"})j"),
        QStringLiteral("send"), 0));
    report.Add(JunitCaseFromResult(Json(R"j({"device":"COM6","ok":false,"reason":"error","error":"Out of memory"})j"),
                                   QStringLiteral("send"), 0.5));
    return report;
}

QString Python()
{
    return QStringLiteral(MIRTO_PYTHON);
}

} // namespace

void tst_junitreport::caseFromResult_data()
{
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("output");

    using O = JunitCase::Outcome;
    QTest::newRow("passed, named by serial number")
        << QByteArray(R"j({"device":"COM1","ok":true,"serial":"12AB3","version":"1.2.3"})j") << "12AB3" << int(O::Passed)
        << "" << "device: COM1\nserial number 12AB3, software 1.2.3\n";
    QTest::newRow("unknown serial number: named by port")
        << QByteArray(R"j({"device":"COM2","ok":false,"reason":"cannot-open","error":"Cannot open COM2"})j") << "COM2"
        << int(O::Failed) << "cannot-open" << "";
    QTest::newRow("failed update: serial number from before")
        << QByteArray(R"j({"device":"USB","ok":false,"reason":"update-failed","error":"Aborted",
                          "serial_before":"77777","version_before":"1.0.0"})j")
        << "77777" << int(O::Failed) << "update-failed"
        << "device: USB\nbefore: serial number 77777, software 1.0.0\n";
    QTest::newRow("skipped by the journal")
        << QByteArray(R"j({"device":"COM3","ok":true,"skipped":true,"note":"done before, by the journal"})j") << "COM3"
        << int(O::Skipped) << "done before, by the journal" << "";
    QTest::newRow("not started")
        << QByteArray(R"j({"device":"COM4","ok":false,"reason":"not-started","started":false,
                          "error":"Not started: 3 devices failed (--max-failures 3)"})j")
        << "COM4" << int(O::Skipped) << "Not started: 3 devices failed (--max-failures 3)" << "";
    QTest::newRow("the tool's own error")
        << QByteArray(R"j({"device":"COM5","ok":false,"reason":"error","error":"No configuration to program"})j")
        << "COM5" << int(O::Error) << "error" << "";
    QTest::newRow("command file answers")
        << QByteArray(R"j({"device":"COM6","ok":true,"answers":[{"line":3,"command":"ver","answer":"1.2.3\r\n"},
                                                              {"line":4,"command":"quiet","answer":""}]})j")
        << "COM6" << int(O::Passed) << "" << "> ver\n1.2.3\n> quiet\n";
    QTest::newRow("programming steps")
        << QByteArray(R"j({"device":"COM7","ok":true,"steps":["ISP Name","Programming OK"]})j") << "COM7"
        << int(O::Passed) << "" << "ISP Name\nProgramming OK\n";
}

void tst_junitreport::caseFromResult()
{
    QFETCH(QByteArray, result);
    QFETCH(QString, name);
    QFETCH(int, outcome);
    QFETCH(QString, reason);
    QFETCH(QString, output);
    const QJsonObject object = QJsonDocument::fromJson(result).object();
    QVERIFY(!object.isEmpty());
    const JunitCase testCase = JunitCaseFromResult(object, QStringLiteral("update"), 2.5);
    QCOMPARE(testCase.name, name);
    QCOMPARE(testCase.className, QStringLiteral("update"));
    QCOMPARE(int(testCase.outcome), outcome);
    QCOMPARE(testCase.reason, reason);
    QCOMPARE(testCase.output, output);
    QCOMPARE(testCase.seconds, 2.5);
    if (outcome == int(JunitCase::Outcome::Failed) || outcome == int(JunitCase::Outcome::Error))
        QCOMPARE(testCase.message, object.value(QStringLiteral("error")).toString());
}

void tst_junitreport::countsAndElements()
{
    const QByteArray xml = FourDeviceRun().ToXml();
    QXmlStreamReader reader(xml);
    QStringList path;
    QHash<QString, QXmlStreamAttributes> seen; // element path -> attributes of its first occurrence
    QStringList failureBodies, outputs, skips;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            path << reader.name().toString();
            const QString key = path.join(QLatin1Char('/'));
            if (!seen.contains(key))
                seen.insert(key, reader.attributes());
            if (reader.name() == QLatin1String("skipped"))
                skips << reader.attributes().value(QStringLiteral("message")).toString();
            if (reader.name() == QLatin1String("failure"))
                failureBodies << reader.readElementText(), path.removeLast();
            else if (reader.name() == QLatin1String("system-out"))
                outputs << reader.readElementText(), path.removeLast();
        } else if (reader.isEndElement()) {
            path.removeLast();
        }
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    for (const QString &key : {QStringLiteral("testsuites"), QStringLiteral("testsuites/testsuite")}) {
        const QXmlStreamAttributes a = seen.value(key);
        QCOMPARE(a.value(QStringLiteral("tests")), QStringLiteral("4"));
        QCOMPARE(a.value(QStringLiteral("failures")), QStringLiteral("1"));
        QCOMPARE(a.value(QStringLiteral("errors")), QStringLiteral("1"));
        QCOMPARE(a.value(QStringLiteral("skipped")), QStringLiteral("1"));
        // Without the run's own length, the cases' times add up.
        QCOMPARE(a.value(QStringLiteral("time")), QStringLiteral("11.750"));
    }
    QCOMPARE(seen.value(QStringLiteral("testsuites/testsuite")).value(QStringLiteral("timestamp")),
             QStringLiteral("2026-03-04T05:06:07Z"));
    const QXmlStreamAttributes failure = seen.value(QStringLiteral("testsuites/testsuite/testcase/failure"));
    QCOMPARE(failure.value(QStringLiteral("type")), QStringLiteral("no-response"));
    QCOMPARE(failure.value(QStringLiteral("message")), QStringLiteral("no-response: No response from Mirto to \"ver\""));
    QCOMPARE(failureBodies, QStringList {QStringLiteral("No response from Mirto to \"ver\"\nCheck the cable")});
    QCOMPARE(skips, QStringList {QStringLiteral("Not started: the run was interrupted")});
    QCOMPARE(outputs.size(), 1);
    QVERIFY(outputs.constFirst().contains(QStringLiteral("> ver\nMirto 1.2.3\n")));

    JunitReport timed = FourDeviceRun();
    timed.SetSeconds(10.2);
    QVERIFY(timed.ToXml().contains(R"j(<testsuite name="mirto-cli send" tests="4" failures="1" errors="1" skipped="1" time="10.200")j"));
}

void tst_junitreport::strayBytesKeepTheReportReadable()
{
    // A device that sends a bell, an escape sequence or a byte that decodes
    // to a lone surrogate must not make the report unreadable.
    const QString stray = QStringLiteral("ok\x07 \x1b[1m") + QChar(0xD800) + QStringLiteral(" <&> \"x\" ]]> \xfc");
    JunitReport report(QStringLiteral("mirto-cli send"));
    JunitCase testCase;
    testCase.name = stray;
    testCase.className = QStringLiteral("send");
    testCase.outcome = JunitCase::Outcome::Failed;
    testCase.reason = QStringLiteral("refused");
    testCase.message = stray;
    testCase.output = stray;
    report.Add(testCase);
    QXmlStreamReader reader(report.ToXml());
    QString text;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("system-out"))
            text = reader.readElementText();
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QCOMPARE(text, QStringLiteral("ok\uFFFD \uFFFD[1m\uFFFD <&> \"x\" ]]> \xfc"));
}

void tst_junitreport::writtenWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.xml"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        // Longer than the new report: a write in place would leave its tail.
        old.write(QByteArray(64 * 1024, '.'));
    }
    const JunitReport report = FourDeviceRun();
    QCOMPARE(report.Write(path), QString());
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), report.ToXml());

    // A folder that is not there: the reason is told, nothing is claimed.
    QVERIFY(!report.Write(dir.filePath(QStringLiteral("missing/report.xml"))).isEmpty());
}

void tst_junitreport::readByAJunitParser()
{
    if (!QFileInfo::exists(Python()))
        QSKIP("python3 is not installed: the report is not read by a JUnit parser");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("report.xml"));
    QCOMPARE(FourDeviceRun().Write(path), QString());
    QProcess python;
    python.start(Python(), {QStringLiteral(MIRTO_JUNIT_CHECK), path});
    QVERIFY(python.waitForFinished(60000));
    const QByteArray err = python.readAllStandardError();
    QVERIFY2(python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0, err.constData());
    QList<QJsonObject> cases;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            cases << QJsonDocument::fromJson(line).object();
    QCOMPARE(cases.size(), 4);
    const auto field = [&](int i, const char *key) { return cases.at(i).value(QLatin1String(key)).toVariant(); };
    QCOMPARE(field(0, "name").toString(), QStringLiteral("12AB3"));
    QCOMPARE(field(0, "outcome").toString(), QStringLiteral("passed"));
    QCOMPARE(field(0, "time").toDouble(), 1.25);
    QVERIFY(field(0, "output").toString().contains(QStringLiteral("Mirto 1.2.3")));
    QCOMPARE(field(1, "name").toString(), QStringLiteral("127.0.0.1:9100"));
    QCOMPARE(field(1, "classname").toString(), QStringLiteral("send"));
    QCOMPARE(field(1, "outcome").toString(), QStringLiteral("failed"));
    QCOMPARE(field(1, "type").toString(), QStringLiteral("no-response"));
    QCOMPARE(field(2, "outcome").toString(), QStringLiteral("skipped"));
    QCOMPARE(field(2, "message").toString(), QStringLiteral("Not started: the run was interrupted"));
    QCOMPARE(field(3, "outcome").toString(), QStringLiteral("error"));
}

QTEST_GUILESS_MAIN(tst_junitreport)
#include "tst_junitreport.moc"
