#include "links/ComPorts.h"
#include "shell/Commainform.h"
#include "firmware/Upload.h"
#include "shell/About.h"
#include "shell/TerminalView.h"

#include <QTextBrowser>
#include "tests/TestHelpers.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QToolButton>
#include <QtTest>

namespace {

using StartEnv = StartDirectoryEnv;

QString hint(TMainForm &form, const char *button)
{
    return form.findChild<QToolButton *>(button)->toolTip();
}

bool shown(TMainForm &form, const char *name)
{
    // The toolbar shows and hides its buttons through their actions.
    if (auto *action = qobject_cast<QAction *>(
            form.findChild<QWidget *>(name)->property("toolbarAction").value<QObject *>()))
        return action->isVisible();
    return form.findChild<QWidget *>(name)->isVisibleTo(&form);
}

bool testEntryVisible(TMainForm &form)
{
    return form.findChild<QAction *>("TestAndAnalysisItem")->isVisible();
}

QString activate(TMainForm &form)
{
    ModalAnswerer answer;
    form.MainFormActivate();
    return answer.allTexts().join("|");
}

} // namespace

class tst_mainform : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStartWithoutSettings();
    void expertWithPortSelected();
    void configFileAtStartup_data();
    void configFileAtStartup();
    void configFileStatusText_data();
    void configFileStatusText();
    void interfaceHints_data();
    void interfaceHints();
    void laterActivationsDoNothing();
    void beginnerKeysDoNothing();
    void escapeTogglesCommandLine();
    void enterSendsCommandAndKeepsHistory();
    void keysReachTheWindowFirst();
    void overlappingKeysCountOnce_data();
    void overlappingKeysCountOnce();
    void statusPanelsShowTheirLongestTexts();
    void firstActivationRunsFromTheEventLoop();
    void servicesStatusListAndCursor();
    void savedTerminalEndsLinesWithCrLf();
    void helpAndAbout();
    void usbBridgeFound();
    void bootloadOpensUpdateDialog();
    void failedPortChangeKeepsSettings();
};

void tst_mainform::firstStartWithoutSettings()
{
    StartEnv env;
    TMainForm form;
    QCOMPARE(activate(form), QString("Error opening 'mirto.ini'"));
    QVERIFY(!testEntryVisible(form));
    QVERIFY(!shown(form, "TestToolButton"));
    QVERIFY(shown(form, "PortComboBox"));
    QVERIFY(shown(form, "ComportLabel"));
    QVERIFY(!shown(form, "CommandEdit"));
    QCOMPARE(form.findChild<QComboBox *>("PortComboBox")->currentIndex(), -1);
    QCOMPARE(hint(form, "OpenConToolButton"), QString("Open Connection ( )"));
    QCOMPARE(hint(form, "CloseConToolButton"), QString("Close Connection ( )"));
    QCOMPARE(form.StatusPanelText(0), QString("  No Configuration File loaded"));
    QCOMPARE(form.StatusPanelText(1), QString());
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QVERIFY(form.findChild<QToolButton *>("OpenConToolButton")->isEnabled());
    QVERIFY(!form.findChild<QToolButton *>("CloseConToolButton")->isEnabled());
    QCOMPARE(form.findChild<QComboBox *>("StatusComboBox")->itemText(0),
             QString("Unable to open ini-file"));
    QCOMPARE(form.UserLevel, 0);
    QCOMPARE(form.VaComm().PortNum(), 0);
}

void tst_mainform::expertWithPortSelected()
{
    StartEnv env;
    PtyDevice a, b;
    QCOMPARE(a.registerAs(3), 3);
    QCOMPARE(b.registerAs(12), 12);
    env.writeIni("[Port]=COM12\r\n[User]=expert\r\n[Interface]=serial\r\n");
    TMainForm form;
    QCOMPARE(activate(form), QString());
    QVERIFY(testEntryVisible(form));
    QVERIFY(shown(form, "TestToolButton"));
    QCOMPARE(form.StatusPanelText(1), QString(" Press 'ESC' to enter direct commands"));
    auto *ports = form.findChild<QComboBox *>("PortComboBox");
    QVERIFY(ports->findText("COM3") >= 0);
    QVERIFY(ports->findText("COM12") < ports->findText("COM3")); // sorted as text
    QCOMPARE(ports->currentText(), QString("COM12"));
    QCOMPARE(hint(form, "OpenConToolButton"), QString("Open Connection ( COM12)"));
    QCOMPARE(hint(form, "CloseConToolButton"), QString("Close Connection ( COM12)"));
}

