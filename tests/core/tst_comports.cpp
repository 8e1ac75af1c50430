#include "core/links/ComPorts.h"
#include "core/links/SerialPortError.h"
#include "tests/TestHelpers.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The ports folder that gives serial devices their COMn numbers.
class tst_comports : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void numbersAreStableAndLowestFree();
    void prune_data();
    void prune();
    void ownerMarks();
    void targetOfGoneOwner();
    void sortedAsText();
    void usbDevicePrefersStableName();
    void folderCannotBeMade();
    void portNumberOfEntry_data();
    void portNumberOfEntry();
    void unnumberedPorts_data();
    void unnumberedPorts();

private:
    qint64 endedProcessId();

    QString device(const QTemporaryDir &dir, const QString &name)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        return path;
    }
};

void tst_comports::numbersAreStableAndLowestFree()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    const QString a = device(dir, "ttyS0");
    const QString b = device(dir, "ttyUSB0");
    QCOMPARE(EnumComPortsIn(folder, {a, b}), QStringList({"COM1", "COM2"}));
    // Next run, reported in another order: same numbers.
    QCOMPARE(EnumComPortsIn(folder, {b, a}), QStringList({"COM1", "COM2"}));
    QCOMPARE(FindComPortFor(folder, a), 1);
    QCOMPARE(FindComPortFor(folder, b), 2);

    // A device that is unplugged keeps its number while it is out: it is
    // not listed, the next new device does not get its number, and it is
    // listed under it again when it returns.
    QFile::remove(a);
    const QString c = device(dir, "ttyACM0");
    QCOMPARE(EnumComPortsIn(folder, {b, c}), QStringList({"COM2", "COM3"}));
    QCOMPARE(FindComPortFor(folder, c), 3);
    QCOMPARE(QFileInfo(folder + "/COM1").symLinkTarget(), a);
    device(dir, "ttyS0");
    QCOMPARE(EnumComPortsIn(folder, {a, b, c}), QStringList({"COM1", "COM2", "COM3"}));
    QCOMPARE(FindComPortFor(folder, a), 1);
    // An entry the user removed frees its number.
    QFile::remove(folder + "/COM2");
    const QString d = device(dir, "ttyACM1");
    QCOMPARE(EnumComPortsIn(folder, {a, c, d}), QStringList({"COM1", "COM2", "COM3"}));
    QCOMPARE(FindComPortFor(folder, d), 2);
    QCOMPARE(AssignComPort(folder, device(dir, "ttyX"), 12), 12);
}

// A process id that no process has: that of a child that has ended.
qint64 tst_comports::endedProcessId()
{
    QProcess child;
    child.start(QStringLiteral("true"), {});
    if (!child.waitForStarted(5000))
        return -1;
    const qint64 pid = child.processId();
    child.waitForFinished(5000);
    return pid;
}

void tst_comports::prune_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("mark");
    QTest::addColumn<bool>("kept");

    // "device" is a device that is there, "unplugged" a path that is gone for
    // now, "pseudo-terminal gone" one that went with its program. "self"
    // stands for this test's own mark, "ended" for a process that has gone;
    // "reused" for this test's id with another start time.
    QTest::newRow("device, no mark") << "device" << QString() << true;
    QTest::newRow("unplugged, no mark") << "unplugged" << QString() << true;
    QTest::newRow("pseudo-terminal gone, no mark") << "pseudo-terminal gone" << QString() << false;
    QTest::newRow("device, owner runs") << "device" << "self" << true;
    QTest::newRow("device, owner ended") << "device" << "ended" << false;
    QTest::newRow("device, id taken by a later process") << "device" << "reused" << false;
    QTest::newRow("unplugged, owner runs") << "unplugged" << "self" << true;
    QTest::newRow("unplugged, owner ended") << "unplugged" << "ended" << false;
    QTest::newRow("pseudo-terminal gone, owner runs") << "pseudo-terminal gone" << "self" << false;
    QTest::newRow("device, unreadable mark") << "device" << "garbage" << true;
}

