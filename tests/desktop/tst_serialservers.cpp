// Tools - Serial Servers: numbers for serial server ports, added and removed
// in the window as the user does, with keys and clicks.

#include "desktop/SerialServers.h"

#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"
#include "tests/TestHelpers.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

class tst_serialservers : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyControlIsNamed();
    void addsAndRemoves();
};

void tst_serialservers::everyControlIsNamed()
{
    ScopedConfigHome home;
    TSerialServersForm form;
    const QList<QWidget *> controls = form.findChildren<QWidget *>();
    int checked = 0;
    for (QWidget *w : controls) {
        const bool control = qobject_cast<QAbstractButton *>(w) || qobject_cast<QLineEdit *>(w)
                             || qobject_cast<QSpinBox *>(w) || qobject_cast<QTableWidget *>(w);
        if (!control || w->parent() != &form)
            continue;
        ++checked;
        QVERIFY2(!w->objectName().isEmpty() && !w->accessibleName().isEmpty(), w->metaObject()->className());
    }
    QVERIFY(checked >= 6);
}

void tst_serialservers::addsAndRemoves()
{
    ScopedConfigHome home;
    PtyDevice device;
    QCOMPARE(device.registerAs(1), 1);
    TSerialServersForm form;
    form.show();
    auto *number = form.findChild<QSpinBox *>("PortNumberSpin");
    auto *host = form.findChild<QLineEdit *>("HostEdit");
    auto *port = form.findChild<QSpinBox *>("TcpPortSpin");
    auto *table = form.findChild<QTableWidget *>("ServerList");
    auto *status = form.findChild<QLabel *>("StatusLabel");
    QVERIFY(number && host && port && table && status);
    // The first free number is offered; COM1 is the cable's.
    QCOMPARE(number->value(), 2);
    port->setValue(7002);
    QTest::keyClicks(host, "127.0.0.1");
    QTest::keyClick(host, Qt::Key_Return);
    QCOMPARE(ComPortTarget(2), QString("rfc2217://127.0.0.1:7002"));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 1)->text(), QString("127.0.0.1:7002"));
    QCOMPARE(status->accessibleName(), status->text());
    QCOMPARE(number->value(), 3);
    // A taken number is refused, and said so.
    number->setValue(1);
    QTest::keyClicks(host, "127.0.0.1");
    QTest::mouseClick(form.findChild<QPushButton *>("AddButton"), Qt::LeftButton);
    QVERIFY2(status->text().startsWith("COM1 is taken"), qPrintable(status->text()));
    QVERIFY(QFileInfo(ComPortFolder() + "/COM1").isSymLink());

    table->selectRow(0);
    QTest::mouseClick(form.findChild<QPushButton *>("RemoveButton"), Qt::LeftButton);
    QCOMPARE(table->rowCount(), 0);
    QVERIFY(ListRemoteComPorts(ComPortFolder()).isEmpty());
    QCOMPARE(status->text(), QString("COM2 removed"));
}

QTEST_MAIN(tst_serialservers)
#include "tst_serialservers.moc"
