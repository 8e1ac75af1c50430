#include "core/links/ComPorts.h"
#include "desktop/Commainform.h"
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

// The window's automatic reconnect with a device on USB: its COM entry
// points at a stable path that leads nowhere while the device is out. The
// device plugged back is opened and identified again under the same COM
// number, another unit on it is told by its serial number, and Close stops
// the waiting.
class tst_reconnect : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void usbDeviceComesBack_data();
    void usbDeviceComesBack();
};

void tst_reconnect::usbDeviceComesBack_data()
{
    QTest::addColumn<QByteArray>("serialBack");
    QTest::newRow("the same unit") << QByteArray();
    QTest::newRow("another unit") << QByteArray("BBBBB");
}

void tst_reconnect::usbDeviceComesBack()
{
    QFETCH(QByteArray, serialBack);
    StartDirectoryEnv env;
    QTemporaryDir devices;
    QStringList options = {"--no-tcp", "--serial", "AAAAA", "--stable-link",
                           devices.filePath("serial/by-id/usb-Mirto_AAAAA-if00-port0")};
    if (!serialBack.isEmpty())
        options << "--replug-serial" << QString::fromLatin1(serialBack);
    SimProcess sim(options);
    const int com = sim.comPort();
    QVERIFY2(com > 0, qPrintable(sim.banner()));
    const QString port = QString("COM%1").arg(com);
    env.writeIni(QString("[Port]=%1\r\n[User]=expert\r\n[Interface]=serial\r\n").arg(port).toLatin1());

    TMainForm form;
    {
        ModalAnswerer answer;
        form.MainFormActivate();
        QCOMPARE(answer.allTexts(), QStringList());
    }
    auto *reconnect = form.findChild<QAction *>("ReconnectItem");
    QVERIFY(reconnect);
    if (!reconnect->isChecked())
        reconnect->trigger();
    QVERIFY(form.Connection().AutoReconnect());
    auto *close = form.findChild<QToolButton *>("CloseConToolButton");
    DeviceConnection &conn = form.Connection();
    form.OpenConnectionClicked(nullptr);
    QTRY_COMPARE(conn.IdentifiedSerial(), QByteArray("AAAAA"));

    QVERIFY(sim.ToggleCable());
    QTRY_VERIFY(!conn.IsConnected());
    QVERIFY(conn.Reconnecting());
    QCOMPARE(form.StatusNote("ReconnectLabel"), port + " went away; waiting for it to come back");
    // The window listed the ports again: the device keeps its number while
    // it is out.
    QVERIFY(QFileInfo(ComPortFolder() + "/" + port).isSymLink());
    QVERIFY(close->isEnabled());

    QVERIFY(sim.ToggleCable());
    const QByteArray now = serialBack.isEmpty() ? QByteArray("AAAAA") : serialBack;
    QTRY_VERIFY_WITH_TIMEOUT(conn.IsConnected() && conn.IdentifiedSerial() == now, 20000);
    QTRY_COMPARE(form.StatusNote("ReconnectLabel"),
                 serialBack.isEmpty()
                     ? "Reconnected to " + port
                     : QString("Another device is on %1 now: serial number BBBBB, was AAAAA").arg(port));
    QCOMPARE(conn.VaComm().PortNum(), com);
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("[Port]=" + port.toLatin1() + "\r\n"));

    // Another device, to turn to once the waiting has ended.
    SimProcess other({"--no-tcp"});
    const int otherCom = other.comPort();
    QVERIFY2(otherCom > 0, qPrintable(other.banner()));

    // Out again; Close ends the waiting.
    QVERIFY(sim.ToggleCable());
    QTRY_VERIFY(conn.Reconnecting());
    QVERIFY(close->isEnabled());
    close->click();
    QVERIFY(!conn.Reconnecting());
    QVERIFY(!close->isEnabled());
    QCOMPARE(form.StatusNote("ReconnectLabel"), "Reconnect to " + port + " stopped");

    // On another port the note of the one left behind goes.
    auto *ports = form.findChild<QComboBox *>("PortComboBox");
    QVERIFY(ports);
    const int entry = ports->findText(QString("COM%1").arg(otherCom));
    QVERIFY2(entry >= 0, qPrintable(QString::number(otherCom)));
    ports->setCurrentIndex(entry);
    Q_EMIT ports->activated(entry);
    QCOMPARE(conn.VaComm().PortNum(), otherCom);
    QCOMPARE(form.StatusNote("ReconnectLabel"), QString());
}

QTEST_MAIN(tst_reconnect)
#include "tst_reconnect.moc"