void tst_comports::prune()
{
    QFETCH(QString, target);
    QFETCH(QString, mark);
    QFETCH(bool, kept);

    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    QVERIFY(QDir().mkpath(folder));
    const bool targetExists = target == "device";
    // No system hands out that many pseudo-terminals.
    const QString path = targetExists         ? device(dir, "ttyUSB7")
                         : target == "unplugged" ? dir.filePath("by-id/usb-Mirto-if00")
                                                 : QStringLiteral("/dev/pts/99999");
    QVERIFY(!QFileInfo::exists("/dev/pts/99999"));
    QVERIFY(QFile::link(path, folder + "/COM3"));
    const QString markPath = ComPortMarkPath(folder, 3);
    QCOMPARE(markPath, folder + "/COM3.pid");
    if (mark == "self") {
        QVERIFY(MarkComPortOwner(folder, 3));
    } else if (!mark.isEmpty()) {
        QByteArray text = "garbage\n";
        if (mark == "ended")
            text = QByteArray::number(endedProcessId()) + "\n";
        if (mark == "reused")
            text = QByteArray::number(QCoreApplication::applicationPid()) + "\n";
        QFile file(markPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
        QVERIFY(file.flush());
        // Written before this process started: its id was an earlier one's.
        if (mark == "reused")
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
    }
    // A listed entry the tool would open, and what it would open.
    const bool usable = targetExists && kept;
    QCOMPARE(ListComPorts(folder), usable ? QStringList {"COM3"} : QStringList {});

    QCOMPARE(PruneComPorts(folder), kept ? QList<int> {} : QList<int> {3});
    QCOMPARE(QFileInfo(folder + "/COM3").isSymLink(), kept);
    // A running owner's mark stays while the owner may still release it.
    QCOMPARE(QFileInfo::exists(markPath), !mark.isEmpty() && (kept || mark == "self"));
    QCOMPARE(EnumComPortsIn(folder, {}), usable ? QStringList {"COM3"} : QStringList {});
}

void tst_comports::ownerMarks()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    const QString pts = device(dir, "pts1");
    QCOMPARE(AssignComPort(folder, pts), 1);
    QVERIFY(MarkComPortOwner(folder, 1));
    QVERIFY(ComPortOwnerAlive(ComPortMarkPath(folder, 1)));

    // A mark whose link went stays with its running owner and holds the
    // number; once the owner has gone, the next assignment takes both.
    QVERIFY(QFile::remove(folder + "/COM1"));
    QCOMPARE(AssignComPort(folder, device(dir, "pts2")), 2);
    QFile mark(ComPortMarkPath(folder, 1));
    QVERIFY(mark.open(QIODevice::WriteOnly));
    mark.write(QByteArray::number(endedProcessId()) + "\n");
    mark.close();
    QVERIFY(!ComPortOwnerAlive(ComPortMarkPath(folder, 1)));
    QCOMPARE(AssignComPort(folder, device(dir, "pts3")), 1);
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 1)));

    // Release takes only what is still ours: a link pointed elsewhere and
    // another process's mark stay.
    QVERIFY(MarkComPortOwner(folder, 2));
    ReleaseComPort(folder, 2, pts);
    QVERIFY(QFileInfo(folder + "/COM2").isSymLink());
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 2)));
    QVERIFY(MarkComPortOwner(folder, 2));
    ReleaseComPort(folder, 2, dir.filePath("pts2"));
    QVERIFY(!QFileInfo(folder + "/COM2").isSymLink());
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 2)));
    QVERIFY(mark.open(QIODevice::WriteOnly));
    mark.write("1\n");
    mark.close();
    ReleaseComPort(folder, 1, dir.filePath("pts3"));
    QVERIFY(!QFileInfo(folder + "/COM1").isSymLink());
    QVERIFY(QFileInfo::exists(ComPortMarkPath(folder, 1)));
}

void tst_comports::targetOfGoneOwner()
{
    ScopedConfigHome home;
    const QString folder = ComPortFolder();
    QTemporaryDir dir;
    QCOMPARE(AssignComPort(folder, device(dir, "pts4"), 4), 4);
    QVERIFY(MarkComPortOwner(folder, 4));
    QCOMPARE(ComPortTarget(4), dir.filePath("pts4"));
    QFile mark(ComPortMarkPath(folder, 4));
    QVERIFY(mark.open(QIODevice::WriteOnly));
    mark.write(QByteArray::number(endedProcessId()) + "\n");
    mark.close();
    // Whatever got the device meanwhile is not ours to open.
    QCOMPARE(ComPortTarget(4), QString());
}

