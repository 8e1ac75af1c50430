#include "core/RunPlan.h"
#include "core/config/Programming.h"
#include "core/firmware/HexImage.h"

#include <QJsonArray>
#include <QtTest>

// What a run would do, worked out without a port: the steps of each device
// and which devices a resumed run leaves out.
class tst_runplan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stepsOfEachCommand_data();
    void stepsOfEachCommand();
    void pagesForEachPageSize_data();
    void pagesForEachPageSize();
    void resumeSkipsWhatTheJournalShowsDone();
    void refusedPlans_data();
    void refusedPlans();
    void textForPeople();
};

namespace {

ProgrammingPlan TwoStepProgram()
{
    ProgrammingPlan plan;
    plan.outcome = ProgrammingPlan::Outcome::Ready;
    ProgrammingStep mode;
    mode.Status = QStringLiteral("Mode");
    mode.Command = "mode 3\n";
    ProgrammingStep readBack;
    readBack.kind = ProgrammingStep::Kind::ReadBack;
    readBack.Command = "mode\n";
    plan.Steps = {mode, readBack};
    return plan;
}

QStringList Actions(const QJsonObject &device)
{
    QStringList actions;
    for (const QJsonValue &step : device.value(QStringLiteral("steps")).toArray()) {
        const QJsonObject object = step.toObject();
        QString text = object.value(QStringLiteral("action")).toString();
        if (object.contains(QStringLiteral("command")))
            text += QLatin1Char(' ') + object.value(QStringLiteral("command")).toString();
        if (object.contains(QStringLiteral("line")))
            text += QStringLiteral(" @") + QString::number(object.value(QStringLiteral("line")).toInt());
        if (object.contains(QStringLiteral("how")))
            text += QLatin1Char(' ') + object.value(QStringLiteral("how")).toString();
        if (object.value(QStringLiteral("kind")).toString() == QLatin1String("read-back"))
            text += QStringLiteral(" (read-back)");
        actions << text;
    }
    return actions;
}

} // namespace

void tst_runplan::stepsOfEachCommand_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("fromFile");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QStringList>("actions");

    QTest::newRow("identify") << "identify" << false << false << QStringList {"identify"};
    QTest::newRow("send texts") << "send" << false << false << QStringList {"send ver", "send help"};
    QTest::newRow("send a file: its line numbers") << "send" << true << false
                                                   << QStringList {"send ver @2", "send channel @5"};
    QTest::newRow("program: without the line end")
        << "program" << false << false << QStringList {"identify", "send mode 3", "send mode (read-back)"};
    QTest::newRow("update with reset")
        << "update" << false << true
        << QStringList {"identify", "enter-boot-loader reset", "erase", "pages", "lock-bits", "identify"};
    QTest::newRow("update by power cycle")
        << "update" << false << false
        << QStringList {"identify", "enter-boot-loader power-cycle", "erase", "pages", "lock-bits", "identify"};
}

void tst_runplan::stepsOfEachCommand()
{
    QFETCH(QString, command);
    QFETCH(bool, fromFile);
    QFETCH(bool, reset);
    QFETCH(QStringList, actions);
    const ProgrammingPlan programming = TwoStepProgram();
    HexImage image;
    image.ImageHighAddress = 99;
    RunPlanRequest request;
    request.command = command;
    request.devices = {QStringLiteral("COM1"), QStringLiteral("127.0.0.1:9100")};
    if (fromFile)
        request.commandFile = {{2, "ver"}, {5, "channel"}};
    else
        request.texts = {QStringLiteral("ver"), QStringLiteral("help")};
    request.programming = &programming;
    request.image = &image;
    request.reset = reset;
    const RunPlan plan = PlanRun(request);
    QCOMPARE(plan.problem, QString());
    QCOMPARE(plan.devices.size(), 2);
    for (const QJsonObject &device : plan.devices) {
        QCOMPARE(device.value(QStringLiteral("event")).toString(), QStringLiteral("plan"));
        QCOMPARE(device.value(QStringLiteral("command")).toString(), command);
        QCOMPARE(device.value(QStringLiteral("skip")).toBool(), false);
        QCOMPARE(Actions(device), actions);
    }
    QCOMPARE(plan.devices.at(1).value(QStringLiteral("device")).toString(), QStringLiteral("127.0.0.1:9100"));
}

void tst_runplan::pagesForEachPageSize_data()
{
    QTest::addColumn<quint32>("highAddress");
    QTest::addColumn<QList<int>>("pages"); // for 32, 64, 128, 256 and 512 bytes

    QTest::newRow("one byte") << 0u << QList<int> {1, 1, 1, 1, 1};
    QTest::newRow("exactly one 512-byte page") << 511u << QList<int> {16, 8, 4, 2, 1};
    QTest::newRow("one byte into the next page") << 512u << QList<int> {17, 9, 5, 3, 2};
    QTest::newRow("the largest image") << HexImage::SizeLimit - 1 << QList<int> {8064, 4032, 2016, 1008, 504};
}

