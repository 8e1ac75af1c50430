#include "links/ComPorts.h"
#include "links/SerialPortError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The ports folder that gives serial devices their COMn numbers.
class tst_comports : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void numbersAreStableAndLowestFree();
    void sortedAsText();
    void usbDevicePrefersStableName();
    void folderCannotBeMade();
    void portNumberOfEntry_data();
    void portNumberOfEntry();

private:
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

    // A device that is away keeps its number and is not listed; a new one
    // takes the lowest free number.
    QFile::remove(a);
    const QString c = device(dir, "ttyACM0");
    QCOMPARE(EnumComPortsIn(folder, {b, c}), QStringList({"COM2", "COM3"}));
    QFile::remove(folder + "/COM2");
    const QString d = device(dir, "ttyACM1");
    QCOMPARE(EnumComPortsIn(folder, {b, c, d}), QStringList({"COM2", "COM3", "COM4"}));
    QCOMPARE(FindComPortFor(folder, d), 4);
    QCOMPARE(FindComPortFor(folder, b), 2);
    QCOMPARE(AssignComPort(folder, device(dir, "ttyX"), 12), 12);
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
        QVERIFY2(e.message().startsWith("Registry error (win error code: "), qPrintable(e.message()));
    }
}

void tst_comports::portNumberOfEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("number");
    QTest::newRow("COM3") << "COM3" << 3;
    QTest::newRow("COM12") << "COM12" << 12;
    QTest::newRow("COM123 reads two digits") << "COM123" << 12;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("no number") << "COMx" << -1;
}

void tst_comports::portNumberOfEntry()
{
    QFETCH(QString, entry);
    QFETCH(int, number);
    QCOMPARE(PortNumberOfEntry(entry), number);
}

QTEST_GUILESS_MAIN(tst_comports)
#include "tst_comports.moc"
