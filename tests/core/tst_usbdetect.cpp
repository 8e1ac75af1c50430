#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr quint16 BridgeVendor = 0x10C4;
constexpr quint16 BridgeProduct = 0xEA60;

// How the kernel hangs a tty below a USB device.
enum class Layout {
    UsbSerial,   // usb-serial drivers: interface / port device / tty
    Acm,         // cdc-acm: the tty's device is the interface itself
    NoInterface, // a tty whose device is the USB device (no interface between)
};

struct Bridge {
    QString vendor = QStringLiteral("10c4");
    QString product = QStringLiteral("ea60");
    QString serial = QStringLiteral("0001"); // null: the device has no serial file
    int interfaceNumber = 0;
    Layout layout = Layout::UsbSerial;
};

// A small copy of /sys, /dev and a ports folder. Links are relative, as the
// kernel makes them, so that the lookup has to resolve them itself. There is
// always some noise: a platform serial port that already holds COM1, and a
// virtual terminal without a device.
class FakeSystem {
public:
    FakeSystem()
    {
        QDir().mkpath(sysfs() + "/class/tty");
        QDir().mkpath(dev());
        addFile(dev() + "/ttyS0");
        addFile(dev() + "/tty0");
        const QString platform = sysfs() + "/devices/platform/serial8250";
        addClassTty("ttyS0", platform + "/tty/ttyS0", platform);
        addClassTty("tty0", sysfs() + "/devices/virtual/tty/tty0", {});
        QDir().mkpath(ports());
        QFile::link(dev() + "/ttyS0", ports() + "/COM1");
    }

    bool isValid() const { return m_dir.isValid(); }
    QString sysfs() const { return m_dir.filePath("sys"); }
    QString dev() const { return m_dir.filePath("dev"); }
    QString ports() const { return m_dir.filePath("ports"); }
    QString node(const QString &tty) const { return dev() + "/" + tty; }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Adds the bridge as USB device 1-`hubPort` with one tty and its /dev node.
    void addBridge(const QString &tty, const Bridge &b, int hubPort = 1)
    {
        const QString hub = sysfs() + "/devices/pci0000:00/0000:00:14.0/usb1";
        writeAttribute(hub, "idVendor", "1d6b");
        writeAttribute(hub, "idProduct", "0002");
        writeAttribute(hub, "serial", "0000:00:14.0");
        const QString busPort = QStringLiteral("1-%1").arg(hubPort);
        const QString device = hub + "/" + busPort;
        writeAttribute(device, "idVendor", b.vendor);
        writeAttribute(device, "idProduct", b.product);
        if (!b.serial.isNull())
            writeAttribute(device, "serial", b.serial);
        const QString interface = device + "/" + busPort + ":1.0";
        writeAttribute(interface, "bInterfaceNumber",
                       QStringLiteral("%1").arg(b.interfaceNumber, 2, 16, QLatin1Char('0')));
        switch (b.layout) {
        case Layout::UsbSerial:
            addClassTty(tty, interface + "/" + tty + "/tty/" + tty, interface + "/" + tty);
            break;
        case Layout::Acm:
            addClassTty(tty, interface + "/tty/" + tty, interface);
            break;
        case Layout::NoInterface:
            addClassTty(tty, device + "/tty/" + tty, device);
            break;
        }
        addFile(node(tty));
    }

    void linkPort(int number, const QString &target)
    {
        QVERIFY(QFile::link(target, ports() + QStringLiteral("/COM%1").arg(number)));
    }

