#include "core/DeviceIdentity.h"

#include <QtTest>

// Which unit answers: the one a job started with, another one, or no way of
// telling.
class tst_deviceidentity : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void verdict_data();
    void verdict();
    void anotherDeviceText();
};

Q_DECLARE_METATYPE(DeviceIdentity::Verdict)

void tst_deviceidentity::verdict_data()
{
    QTest::addColumn<QByteArray>("started");
    QTest::addColumn<QByteArray>("answered");
    QTest::addColumn<bool>("known");
    QTest::addColumn<DeviceIdentity::Verdict>("verdict");
    using V = DeviceIdentity::Verdict;
    QTest::newRow("same unit") << QByteArray("AAAAA") << QByteArray("AAAAA") << true << V::Same;
    QTest::newRow("another unit") << QByteArray("AAAAA") << QByteArray("BBBBB") << true << V::Another;
    // Serial numbers are compared as read: case tells units apart.
    QTest::newRow("differs in case") << QByteArray("12ab3") << QByteArray("12AB3") << true << V::Another;
    QTest::newRow("a shorter answer") << QByteArray("12345") << QByteArray("123") << true << V::Another;
    QTest::newRow("no answer now") << QByteArray("AAAAA") << QByteArray() << true << V::CannotTell;
    QTest::newRow("no serial in the answer now") << QByteArray("AAAAA") << QByteArray("?????") << true
                                                 << V::CannotTell;
    QTest::newRow("number never set now") << QByteArray("AAAAA") << QByteArray("FFFFF") << true << V::CannotTell;
    QTest::newRow("none known at the start") << QByteArray() << QByteArray("BBBBB") << false << V::CannotTell;
    QTest::newRow("no serial at the start") << QByteArray("?????") << QByteArray("BBBBB") << false
                                            << V::CannotTell;
    // Every unset unit reads FFFFF: another one must not pass for it.
    QTest::newRow("number never set at the start")
        << QByteArray("FFFFF") << QByteArray("FFFFF") << false << V::CannotTell;
}

void tst_deviceidentity::verdict()
{
    QFETCH(QByteArray, started);
    QFETCH(QByteArray, answered);
    QFETCH(bool, known);
    QFETCH(DeviceIdentity::Verdict, verdict);
    const DeviceIdentity identity(started);
    QCOMPARE(identity.Known(), known);
    QCOMPARE(identity.Serial(), known ? started : QByteArray());
    QCOMPARE(identity.Check(answered), verdict);
    QCOMPARE(DeviceIdentity().Check(answered), DeviceIdentity::Verdict::CannotTell);
}

void tst_deviceidentity::anotherDeviceText()
{
    QCOMPARE(DeviceIdentity::AnotherDeviceText(QStringLiteral("COM1"), "BBBBB", "AAAAA"),
             QStringLiteral("Another device is on COM1 now: serial number BBBBB, was AAAAA"));
}

QTEST_GUILESS_MAIN(tst_deviceidentity)
#include "tst_deviceidentity.moc"