void tst_comports::sortedAsText()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    QDir().mkpath(folder);
    for (int n : {2, 10, 1})
        QVERIFY(QFile::link(device(dir, QString("tty%1").arg(n)), folder + QString("/COM%1").arg(n)));
    QVERIFY(QFile::link(device(dir, "other"), folder + "/notaport"));
    QCOMPARE(ListComPorts(folder), QStringList({"COM1", "COM10", "COM2"}));
}

void tst_comports::usbDevicePrefersStableName()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    const QString node = device(dir, "ttyUSB3");
    QDir().mkpath(dir.filePath("by-id"));
    const QString stable = dir.filePath("by-id/usb-Bridge_0001-if00-port0");
    QVERIFY(QFile::link(node, stable));
    QCOMPARE(EnumComPortsIn(folder, {node}, dir.filePath("by-id")), QStringList({"COM1"}));
    QCOMPARE(QFileInfo(folder + "/COM1").symLinkTarget(), stable);
    QCOMPARE(FindComPortFor(folder, node), 1);
}

void tst_comports::folderCannotBeMade()
{
    QTemporaryDir dir;
    const QString blocker = device(dir, "plainfile");
    try {
        EnumComPortsIn(blocker + "/ports", {});
        QFAIL("no error");
    } catch (const SerialPortError &e) {
        QVERIFY2(e.message().startsWith("The ports folder " + blocker + "/ports cannot be used: "), qPrintable(e.message()));
    }
}

void tst_comports::portNumberOfEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("number");
    QTest::newRow("COM3") << "COM3" << 3;
    QTest::newRow("COM12") << "COM12" << 12;
    QTest::newRow("COM123: three digits") << "COM123" << 123;
    QTest::newRow("any case") << "com7" << 7;
    QTest::newRow("four digits") << "COM1234" << -1;
    QTest::newRow("no COM") << "LPT1" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("no number") << "COMx" << -1;
}

void tst_comports::portNumberOfEntry()
{
    QFETCH(QString, entry);
    QFETCH(int, number);
    QCOMPARE(PortNumberOfEntry(entry), number);
}

void tst_comports::unnumberedPorts_data()
{
    QTest::addColumn<QStringList>("numbered");
    QTest::addColumn<bool>("mayExist");
    QTest::newRow("every port numbered") << QStringList {"ttyS0", "rfcomm0"} << false;
    QTest::newRow("a device's tty without a number") << QStringList {"rfcomm0"} << true;
    QTest::newRow("a Bluetooth port without a number") << QStringList {"ttyS0"} << true;
}

void tst_comports::unnumberedPorts()
{
    QFETCH(QStringList, numbered);
    QFETCH(bool, mayExist);
    QTemporaryDir dir;
    const QString folder = dir.filePath("ports");
    const QString ttyClass = dir.filePath("sys/class/tty/");
    QVERIFY(QDir().mkpath(folder) && QDir().mkpath(dir.filePath("dev")));
    // A virtual terminal (no device) and a device's tty whose node has gone
    // never count, numbered or not.
    for (const char *tty : {"tty0", "ttyS0", "ttyS1", "rfcomm0"})
        QVERIFY(QDir().mkpath(ttyClass + QLatin1String(tty)));
    QVERIFY(QDir().mkpath(ttyClass + "ttyS0/device") && QDir().mkpath(ttyClass + "ttyS1/device"));
    for (const char *node : {"tty0", "ttyS0", "rfcomm0"})
        device(dir, QStringLiteral("dev/") + QLatin1String(node));
    int n = 0;
    for (const QString &node : numbered)
        QVERIFY(QFile::link(dir.filePath("dev/" + node), folder + QString("/COM%1").arg(++n)));
    QCOMPARE(UnnumberedPortsMayExist(folder, ListComPorts(folder), dir.filePath("sys"), dir.filePath("dev")), mayExist);
}

QTEST_GUILESS_MAIN(tst_comports)
#include "tst_comports.moc"