    QStringList portEntries() const
    {
        return QDir(ports()).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                                       QDir::Name);
    }

    int find(const QString &serial = QStringLiteral("0001")) const
    {
        return FindUsbPort(sysfs(), BridgeVendor, BridgeProduct, serial, ports(), dev());
    }

    static void addFile(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

private:
    static void writeAttribute(const QString &dir, const QString &name, const QString &value)
    {
        QDir().mkpath(dir);
        QFile file(dir + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(value.toLatin1() + '\n');
    }

    static void relativeLink(const QString &target, const QString &link)
    {
        const QString relative = QDir(QFileInfo(link).path()).relativeFilePath(target);
        QVERIFY(QFile::link(relative, link));
    }

    // /sys/class/tty/<tty> -> the tty's directory, whose `device` leads to
    // `deviceDir` (none when empty).
    void addClassTty(const QString &tty, const QString &ttyDir, const QString &deviceDir)
    {
        QDir().mkpath(ttyDir);
        if (!deviceDir.isEmpty())
            relativeLink(deviceDir, ttyDir + "/device");
        relativeLink(ttyDir, sysfs() + "/class/tty/" + tty);
    }

    QTemporaryDir m_dir;
};

} // namespace

Q_DECLARE_METATYPE(Layout)

class tst_usbdetect : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findsBridge_data();
    void findsBridge();
    void nothingToSearch_data();
    void nothingToSearch();
    void bridgeWithoutNode();
    void portsFolderNotWritable();
    void stableNameIsLinked();
    void severalBridges_data();
    void severalBridges();
};

void tst_usbdetect::findsBridge_data()
{
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("deviceSerial");
    QTest::addColumn<int>("interfaceNumber");
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<int>("existing");
    QTest::addColumn<QString>("wantedSerial");
    QTest::addColumn<int>("expected");

    const QString v = "10c4", p = "ea60", s = "0001";
    const Layout serial = Layout::UsbSerial;
    // COM1 is the platform port's, so a new number is 2.
    QTest::newRow("linked as COM7") << v << p << s << 0 << serial << 7 << s << 7;
    QTest::newRow("linked as COM12") << v << p << s << 0 << serial << 12 << s << 12;
    QTest::newRow("not linked: lowest free") << v << p << s << 0 << serial << 0 << s << 2;
    QTest::newRow("cdc-acm layout") << v << p << s << 0 << Layout::Acm << 0 << s << 2;
    QTest::newRow("identifiers in capitals") << "10C4" << "EA60" << s << 0 << serial << 0 << s << 2;
    QTest::newRow("other vendor") << "0403" << p << s << 0 << serial << 0 << s << -1;
    QTest::newRow("other product") << v << "6001" << s << 0 << serial << 0 << s << -1;
    QTest::newRow("interface 1") << v << p << s << 1 << serial << 0 << s << -1;
    QTest::newRow("interface 1, linked") << v << p << s << 1 << serial << 7 << s << -1;
    QTest::newRow("tty without interface") << v << p << s << 0 << Layout::NoInterface << 0 << s
                                           << -1;
    QTest::newRow("blanks on the device") << v << p << "00 01" << 0 << serial << 0 << "00_01" << 2;
    QTest::newRow("blanks asked for") << v << p << "00_01" << 0 << serial << 0 << "00 01" << 2;
    QTest::newRow("serial in other case") << v << p << "abc1" << 0 << serial << 0 << "ABC1" << 2;
    QTest::newRow("other serial") << v << p << "0002" << 0 << serial << 0 << s << -1;
    QTest::newRow("serial is a prefix") << v << p << "00012" << 0 << serial << 0 << s << -1;
    QTest::newRow("device without serial") << v << p << QString() << 0 << serial << 0 << s << -1;
}

void tst_usbdetect::findsBridge()
{
    QFETCH(QString, vendor);
    QFETCH(QString, product);
    QFETCH(QString, deviceSerial);
    QFETCH(int, interfaceNumber);
    QFETCH(Layout, layout);
    QFETCH(int, existing);
    QFETCH(QString, wantedSerial);
    QFETCH(int, expected);

    FakeSystem sys;
    QVERIFY(sys.isValid());
    sys.addBridge("ttyUSB0", {vendor, product, deviceSerial, interfaceNumber, layout});
    if (existing > 0)
        sys.linkPort(existing, sys.node("ttyUSB0"));
    const QStringList before = sys.portEntries();

    QCOMPARE(sys.find(wantedSerial), expected);
    if (expected > 0) {
        QCOMPARE(FindComPortFor(sys.ports(), sys.node("ttyUSB0")), expected);
        // The next run finds the same number and adds nothing.
        const QStringList after = sys.portEntries();
        QCOMPARE(sys.find(wantedSerial), expected);
        QCOMPARE(sys.portEntries(), after);
    } else {
        QCOMPARE(sys.portEntries(), before);
    }
}