void tst_mainform::configFileAtStartup_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("message");
    const QString none = "  No Configuration File loaded";
    const QString forty = QString(36, 'f') + ".cfg";
    const QString fortyOne = QString(37, 'g') + ".cfg";
    QTest::newRow("5 characters: neither loaded nor reported") << "a.cfg" << true << none << "";
    QTest::newRow("40 characters: shown whole")
        << forty << true << "  Config File: " + forty << "";
    QTest::newRow("41 characters: shortened")
        << fortyOne << true << "  Config File: ..." + fortyOne << "";
    QTest::newRow("missing") << "missing.cfg" << false << none
                             << "Error opening configuration file\r\nmissing.cfg";
}

void tst_mainform::configFileAtStartup()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    QFETCH(QString, panel);
    QFETCH(QString, message);
    StartEnv env;
    if (exists)
        env.writeFile(name, "[Type]=E\r\n");
    env.writeIni("[Configfile]=" + name.toLatin1() + "\r\n");
    TMainForm form;
    QCOMPARE(activate(form), message);
    QCOMPARE(form.StatusPanelText(0), panel);
    QCOMPARE(form.ConfigLoaded, panel != "  No Configuration File loaded");
}

void tst_mainform::configFileStatusText_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    const QString p40 = "/" + QString(39, 'a');
    const QString p41 = "/" + QString(40, 'b');
    const QString p60 = "/" + QString(19, 'c') + "/" + QString(40, 'd');
    QTest::newRow("40") << p40 << "  Config File: " + p40;
    QTest::newRow("41") << p41 << "  Config File: ..." + p41;
    QTest::newRow("60") << p60 << "  Config File: ..." + p60.right(41);
}

void tst_mainform::configFileStatusText()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(TMainForm::ConfigFileStatusText(path), expected);
}

void tst_mainform::interfaceHints_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("openHint");
    QTest::addColumn<QString>("closeHint");
    QTest::addColumn<bool>("portListShown");
    QTest::addColumn<int>("interfaceType");
    QTest::newRow("network") << QByteArray("[Interface]=network\r\n") << ""
                             << "Open Network Connection" << "Close Network Connection"
                             << false << int(InterfaceNetwork);
    // No bridge on the test machine: fall back to the port list.
    QTest::newRow("usb not found")
        << QByteArray("[Interface]=usb\r\n")
        << "Automatic detection of ComPort failed....\n\nPlease select your Comport from the list"
        << "Open Comport" << "Close Comport" << true << int(InterfaceSerial);
}

void tst_mainform::interfaceHints()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, message);
    QFETCH(QString, openHint);
    QFETCH(QString, closeHint);
    QFETCH(bool, portListShown);
    QFETCH(int, interfaceType);
    StartEnv env;
    env.writeIni(ini);
    TMainForm form;
    form.UsbSysfsRoot = env.filePath("sys"); // an empty system: no bridge
    QCOMPARE(activate(form), message);
    QCOMPARE(hint(form, "OpenConToolButton"), openHint);
    QCOMPARE(hint(form, "CloseConToolButton"), closeHint);
    QCOMPARE(shown(form, "PortComboBox"), portListShown);
    QCOMPARE(form.InterfaceType, interfaceType);
    QCOMPARE(form.findChild<QComboBox *>("PortComboBox")->currentIndex(), -1);
}

void tst_mainform::laterActivationsDoNothing()
{
    StartEnv env;
    env.writeIni("[User]=beginner\r\n");
    TMainForm form;
    activate(form);
    env.writeIni("[User]=expert\r\n");
    QCOMPARE(activate(form), QString());
    QCOMPARE(form.UserLevel, 0);
}

void tst_mainform::beginnerKeysDoNothing()
{
    StartEnv env;
    env.writeIni("[User]=beginner\r\n");
    TMainForm form;
    activate(form);
    form.MainFormKeyPress(Qt::Key_Escape);
    QVERIFY(!shown(form, "CommandEdit"));
    QCOMPARE(form.StatusPanelText(1), QString());
    ModalAnswerer answer;
    form.MainFormKeyPress(Qt::Key_Return);
    QVERIFY(!answer.seen()); // no connection attempt
    QCOMPARE(form.findChild<QComboBox *>("CommandEdit")->count(), 0);
}

