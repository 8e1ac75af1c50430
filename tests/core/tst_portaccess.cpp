#include "core/links/SerialPortError.h"

#include <QtTest>

#include <sys/stat.h>

// What the user is told to do when the system refuses a serial device.
class tst_portaccess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void advice_data();
    void advice();
};

namespace {

const QString Rule = QStringLiteral("70-mirto-usb.rules");
const QString Admin = QStringLiteral("ask your administrator");

QString joinAdvice(const QString &group)
{
    return QStringLiteral("Serial devices belong to the group '%1': add your user to it "
                          "(sudo usermod -aG %1 $USER), then log out and in again.")
        .arg(group);
}

} // namespace

void tst_portaccess::advice_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("group");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QStringList>("neverSays");

    const QString ttyS = QStringLiteral("/dev/ttyS0");
    const QString ttyUSB = QStringLiteral("/dev/ttyUSB0");
    const QStringList noJoin{QStringLiteral("usermod")};
    const QStringList noRule{Rule};
    const QStringList neither{QStringLiteral("usermod"), Rule};
    const uint chr = S_IFCHR;

    // A group that grants read and write, and is not root's, is the fix.
    QTest::newRow("dialout rw") << ttyS << "dialout" << (chr | 0660) << QStringList{joinAdvice("dialout")}
                                << QStringList{Rule, Admin};
    QTest::newRow("other group rw, owner read only")
        << ttyS << "uucp" << (chr | 0460) << QStringList{joinAdvice("uucp")} << noRule;
    QTest::newRow("cdc-acm device") << "/dev/ttyACM0" << "dialout" << (chr | 0660)
                                    << QStringList{joinAdvice("dialout")} << noRule;

    // Groups that grant nothing, or would grant everything: no joining.
    QTest::newRow("root:root 600") << ttyS << "root" << (chr | 0600) << QStringList{Admin} << neither;
    QTest::newRow("root group rw") << ttyS << "root" << (chr | 0660) << QStringList{Admin} << neither;
    QTest::newRow("group without bits") << ttyS << "dialout" << (chr | 0600) << QStringList{Admin} << neither;
    QTest::newRow("group read only") << ttyS << "dialout" << (chr | 0640) << QStringList{Admin} << neither;
    QTest::newRow("group write only") << ttyS << "dialout" << (chr | 0620) << QStringList{Admin} << neither;
    QTest::newRow("group has no name") << ttyS << "" << (chr | 0660) << QStringList{Admin} << neither;
    QTest::newRow("open to everyone") << ttyS << "dialout" << (chr | 0666)
                                      << QStringList{QStringLiteral("every user"), Admin} << neither;

    // The USB cable: the udev rule, and the group as well where one helps.
    QTest::newRow("usb root:root 600") << ttyUSB << "root" << (chr | 0600)
                                       << QStringList{Rule, QStringLiteral("/etc/udev/rules.d")} << noJoin;
    QTest::newRow("usb dialout rw") << ttyUSB << "dialout" << (chr | 0660)
                                    << QStringList{Rule, "Otherwise: " + joinAdvice("dialout")}
                                    << QStringList{Admin};
    QTest::newRow("usb group without bits") << ttyUSB << "dialout" << (chr | 0600) << QStringList{Rule} << noJoin;
    QTest::newRow("usb open to everyone") << ttyUSB << "dialout" << (chr | 0666)
                                          << QStringList{QStringLiteral("every user"), Admin} << neither;
}

void tst_portaccess::advice()
{
    QFETCH(QString, device);
    QFETCH(QString, group);
    QFETCH(uint, mode);
    QFETCH(QStringList, says);
    QFETCH(QStringList, neverSays);

    const QString text = SerialAccessAdvice(device, group, mode);
    // The paragraph follows the error line after a blank line, naming the device.
    QVERIFY2(text.startsWith(QStringLiteral("\n\nThe system refused access to %1. ").arg(device)),
             qPrintable(text));
    for (const QString &wanted : says)
        QVERIFY2(text.contains(wanted), qPrintable(QStringLiteral("missing \"%1\" in: %2").arg(wanted, text)));
    for (const QString &unwanted : neverSays)
        QVERIFY2(!text.contains(unwanted),
                 qPrintable(QStringLiteral("unexpected \"%1\" in: %2").arg(unwanted, text)));
}

QTEST_GUILESS_MAIN(tst_portaccess)
#include "tst_portaccess.moc"