void tst_usbdetect::nothingToSearch_data()
{
    QTest::addColumn<QString>("sysfs");
    QTest::newRow("no tty devices") << "sys";
    QTest::newRow("no tty class") << "emptysys";
    QTest::newRow("no sysfs at all") << "nosuchdir";
}

void tst_usbdetect::nothingToSearch()
{
    QFETCH(QString, sysfs);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir().mkpath(dir.filePath("sys/class/tty"));
    QDir().mkpath(dir.filePath("emptysys"));
    QDir().mkpath(dir.filePath("dev"));
    const QString ports = dir.filePath("ports");
    QCOMPARE(FindUsbPort(dir.filePath(sysfs), BridgeVendor, BridgeProduct, "0001", ports,
                         dir.filePath("dev")),
             -1);
    QVERIFY(!QFileInfo::exists(ports));
}

void tst_usbdetect::bridgeWithoutNode()
{
    // The kernel knows the bridge but its node is gone (or not made yet): a
    // number for it could not be opened.
    FakeSystem sys;
    sys.addBridge("ttyUSB0", {});
    QVERIFY(QFile::remove(sys.node("ttyUSB0")));
    QCOMPARE(sys.find(), -1);
    QCOMPARE(sys.portEntries(), QStringList({"COM1"}));
}

void tst_usbdetect::portsFolderNotWritable()
{
    FakeSystem sys;
    sys.addBridge("ttyUSB0", {});
    FakeSystem::addFile(sys.path("plainfile"));
    QCOMPARE(FindUsbPort(sys.sysfs(), BridgeVendor, BridgeProduct, "0001",
                         sys.path("plainfile/ports"), sys.dev()),
             -1);
}

void tst_usbdetect::stableNameIsLinked()
{
    FakeSystem sys;
    sys.addBridge("ttyUSB3", {});
    const QString byId = sys.dev() + "/serial/by-id";
    QDir().mkpath(byId);
    // udev's other links must not be taken for the bridge's.
    QVERIFY(QFile::link(sys.dev() + "/ttyS0", byId + "/pci-serial-port0"));
    const QString stable = byId + "/usb-Bridge_0001-if00-port0";
    QVERIFY(QFile::link("../../ttyUSB3", stable));

    QCOMPARE(sys.find(), 2);
    QCOMPARE(QFileInfo(sys.ports() + "/COM2").symLinkTarget(), stable);
}

void tst_usbdetect::severalBridges_data()
{
    QTest::addColumn<QString>("linkedTty");
    QTest::addColumn<int>("expected");
    // Without numbers the one that came first gets one; a number given in an
    // earlier run is kept, whichever bridge holds it.
    QTest::newRow("none linked") << QString() << 2;
    QTest::newRow("later one linked") << "ttyUSB10" << 5;
    QTest::newRow("first one linked") << "ttyUSB2" << 5;
}

void tst_usbdetect::severalBridges()
{
    QFETCH(QString, linkedTty);
    QFETCH(int, expected);

    FakeSystem sys;
    sys.addBridge("ttyUSB10", {}, 1);
    sys.addBridge("ttyUSB2", {}, 2);
    if (!linkedTty.isEmpty())
        sys.linkPort(5, sys.node(linkedTty));

    QCOMPARE(sys.find(), expected);
    const QString winner = linkedTty.isEmpty() ? QStringLiteral("ttyUSB2") : linkedTty;
    QCOMPARE(FindComPortFor(sys.ports(), sys.node(winner)), expected);
    QCOMPARE(sys.portEntries().size(), 2);
}

QTEST_GUILESS_MAIN(tst_usbdetect)
#include "tst_usbdetect.moc"