void tst_mainform::escapeTogglesCommandLine()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    activate(form);
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    edit->setEditText("stale");
    form.MainFormKeyPress(Qt::Key_Escape);
    QVERIFY(shown(form, "CommandEdit"));
    QCOMPARE(edit->currentText(), QString());
    QCOMPARE(form.StatusPanelText(1), QString("Type 'help' for a list of commands"));
    form.MainFormKeyPress(Qt::Key_Escape);
    QVERIFY(!shown(form, "CommandEdit"));
    QCOMPARE(form.StatusPanelText(1), QString(" Press 'ESC' to enter direct commands"));
}

void tst_mainform::enterSendsCommandAndKeepsHistory()
{
    StartEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n[User]=expert\r\n").arg(sim.comPort()).toLatin1());
    TMainForm form;
    QCOMPARE(activate(form), QString());
    form.MainFormKeyPress(Qt::Key_Escape);
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    edit->setEditText("help");
    form.MainFormKeyPress(Qt::Key_Return);
    QVERIFY(form.Connection().IsConnected());
    QVERIFY2(form.StatusPanelText(2).startsWith(" SN: ["), qPrintable(form.StatusPanelText(2)));
    QCOMPARE(edit->currentText(), QString());
    QCOMPARE(edit->itemText(0), QString("help"));
    QTRY_VERIFY(form.Memo()->Text().count('>') >= 3); // snum, ver, help
    // An empty line sends "\n" alone and still enters the history.
    form.MainFormKeyPress(Qt::Key_Enter);
    QCOMPARE(edit->count(), 2);
    QCOMPARE(edit->itemText(0), QString());
    QTRY_VERIFY(form.Memo()->Text().count('>') >= 4);
}

void tst_mainform::keysReachTheWindowFirst()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QVERIFY(!form.FirstActivation);
    form.Memo()->setFocus();
    QTRY_VERIFY(form.Memo()->hasFocus());
    QTest::keyClick(form.Memo(), Qt::Key_Escape);
    QVERIFY(form.findChild<QWidget *>("CommandEdit")->isVisible());
    QTest::keyClick(form.findChild<QWidget *>("CommandEdit"), Qt::Key_Escape);
    QVERIFY(!form.findChild<QWidget *>("CommandEdit")->isVisible());
    form.Memo()->setFocus();
    QTRY_VERIFY(form.Memo()->hasFocus());
    QTest::keyClick(form.Memo(), Qt::Key_Escape);
    QVERIFY(form.findChild<QWidget *>("CommandEdit")->isVisible());
    // With the command line shown, Enter counts whichever control has the focus.
    form.Memo()->setFocus();
    QTRY_VERIFY(form.Memo()->hasFocus());
    ModalAnswerer answer; // no port selected: the open fails with its message
    QTest::keyClick(form.Memo(), Qt::Key_Return);
    QVERIFY2(answer.text().startsWith("Error opening Comport: 0\n\nIs the serial cable connected to COM0?"),
             qPrintable(answer.text()));
    QCOMPARE(form.findChild<QComboBox *>("CommandEdit")->count(), 1);
}

void tst_mainform::overlappingKeysCountOnce_data()
{
    QTest::addColumn<bool>("commandLineShown");
    QTest::addColumn<int>("secondKey");
    // Typed "help" and pressed Enter before letting go of "p": sent.
    QTest::newRow("Enter while a letter is held") << true << int(Qt::Key_Return);
    // Escape while a letter is held still shows the command line.
    QTest::newRow("Escape while a letter is held") << false << int(Qt::Key_Escape);
}

void tst_mainform::overlappingKeysCountOnce()
{
    QFETCH(bool, commandLineShown);
    QFETCH(int, secondKey);
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    QWidget *typingInto = form.Memo();
    form.Memo()->setFocus();
    QTRY_VERIFY(form.Memo()->hasFocus());
    if (commandLineShown) {
        QTest::keyClick(form.Memo(), Qt::Key_Escape);
        QVERIFY(edit->isVisible());
        typingInto = edit;
    }
    typingInto->setFocus();
    QTRY_VERIFY(typingInto->hasFocus());
    QTest::keyPress(typingInto, Qt::Key_P);
    ModalAnswerer answer; // no port selected: sending fails with its message
    QTest::keyPress(typingInto, Qt::Key(secondKey));
    QTest::keyRelease(typingInto, Qt::Key_P);
    QTest::keyRelease(typingInto, Qt::Key(secondKey));
    if (commandLineShown) {
        QVERIFY2(answer.text().startsWith("Error opening Comport: 0"), qPrintable(answer.text()));
        QCOMPARE(edit->count(), 1);
    } else {
        QVERIFY(edit->isVisible());
        QCOMPARE(form.StatusPanelText(1), QString("Type 'help' for a list of commands"));
    }
}