void tst_runplan::pagesForEachPageSize()
{
    QFETCH(quint32, highAddress);
    QFETCH(QList<int>, pages);
    HexImage image;
    image.ImageHighAddress = highAddress;
    RunPlanRequest request;
    request.command = QStringLiteral("update");
    request.devices = {QStringLiteral("COM1")};
    request.image = &image;
    const RunPlan plan = PlanRun(request);
    QCOMPARE(plan.problem, QString());
    QJsonObject step;
    for (const QJsonValue &value : plan.devices.constFirst().value(QStringLiteral("steps")).toArray())
        if (value.toObject().value(QStringLiteral("action")).toString() == QLatin1String("pages"))
            step = value.toObject();
    QCOMPARE(step.value(QStringLiteral("bytes")).toInteger(), qint64(highAddress) + 1);
    const QJsonObject bySize = step.value(QStringLiteral("pages_by_page_size")).toObject();
    QList<int> counted;
    for (const quint32 size : BootPageSizes)
        counted << bySize.value(QString::number(size)).toInt();
    QCOMPARE(counted, pages);
}

void tst_runplan::resumeSkipsWhatTheJournalShowsDone()
{
    RunPlanRequest request;
    request.command = QStringLiteral("identify");
    request.devices = {QStringLiteral("COM1"), QStringLiteral("COM2")};
    request.serials = {QStringLiteral("12AB3"), QStringLiteral("77777")};
    request.done = {QStringLiteral("COM2"), QStringLiteral("serial 77777"), QStringLiteral("COM9")};
    const RunPlan plan = PlanRun(request);
    QCOMPARE(plan.devices.size(), 4);
    QStringList devices, skipped;
    for (const QJsonObject &device : plan.devices) {
        devices << device.value(QStringLiteral("device")).toString();
        if (device.value(QStringLiteral("skip")).toBool()) {
            skipped << devices.constLast();
            QVERIFY(device.value(QStringLiteral("steps")).toArray().isEmpty());
        }
    }
    QCOMPARE(devices, (QStringList {"COM1", "COM2", "serial 12AB3", "serial 77777"}));
    QCOMPARE(skipped, (QStringList {"COM2", "serial 77777"}));
    // Devices found by serial number say so; those named by port do not.
    QVERIFY(!plan.devices.at(0).contains(QStringLiteral("find")));
    QVERIFY(plan.devices.at(2).contains(QStringLiteral("find")));
}

void tst_runplan::refusedPlans_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("withDevices");
    QTest::addColumn<QString>("problem");

    using O = ProgrammingPlan::Outcome;
    QTest::newRow("no mode") << "program" << int(O::NoValidMode) << true
                             << "The configuration holds no mode to program";
    QTest::newRow("incomplete channel") << "program" << int(O::ChannelIncomplete) << true << "Channel 2 has no URL";
    QTest::newRow("refused value") << "program" << int(O::ValueRefused) << true << "a value with a line break";
    QTest::newRow("no device") << "identify" << int(O::Ready) << false << "No device named";
    QTest::newRow("nothing to send") << "send" << int(O::Ready) << true << "Nothing to send";
    QTest::newRow("no image") << "update" << int(O::Ready) << true << "No firmware image";
}

void tst_runplan::refusedPlans()
{
    QFETCH(QString, command);
    QFETCH(int, outcome);
    QFETCH(bool, withDevices);
    QFETCH(QString, problem);
    ProgrammingPlan programming = TwoStepProgram();
    programming.outcome = ProgrammingPlan::Outcome(outcome);
    programming.Gap.Slot = 2;
    programming.Refusal = QStringLiteral("a value with a line break");
    RunPlanRequest request;
    request.command = command;
    if (withDevices)
        request.devices = {QStringLiteral("COM1")};
    request.programming = &programming;
    const RunPlan plan = PlanRun(request);
    QCOMPARE(plan.problem, problem);
    QVERIFY(plan.devices.isEmpty());
}

void tst_runplan::textForPeople()
{
    HexImage image;
    image.ImageHighAddress = 1023;
    RunPlanRequest request;
    request.command = QStringLiteral("update");
    request.devices = {QStringLiteral("COM1"), QStringLiteral("COM2")};
    request.file = QStringLiteral("/srv/fw.hex");
    request.image = &image;
    request.powerCycleWaitSeconds = 90;
    request.done = {QStringLiteral("COM2")};
    QCOMPARE(RunPlanText(PlanRun(request)),
             (QStringList {
                 "COM1: update /srv/fw.hex",
                 "  1. identify (serial number and software version)",
                 "  2. enter the boot loader: wait up to 90 s for the power cycle",
                 "  3. erase the flash",
                 "  4. send 1024 bytes as pages (the boot loader names the page size): 32 of 32 bytes, 16 of 64 bytes, "
                 "8 of 128 bytes, 4 of 256 bytes, 2 of 512 bytes",
                 "  5. program the lock bits",
                 "  6. identify again: the same serial number must answer",
                 "COM2: update /srv/fw.hex: skipped, done before, by the journal",
             }));
}

QTEST_GUILESS_MAIN(tst_runplan)
#include "tst_runplan.moc"
