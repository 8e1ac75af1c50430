#include "core/Identification.h"

#include <QtTest>

// What the status bar and the command line make of the device's answers to
// snum and ver, and when a device counts as having no serial number.
class tst_identification : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serialFromAnswer_data();
    void serialFromAnswer();
};

void tst_identification::serialFromAnswer_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("noRealSerial");
    const QByteArray prefix = "Serialnumber:         ";
    QTest::newRow("a serial number") << prefix + "54321\r\n>" << QByteArray("54321") << true << false;
    QTest::newRow("unset, any case") << prefix + "fFfFf\r\n>" << QByteArray("FFFFF") << false << false;
    QTest::newRow("no word") << QByteArray("54321\r\n>") << QByteArray("?????") << false << true;
    QTest::newRow("answer ends sooner") << prefix + "543" << QByteArray("543") << true << false;
    // Nothing read at all is no serial number either.
    QTest::newRow("answer ends at the number") << prefix << QByteArray() << false << true;
}

void tst_identification::serialFromAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, shown);
    QFETCH(bool, stored);
    QFETCH(bool, noRealSerial);
    const IdentPart part = ParseIdentPart(answer, "Serialnumber", 22);
    QCOMPARE(part.text, shown);
    QCOMPARE(part.store, stored);
    QCOMPARE(NoRealSerialNumber(part.text), noRealSerial);
}

QTEST_GUILESS_MAIN(tst_identification)
#include "tst_identification.moc"