void tst_mainform::statusPanelsShowTheirLongestTexts()
{
    StartEnv env;
    env.writeIni("[User]=beginner\r\n");
    TMainForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QStringList longest[4] = {
        {},
        {" Press 'ESC' to enter direct commands", "Type 'help' for a list of commands"},
        {" SN: [FFFFF]   SW: [4.0.1]", "Serial Number Not Available", " SN: [?????]   SW: [?????]"},
        {"  trying 255.255.255.255....", " Connect 255.255.255.255", "  Not Connected"},
    };
    for (int panel = 1; panel < 4; ++panel) {
        auto *label = form.findChild<QLabel *>(QString("StatusPanel%1").arg(panel));
        for (const QString &text : longest[panel]) {
            form.SetStatusPanel(panel, text);
            QVERIFY2(label->fontMetrics().horizontalAdvance(text) <= LabelTextRoom(*label),
                     qPrintable(text));
        }
    }
    // Every control a user can reach is named for screen readers.
    for (QWidget *widget : form.findChildren<QWidget *>()) {
        if (widget->focusPolicy() != Qt::NoFocus && widget->isVisibleTo(&form)
            && widget->window() == &form && !widget->inherits("QLineEdit"))
            QVERIFY2(!widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
    }
    // A long path loses its start, never the file's name, and shows whole as
    // the panel's hint.
    auto *panel0 = form.findChild<QLabel *>("StatusPanel0");
    const QString path = "/home/service/customers/north-wing/installations/2026/kitchen-radio.cfg";
    form.MakeConfigFileCurrent(path);
    const QString full = TMainForm::ConfigFileStatusText(path);
    QCOMPARE(form.StatusPanelText(0), full);
    QVERIFY(panel0->text().endsWith("kitchen-radio.cfg"));
    QVERIFY(panel0->fontMetrics().horizontalAdvance(panel0->text()) <= LabelTextRoom(*panel0));
    QCOMPARE(panel0->toolTip(), full);
    // Made current: loaded, and named in the settings for the next start.
    QVERIFY(form.ConfigLoaded);
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains(("[Configfile]=" + path + "\r\n").toLatin1()));
}

void tst_mainform::firstActivationRunsFromTheEventLoop()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    // Showing delivers its events at once; the start-up work, which may open
    // modal boxes, waits for the event loop.
    form.show();
    QVERIFY(form.FirstActivation);
    QTRY_VERIFY(!form.FirstActivation);
    QCOMPARE(form.StatusPanelText(1), QString(" Press 'ESC' to enter direct commands"));
}

void tst_mainform::servicesStatusListAndCursor()
{
    StartEnv env;
    TMainForm form;
    form.AddStatus("first");
    form.AddStatus("second");
    auto *list = form.findChild<QComboBox *>("StatusComboBox");
    QCOMPARE(list->itemText(0), QString("second"));
    QCOMPARE(list->currentIndex(), 0);
    QVERIFY(!list->isVisibleTo(&form));
    form.SetBusyCursor();
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    form.RestoreCursor();
    form.RestoreCursor();
    QVERIFY(!QGuiApplication::overrideCursor());
    // Busy twice (a second open while the first is still trying) and
    // restored once: the hourglass goes.
    form.SetBusyCursor();
    form.SetBusyCursor();
    form.RestoreCursor();
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_mainform::savedTerminalEndsLinesWithCrLf()
{
    StartEnv env;
    TMainForm form;
    form.Memo()->AppendText("Serialnumber : 1\r\nmode 3\n>");
    const QString path = env.filePath("term.txt");
    QCOMPARE(WriteTerminalFile(path, form.Memo()->Buffer()), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("Serialnumber : 1\r\nmode 3\r\n>\r\n"));
    QVERIFY(!WriteTerminalFile(env.filePath("no/such/dir/t.txt"), form.Memo()->Buffer()).isEmpty());
    // A disk that takes only part of it: the failure shows, the old file stays.
    form.Memo()->AppendText(QByteArray(200000, 'x'));
    {
        FileSizeLimit limit(100000);
        QVERIFY(!WriteTerminalFile(path, form.Memo()->Buffer()).isEmpty());
    }
    QVERIFY(f.seek(0));
    QCOMPARE(f.readAll(), QByteArray("Serialnumber : 1\r\nmode 3\r\n>\r\n"));
}

void tst_mainform::helpAndAbout()
{
    StartEnv env;
    TMainForm form;
    form.HelpToolButtonClick();
    auto *browser = form.findChild<QTextBrowser *>("HelpBrowser");
    QVERIFY(browser);
    QVERIFY(browser->isVisible());
    QVERIFY(browser->toPlainText().contains("Mirto Terminal")); // the copy shipped with the tool
    env.writeFile("MirtoHelp.hlp", "<h1>Local help</h1>");
    TMainForm local;
    local.HelpToolButtonClick();
    QCOMPARE(local.findChild<QTextBrowser *>("HelpBrowser")->toPlainText(), QString("Local help"));

    TAboutForm about;
    QCOMPARE(about.windowTitle(), QString("About Mirto Terminal"));
    QCOMPARE(about.findChild<QLabel *>("ProductName")->text(), QString("Mirto Terminal"));
    QCOMPARE(about.findChild<QLabel *>("Version")->text(),
             QString("Version 4.0   build 14  (jan 2007)"));
}

void tst_mainform::usbBridgeFound()
{
    StartEnv env;
    // A bridge of the tool's kind as the system records it: interface 0 of the
    // USB device with its identifiers and serial number, and its tty.
    const QString device = env.filePath("sys/devices/usb1/1-1");
    const QString iface = device + "/1-1:1.0";
    QVERIFY(QDir().mkpath(iface + "/ttyUSB0"));
    env.writeFile("sys/devices/usb1/1-1/idVendor", "10c4\n");
    env.writeFile("sys/devices/usb1/1-1/idProduct", "ea60\n");
    env.writeFile("sys/devices/usb1/1-1/serial", "0001\n");
    env.writeFile("sys/devices/usb1/1-1/1-1:1.0/bInterfaceNumber", "00\n");
    QVERIFY(QDir().mkpath(env.filePath("sys/class/tty/ttyUSB0")));
    QVERIFY(QFile::link(iface + "/ttyUSB0", env.filePath("sys/class/tty/ttyUSB0/device")));
    QVERIFY(QDir().mkpath(env.filePath("dev")));
    env.writeFile("dev/ttyUSB0", "");

    env.writeIni("[Interface]=usb\r\n");
    TMainForm form;
    form.UsbSysfsRoot = env.filePath("sys");
    form.UsbDevRoot = env.filePath("dev");
    QCOMPARE(activate(form), QString());
    QCOMPARE(form.InterfaceType, int(InterfaceUsb));
    // The bridge got a number of its own in the ports folder.
    QVERIFY(form.VaComm().PortNum() > 0);
    QCOMPARE(ComPortTarget(form.VaComm().PortNum()), env.filePath("dev/ttyUSB0"));
    QCOMPARE(hint(form, "OpenConToolButton"), QString("Open USB Connection"));
    QCOMPARE(hint(form, "CloseConToolButton"), QString("Close USB Connection"));
    QVERIFY(!shown(form, "PortComboBox"));
}

void tst_mainform::bootloadOpensUpdateDialog()
{
    StartEnv env;
    env.writeIni("[Bootload]=yes\r\n[Interface]=network\r\n");
    TMainForm form;
    TUploadForm upload(form.Boot(), form.Settings(), nullptr, &form);
    form.SetDialogs(nullptr, nullptr, &upload, nullptr);
    QString hintWhenShown;
    QTimer::singleShot(0, &upload, [&] {
        hintWhenShown = hint(form, "OpenConToolButton");
        upload.reject();
    });
    QCOMPARE(activate(form), QString());
    QCOMPARE(hintWhenShown, QString("Open Network Connection"));
}

void tst_mainform::failedPortChangeKeepsSettings()
{
    StartEnv env;
    PtyDevice device;
    const int n = device.registerAs(5);
    TMainForm form;
    auto *ports = form.findChild<QComboBox *>("PortComboBox");
    const int index = ports->findText("COM5");
    QVERIFY(index >= 0);
    device.hangUp();
    QFile::remove(ComPortFolder() + "/COM5");
    QVERIFY(QFile::link(env.filePath("gone"), ComPortFolder() + "/COM5"));
    ModalAnswerer answer;
    form.PortComboBoxChange(index);
    QCOMPARE(answer.text(), QString("Specified device not found (COM%1).").arg(n));
    QCOMPARE(hint(form, "OpenConToolButton"), QString("Open Comport"));
    QVERIFY(!QFile::exists(env.filePath("mirto.ini")));
    QVERIFY(!form.VaComm().Active());
}

QTEST_MAIN(tst_mainform)
#include "tst_mainform.moc"
