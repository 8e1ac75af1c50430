#include "core/CommandHistory.h"
#include "core/config/Programming.h"
#include "core/TerminalFile.h"
#include "core/links/ComPorts.h"
#include "desktop/Commainform.h"
#include "desktop/firmware/Upload.h"
#include "desktop/About.h"
#include "desktop/TerminalView.h"

#include <QTextBrowser>
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include "desktop/Advanced.h"
#include "desktop/config/Configure.h"
#include "desktop/EchoPort.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/Mnemonic.h"
#include "desktop/Preferences.h"
#include "desktop/WindowPlacement.h"

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QStatusBar>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QPushButton>
#include <QToolButton>
#include <QToolTip>
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

// Shows the window and waits until it has the keyboard.
void showActive(QWidget &window)
{
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

// The console's view of the link, scripted.
class FakePort : public CommandPort {
public:
    bool accept = true;
    QList<QByteArray> sent;
    bool IsConnected() const override { return true; }
    int Interface() const override { return InterfaceSerial; }
    void OpenConnection() override {}
    bool SendCommand(const QByteArray &text) override
    {
        if (accept)
            sent << text;
        return accept;
    }
    bool ExchangeCommand(const QByteArray &text) override { return SendCommand(text); }
    QByteArray Reply() const override { return {}; }
};

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
    void commandLineRefusesWhatCannotBeSent_data();
    void commandLineRefusesWhatCannotBeSent();
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
    void updateRefusedWhileAnExchangeWaits();
    void failedPortChangeKeepsSettings();
    void windowResizesAndRemembersItsPlace();
    void shortcuts_data();
    void shortcuts();
    void everyMenuEntryHasItsKey();
    void historyWalksBothWays();
    void typingAtTheTerminal_data();
    void typingAtTheTerminal();
    void screenReaderTexts();
    void messageBoxesSayWhatTheyAre();
    void consoleOpensBesideTheTerminal_data();
    void consoleOpensBesideTheTerminal();
    void consoleKeepsTheNewestLinesInView();
    void firstStartInConfigFolder_data();
    void firstStartInConfigFolder();
    void echoOfSentCommands_data();
    void echoOfSentCommands();
    void everyLineSentIsEchoed_data();
    void everyLineSentIsEchoed();
    void echoRemembered();
    void terminalLinesAndLog();
    void networkCommandWaitsForTheConnect_data();
    void networkCommandWaitsForTheConnect();
    void networkClosedByTheUserIsNoNews();
    void historyLastsAndSearchesBackwards();
    void historyKeepsEveryWindowsCommands_data();
    void historyKeepsEveryWindowsCommands();
    void commandFileStopsAtTheLineWithoutPrompt();
    void commandFileCheckedWholeBeforeSending_data();
    void commandFileCheckedWholeBeforeSending();
    void hexViewShowsWhatArrives();
};

namespace {

// Types `text` key by key, letters beyond ASCII included (keyClicks knows
// only ASCII keys).
void typeText(QWidget *widget, const QString &text)
{
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

} // namespace

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

void tst_mainform::firstStartInConfigFolder_data()
{
    QTest::addColumn<bool>("blocked");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty configuration folder") << false << QString();
    // Something is there that cannot be read: no first start, and the user
    // is told.
    QTest::newRow("unreadable settings") << true << QString("Error opening 'mirto.ini'");
}

// Started from the desktop menu, in the home folder: the settings go to the
// user's configuration folder, and a first start there is no fault.
void tst_mainform::firstStartInConfigFolder()
{
    QFETCH(bool, blocked);
    QFETCH(QString, shown);
    StartEnv env;
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/mirto";
    if (blocked)
        QVERIFY(QDir().mkpath(folder + "/mirto.ini"));
    TMainForm form;
    form.StartInConfigFolder();
    QCOMPARE(activate(form), shown);
    QCOMPARE(form.StartDirectory, folder);
    QVERIFY(!QFile::exists(env.filePath("mirto.ini")));
    if (blocked)
        return;
    QFile ini(folder + "/mirto.ini");
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), QByteArray("[Port]=\r\n[User]=beginner\r\n[Bootload]=no\r\n[Bootfile]=\r\n"
                                       "[UploadSpeed]=0\r\n[Configfile]=\r\n[Interface]=serial\r\n"
                                       "[TypeRestriction]=N\r\n"));
    ini.close();
    // The next start reads what the first one wrote.
    TMainForm again;
    again.StartInConfigFolder();
    QCOMPARE(activate(again), QString());
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
    QTest::addColumn<QByteArray>("content"); // null: no such file
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("message");
    const QString none = "  No Configuration File loaded";
    const QString forty = QString(36, 'f') + ".cfg";
    const QString fortyOne = QString(37, 'g') + ".cfg";
    const QByteArray some = "type=E\r\n";
    QTest::newRow("5 characters: neither loaded nor reported") << "a.cfg" << some << none << "";
    QTest::newRow("40 characters: shown whole")
        << forty << some << "  Config File: " + forty << "";
    QTest::newRow("41 characters: shortened")
        << fortyOne << some << "  Config File: ..." + fortyOne << "";
    QTest::newRow("missing") << "missing.cfg" << QByteArray() << none
                             << "Error opening configuration file\r\nmissing.cfg\r\n\r\n"
                                "There is no such file.";
    // The file named in the settings may have been replaced by anything.
    QTest::newRow("no line a setting")
        << "notes.cfg" << QByteArray("[Port]=COM1\r\nsome notes\r\n") << none
        << "Error opening configuration file\r\nnotes.cfg\r\n\r\n"
           "Not one of its lines is a setting (key=value): it is not a configuration file.";
    QTest::newRow("binary") << "image.cfg" << QByteArray("mode=3\r\n\0\x01\x02", 11) << none
                            << "Error opening configuration file\r\nimage.cfg\r\n\r\n"
                               "It holds bytes of value zero: it is a binary file, not a "
                               "configuration file.";
}

void tst_mainform::configFileAtStartup()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, panel);
    QFETCH(QString, message);
    StartEnv env;
    if (!content.isNull())
        env.writeFile(name, content);
    env.writeIni("[Configfile]=" + name.toLatin1() + "\r\n");
    TMainForm form;
    ModalAnswerer answer;
    form.MainFormActivate();
    QCOMPARE(answer.allTexts().join("|"), message);
    if (!message.isEmpty())
        QCOMPARE(answer.allIcons(), QList<int>{QMessageBox::Critical});
    QCOMPARE(form.StatusPanelText(0), panel);
    QCOMPARE(form.ConfigLoaded, panel != "  No Configuration File loaded");
    // A refused file is not forgotten: it stays named for the next start.
    QVERIFY(QFile(env.filePath("mirto.ini")).size() > 0);
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
    // The command shows in the terminal ahead of its answer, as does the
    // tool's own identification before it.
    form.findChild<QAction *>("EchoCommandsItem")->trigger();
    form.MainFormKeyPress(Qt::Key_Escape);
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    edit->setEditText("help");
    form.MainFormKeyPress(Qt::Key_Return);
    QVERIFY(form.Connection().IsConnected());
    QVERIFY2(form.StatusPanelText(2).startsWith(" SN: ["), qPrintable(form.StatusPanelText(2)));
    QCOMPARE(edit->currentText(), QString());
    QCOMPARE(edit->itemText(0), QString("help"));
    QTRY_VERIFY(form.Memo()->Text().count('>') >= 3); // snum, ver, help
    QTRY_VERIFY(form.Memo()->Text().contains("Commands:"));
    const QString text = form.Memo()->Text();
    QCOMPARE(text.count("--> "), 3);
    QVERIFY2(text.indexOf("\n--> help\n") < text.indexOf("Commands:"), qPrintable(text));
    // An empty line sends "\n" alone; there is nothing in it to recall.
    form.MainFormKeyPress(Qt::Key_Enter);
    QCOMPARE(edit->count(), 1);
    QCOMPARE(edit->itemText(0), QString("help"));
    QTRY_VERIFY(form.Memo()->Text().count('>') >= 4);
}

// A character the device cannot take is not dropped without a word, nor
// sent changed: typed, it stays out and the field says why, as the
// configuration's fields do; recalled from an older history, Enter sends
// nothing and says why.
void tst_mainform::commandLineRefusesWhatCannotBeSent_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("typed"); // else put there as a recalled command
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("reason");
    const QString euro = QStringLiteral("\"\u20ac\" (U+20AC) is not a single-byte (Latin-1) character; Mirto cannot "
                                        "take it");
    QTest::newRow("euro typed") << QStringLiteral("channel 1 0 \u20acuro") << true << QStringLiteral("channel 1 0 uro")
                                << euro;
    // It would end the wait for the answer early.
    QTest::newRow("prompt mark typed") << QStringLiteral("isp 7 a>b") << true << QStringLiteral("isp 7 ab")
                                       << PromptMarkReason();
    QTest::newRow("euro recalled") << QStringLiteral("channel 1 0 \u20acuro") << false
                                   << QStringLiteral("channel 1 0 \u20acuro") << euro;
}

void tst_mainform::commandLineRefusesWhatCannotBeSent()
{
    QFETCH(QString, text);
    QFETCH(bool, typed);
    QFETCH(QString, left);
    QFETCH(QString, reason);
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    activate(form);
    form.MainFormKeyPress(Qt::Key_Escape);
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    QToolTip::hideText();
    if (typed)
        typeText(edit->lineEdit(), text);
    else
        edit->setEditText(text);
    QCOMPARE(edit->currentText(), left);
    if (typed) {
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), reason);
        return;
    }
    ModalAnswerer answer;
    form.MainFormKeyPress(Qt::Key_Return);
    QVERIFY(!answer.seen()); // no connection attempt: nothing to send
    QCOMPARE(edit->currentText(), left);
    QCOMPARE(edit->count(), 0);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), reason);
    QToolTip::hideText();
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
    // Sent, but an empty command is not kept to recall.
    QCOMPARE(form.findChild<QComboBox *>("CommandEdit")->count(), 0);
}

void tst_mainform::overlappingKeysCountOnce_data()
{
    QTest::addColumn<bool>("commandLineShown");
    QTest::addColumn<int>("secondKey");
    // Typed "help" and pressed Enter before letting go of "p": sent.
    QTest::newRow("Enter while a letter is held") << true << int(Qt::Key_Return);
    // A letter typed at the terminal opens the command line; Escape while
    // the letter is still held closes it again.
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
        QVERIFY(!edit->isVisible());
        QCOMPARE(form.StatusPanelText(1), QString(" Press 'ESC' to enter direct commands"));
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
    // A long path loses its start, never the panel's label, and shows whole
    // as the panel's hint.
    auto *panel0 = form.findChild<QLabel *>("StatusPanel0");
    const QString path = "/home/service/customers/north-wing/installations/2026/kitchen-radio.cfg";
    form.MakeConfigFileCurrent(path);
    const QString full = TMainForm::ConfigFileStatusText(path);
    QCOMPARE(form.StatusPanelText(0), full);
    QVERIFY2(panel0->text().startsWith("  Config File: ..."), qPrintable(panel0->text()));
    QVERIFY2(panel0->text().endsWith(".cfg"), qPrintable(panel0->text()));
    QVERIFY(panel0->fontMetrics().horizontalAdvance(panel0->text()) <= LabelTextRoom(*panel0));
    QCOMPARE(panel0->toolTip(), full);
    // A wider window gives its room to panel 0: the other panels keep their
    // widths, and the whole text shows.
    QList<int> others;
    for (int panel = 1; panel < 4; ++panel)
        others << form.findChild<QLabel *>(QString("StatusPanel%1").arg(panel))->width();
    form.resize(form.width() + 400, form.height());
    QTRY_COMPARE(panel0->text(), full);
    QCOMPARE(panel0->toolTip(), QString());
    for (int panel = 1; panel < 4; ++panel)
        QCOMPARE(form.findChild<QLabel *>(QString("StatusPanel%1").arg(panel))->width(),
                 others.at(panel - 1));
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

// Update Firmware 200 ms into a slow exchange: the busy notice shows, the
// dialog does not open, and the exchange gets its answer on a port that
// stays open.
void tst_mainform::updateRefusedWhileAnExchangeWaits()
{
    StartEnv env;
    SimProcess sim({"--no-tcp", "--delay", "1000"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n").arg(sim.comPort()).toLatin1());
    TMainForm form;
    QCOMPARE(activate(form), QString());
    TUploadForm upload(form.Boot(), form.Settings(), nullptr, &form);
    form.SetDialogs(nullptr, nullptr, &upload, nullptr);
    form.Connection().OpenConnectionClicked(false);
    QVERIFY(form.Connection().IsConnected());

    bool dialogShown = false;
    QString notice;
    QTimer::singleShot(200, &form, [&] {
        // Should the dialog open after all, it is seen and closed again.
        QTimer::singleShot(100, &upload, [&] {
            dialogShown = dialogShown || upload.isVisible();
            if (upload.isVisible())
                upload.reject();
        });
        form.findChild<QAction *>("UpdateFirmwareItem")->trigger();
        dialogShown = dialogShown || upload.isVisible();
        for (QWidget *w : QApplication::allWidgets()) {
            if (w->objectName() == "BusyNotice" && w->isVisible())
                notice = static_cast<QMessageBox *>(w)->text();
        }
    });
    QVERIFY(form.ExchangeCommand("ver\n"));
    QVERIFY(form.Connection().Reply().contains("Mirto V:"));
    QVERIFY(!dialogShown);
    QVERIFY2(notice.startsWith("Mirto is busy with a command."), qPrintable(notice));
    QVERIFY(form.VaComm().Active());
    QVERIFY(form.Connection().IsConnected());
    for (QWidget *w : QApplication::allWidgets()) {
        if (w->objectName() == "BusyNotice")
            w->close();
    }
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

void tst_mainform::windowResizesAndRemembersItsPlace()
{
    StartEnv env;
    env.writeIni("[User]=beginner\r\n");
    QSize designed;
    {
        TMainForm form;
        showActive(form);
        designed = form.size();
        // The designed size is also the least: every control shows whole.
        QCOMPARE(form.minimumSize(), designed);
        // The terminal at its designed size, wider where the status bar's
        // panels need more room: the last one ends inside the window.
        const QSize memo = form.Memo()->size();
        QCOMPARE(memo.height(), 409);
        QVERIFY(memo.width() >= 780);
        auto *last = form.findChild<QLabel *>("StatusPanel3");
        QVERIFY(last->isVisible());
        QVERIFY(last->mapTo(&form, QPoint(last->width(), 0)).x() <= form.width());
        QVERIFY(form.maximumSize().width() > designed.width());
        // The terminal takes the room the window gains.
        form.resize(designed + QSize(120, 90));
        QTRY_COMPARE(form.Memo()->size(), memo + QSize(120, 90));
        form.close();
    }
    TMainForm again;
    QVERIFY(again.RestoreWindowPlacement());
    QCOMPARE(again.size(), designed + QSize(120, 90));
    // Kept apart from mirto.ini, in the user's own configuration folder.
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), QByteArray("[User]=beginner\r\n"));
    QVERIFY(QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") + "/mirto/mirto-terminal.conf"));

    // A window never made smaller than it can show itself.
    again.resize(200, 150);
    QCOMPARE(again.size(), designed);
}

void tst_mainform::shortcuts_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("effect");
    QTest::newRow("F1: help") << int(Qt::Key_F1) << int(Qt::NoModifier) << "help";
    QTest::newRow("Ctrl+S: save the terminal") << int(Qt::Key_S) << int(Qt::ControlModifier) << "save";
    QTest::newRow("Ctrl+Q: quit") << int(Qt::Key_Q) << int(Qt::ControlModifier) << "quit";
    QTest::newRow("Ctrl+L: clear") << int(Qt::Key_L) << int(Qt::ControlModifier) << "clear";
    QTest::newRow("Ctrl+D: clear") << int(Qt::Key_D) << int(Qt::ControlModifier) << "clear";
}

void tst_mainform::shortcuts()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, effect);
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    showActive(form);
    form.Memo()->AppendText("Serialnumber : 12345\r\n>");
    // Whichever control has the focus: the terminal or the command line.
    const QList<QWidget *> focusWidgets = {form.Memo(),
                                           form.findChild<QComboBox *>("CommandEdit")->lineEdit()};
    for (QWidget *focus : focusWidgets) {
        if (focus != form.Memo())
            QTest::keyClick(form.Memo(), Qt::Key_Escape);
        focus->setFocus();
        QTRY_VERIFY(focus->hasFocus());
        QString dialogTitle;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &watch, [&] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                dialogTitle = dialog->windowTitle();
                dialog->reject();
            }
        });
        watch.start(10);
        QTest::keyClick(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        if (effect == "help")
            QTRY_VERIFY(form.findChild<QTextBrowser *>("HelpBrowser")->isVisible());
        else if (effect == "save")
            QTRY_COMPARE(dialogTitle, QString("Save the contents of the response field"));
        else if (effect == "quit")
            QTRY_VERIFY(!form.isVisible());
        else
            QCOMPARE(form.Memo()->Text(), QString());
        if (effect == "quit")
            break;
        form.findChild<QWidget *>("HelpForm")->hide();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.Memo()->AppendText("more\r\n>");
    }
}

void tst_mainform::everyMenuEntryHasItsKey()
{
    StartEnv env;
    TMainForm form;
    QList<QChar> menuKeys;
    for (QAction *menuAction : form.menuBar()->actions()) {
        menuKeys << MnemonicOf(menuAction->text());
        QList<QChar> keys;
        for (QAction *entry : menuAction->menu()->actions()) {
            if (entry->isSeparator())
                continue;
            const QChar key = MnemonicOf(entry->text());
            QVERIFY2(!key.isNull(), qPrintable(entry->text()));
            QVERIFY2(!keys.contains(key), qPrintable(entry->text()));
            keys << key;
        }
    }
    QVERIFY(!menuKeys.contains(QChar()));
    QCOMPARE(QSet<QChar>(menuKeys.cbegin(), menuKeys.cend()).size(), menuKeys.size());
}

void tst_mainform::historyWalksBothWays()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    showActive(form);
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    QTest::keyClick(form.Memo(), Qt::Key_Escape);
    // Sent before, newest first; after a send no entry is shown.
    edit->addItems({"three", "two", "one"});
    edit->setCurrentIndex(-1);
    QTest::keyClicks(edit->lineEdit(), "dr");
    const struct {
        Qt::Key key;
        const char *shown;
    } walk[] = {
        {Qt::Key_Up, "three"}, {Qt::Key_Up, "two"},    {Qt::Key_Up, "one"},
        {Qt::Key_Up, "one"},   {Qt::Key_Down, "two"},  {Qt::Key_Down, "three"},
        {Qt::Key_Down, "dr"},  {Qt::Key_Down, "dr"},   {Qt::Key_Up, "three"},
    };
    for (const auto &step : walk) {
        QTest::keyClick(edit->lineEdit(), step.key);
        QCOMPARE(edit->currentText(), QString(step.shown));
        QVERIFY(edit->lineEdit()->hasFocus());
    }
    QCOMPARE(edit->count(), 3);

    QCOMPARE(CommandHistoryStep(-1, 0, true), -1); // no history: nothing to recall
}

void tst_mainform::typingAtTheTerminal_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("shownAfter");
    QTest::addColumn<QString>("commandText");
    const QByteArray expert = "[User]=expert\r\n";
    QTest::newRow("a letter opens the command line with it")
        << expert << false << int(Qt::Key_H) << int(Qt::NoModifier) << "h" << true << "h";
    QTest::newRow("a capital") << expert << false << int(Qt::Key_S) << int(Qt::ShiftModifier)
                               << "S" << true << "S";
    QTest::newRow("a digit") << expert << false << int(Qt::Key_5) << int(Qt::NoModifier) << "5"
                             << true << "5";
    // The focus came back to the terminal (from the find bar, a click):
    // typing still goes into the open command line.
    QTest::newRow("the command line already open takes the key")
        << expert << true << int(Qt::Key_H) << int(Qt::NoModifier) << "h" << true << "h";
    QTest::newRow("a shortcut stays a shortcut")
        << expert << false << int(Qt::Key_C) << int(Qt::ControlModifier) << "c" << false << "";
    QTest::newRow("a key without text") << expert << false << int(Qt::Key_PageUp)
                                        << int(Qt::NoModifier) << "" << false << "";
    QTest::newRow("beginners have no command line")
        << QByteArray("[User]=beginner\r\n") << false << int(Qt::Key_H) << int(Qt::NoModifier)
        << "h" << false << "";
}

void tst_mainform::typingAtTheTerminal()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, shownBefore);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(bool, shownAfter);
    QFETCH(QString, commandText);
    StartEnv env;
    env.writeIni(ini);
    TMainForm form;
    showActive(form);
    // Typing right after the start goes to the terminal, not to a toolbar button.
    QTRY_VERIFY(form.Memo()->hasFocus());
    auto *edit = form.findChild<QComboBox *>("CommandEdit");
    if (shownBefore)
        QTest::keyClick(form.Memo(), Qt::Key_Escape);
    form.Memo()->setFocus();
    QTRY_VERIFY(form.Memo()->hasFocus());
    QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
    QApplication::sendEvent(form.Memo(), &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::KeyboardModifiers(modifiers), text);
    QApplication::sendEvent(QApplication::focusWidget(), &release);
    QCOMPARE(edit->isVisible(), shownAfter);
    QCOMPARE(edit->currentText(), commandText);
    if (!shownAfter)
        return;
    QVERIFY(edit->lineEdit()->hasFocus());
    QCOMPARE(form.StatusPanelText(1), QString("Type 'help' for a list of commands"));
    // Typing goes on in the command line; Escape still hides it.
    QTest::keyClicks(QApplication::focusWidget(), "elp");
    QCOMPARE(edit->currentText(), commandText + "elp");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!edit->isVisible());
    // The terminal has the focus again, so the next key opens it again.
    QVERIFY(form.Memo()->hasFocus());
}

void tst_mainform::screenReaderTexts()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    showActive(form);
    // Each panel reads as its text; what it is, is its description.
    const QString meanings[4] = {"Configuration file", "Direct command hint",
                                 "Device identification", "Connection state"};
    for (int i = 0; i < 4; ++i) {
        QAccessibleInterface *panel = QAccessible::queryAccessibleInterface(
            form.findChild<QLabel *>(QString("StatusPanel%1").arg(i)));
        QVERIFY(panel);
        QCOMPARE(panel->text(QAccessible::Name), form.StatusPanelText(i).trimmed());
        QCOMPARE(panel->text(QAccessible::Description), meanings[i]);
    }
    QAccessibleInterface *identification =
        QAccessible::queryAccessibleInterface(form.findChild<QLabel *>("StatusPanel2"));
    form.SetStatusPanel(2, " SN: [12ABC]   SW: [4.0.1]");
    QCOMPARE(identification->text(QAccessible::Name), QString("SN: [12ABC]   SW: [4.0.1]"));
    QCOMPARE(QAccessible::queryAccessibleInterface(form.findChild<QLabel *>("StatusPanel3"))
                 ->text(QAccessible::Name),
             QString("Not Connected"));

    // The terminal: its text, line by line, and its newest line that says
    // something.
    form.Memo()->AppendText("Serialnumber : 12ABC\r\nMAC 02-00-00-01-2A-BC\r\n>");
    QAccessibleInterface *terminal = QAccessible::queryAccessibleInterface(form.Memo());
    QVERIFY(terminal);
    QCOMPARE(terminal->role(), QAccessible::Terminal);
    QCOMPARE(terminal->text(QAccessible::Name), QString("Terminal Window"));
    QCOMPARE(terminal->text(QAccessible::Value), QString("MAC 02-00-00-01-2A-BC"));
    QAccessibleTextInterface *text = terminal->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), int(form.Memo()->Text().size()));
    QCOMPARE(text->text(0, text->characterCount()), form.Memo()->Text());
    int start = 0, end = 0;
    QCOMPARE(text->textAtOffset(25, QAccessible::LineBoundary, &start, &end),
             QString("MAC 02-00-00-01-2A-BC\n"));
    QCOMPARE(start, 21);
    QCOMPARE(text->textBeforeOffset(25, QAccessible::LineBoundary, &start, &end),
             QString("Serialnumber : 12ABC\n"));
    // The lines on screen are where they show.
    const QRect first = text->characterRect(0);
    QVERIFY(form.Memo()->viewport()->rect().contains(
        form.Memo()->viewport()->mapFromGlobal(first.center())));
    QCOMPARE(text->offsetAtPoint(first.center()), 0);
    form.Memo()->AppendText("\r\nmode 3\r\n>");
    QCOMPARE(terminal->text(QAccessible::Value), QString("mode 3"));
}

void tst_mainform::messageBoxesSayWhatTheyAre()
{
    StartEnv env;
    QWidget parent;
    const QString shortText = "OK";
    const QString caption = "Program Mirto Configuration";
    struct Shown {
        int icon = -1;
        int width = 0;
        QString okText;
    } shown;
    QTimer watch;
    connect(&watch, &QTimer::timeout, &watch, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shown.icon = box->icon();
            shown.width = box->width();
            shown.okText = box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->text()
                                                        : QString();
            box->buttons().constFirst()->click();
        }
    });
    watch.start(10);
    ShowError(&parent, shortText, caption);
    QCOMPARE(shown.icon, int(QMessageBox::Critical));
    // A short message does not cut the caption.
    QVERIFY2(shown.width >= TitleBarRoom(caption), qPrintable(QString::number(shown.width)));
    QCOMPARE(shown.okText, QString("&OK"));
    ShowMessage(&parent, shortText);
    QCOMPARE(shown.icon, int(QMessageBox::Information));
    AskYesNo(&parent, "Overwrite existing File?");
    QCOMPARE(shown.icon, int(QMessageBox::Question));

    // What the connection tells is a failure: an open that fails shows the
    // error icon.
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    activate(form);
    watch.stop();
    ModalAnswerer answer;
    form.OpenConnectionClicked();
    QVERIFY2(answer.text().startsWith("Error opening Comport: 0"), qPrintable(answer.text()));
    QCOMPARE(answer.allIcons(), QList<int>{QMessageBox::Critical});
}

void tst_mainform::consoleOpensBesideTheTerminal_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("mainFrame");
    QTest::addColumn<QRect>("keepClear");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("expected");
    const QRect wide(0, 0, 1920, 1080);
    const QRect main(400, 200, 800, 560);
    const QRect newest(410, 600, 780, 150);
    const QSize console(560, 330);
    QTest::newRow("room at the right") << wide << main << newest << console << QPoint(1200, 200);
    QTest::newRow("room only at the left")
        << wide << QRect(1000, 200, 800, 560) << QRect(1010, 600, 780, 150) << console
        << QPoint(440, 200);
    QTest::newRow("room only below") << QRect(0, 0, 1000, 1200) << QRect(100, 50, 800, 560)
                                     << QRect(110, 450, 780, 150) << console << QPoint(100, 610);
    // 1024 x 768: no room anywhere beside; at the right, right under the
    // main window's title bar, clear of the newest lines.
    QTest::newRow("1024 x 768") << QRect(0, 0, 1024, 768) << QRect(115, 110, 794, 560)
                                << QRect(122, 480, 780, 180) << console << QPoint(464, 140);
    QTest::newRow("a little more room at the left")
        << QRect(0, 0, 1024, 768) << QRect(24, 40, 1000, 700) << QRect(31, 480, 980, 200)
        << console << QPoint(464, 70);
    // Too tall to stay above the newest lines: below them when that covers
    // less of them, else right under the title bar.
    QTest::newRow("tall console, room below the lines")
        << QRect(0, 0, 1024, 768) << QRect(115, 0, 794, 560) << QRect(122, 100, 780, 150)
        << QSize(560, 460) << QPoint(464, 250);
    QTest::newRow("tall console, less covered under the title bar")
        << QRect(0, 0, 1024, 768) << QRect(115, 0, 794, 560) << QRect(122, 400, 780, 180)
        << QSize(560, 460) << QPoint(464, 30);
    QTest::newRow("maximised main window")
        << QRect(0, 0, 1024, 768) << QRect(0, 0, 1024, 768) << QRect(7, 500, 1010, 200)
        << console << QPoint(464, 30);
    // Where the screen's top is free above the title bar, that is no place
    // for it either when it would reach down over the title bar.
    QTest::newRow("main window low on the screen")
        << QRect(0, 0, 1024, 768) << QRect(115, 200, 794, 560) << QRect(122, 600, 780, 150)
        << console << QPoint(464, 230);
    QTest::newRow("taller than the room under the title bar")
        << QRect(0, 0, 1024, 768) << QRect(0, 0, 1024, 768) << QRect(7, 500, 1010, 200)
        << QSize(560, 760) << QPoint(464, 30);
}

void tst_mainform::consoleOpensBesideTheTerminal()
{
    QFETCH(QRect, area);
    QFETCH(QRect, mainFrame);
    QFETCH(QRect, keepClear);
    QFETCH(QSize, size);
    QFETCH(QPoint, expected);
    // A title bar as tall as a usual window manager's.
    const QRect titleBar(mainFrame.topLeft(), QSize(mainFrame.width(), 30));
    const QPoint corner = PlaceBeside(area, mainFrame, titleBar, keepClear, size);
    QCOMPARE(corner, expected);
    QVERIFY2(!QRect(corner, size).intersects(titleBar), "covers the main window's title bar");
}

void tst_mainform::consoleKeepsTheNewestLinesInView()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    TMainForm form;
    FakePort port;
    TAdvancedForm console(port, &form);
    form.SetDialogs(nullptr, nullptr, nullptr, &console);
    showActive(form);
    QTest::keyClick(form.Memo(), Qt::Key_Escape); // the command line shows
    form.AdvancedClicked();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
    const QRect terminal(form.Memo()->mapToGlobal(QPoint(0, 0)), form.Memo()->size());
    const int lines = 8 * form.Memo()->fontMetrics().lineSpacing();
    const QRect newest(terminal.left(), terminal.bottom() - lines, terminal.width(), lines);
    const QRect commandLine(form.findChild<QComboBox *>("CommandEdit")->mapToGlobal(QPoint(0, 0)),
                            form.findChild<QComboBox *>("CommandEdit")->size());
    QVERIFY(!console.frameGeometry().intersects(newest));
    QVERIFY(!console.frameGeometry().intersects(commandLine));
    // Opened again, it stays where the user put it.
    console.move(console.pos() + QPoint(0, 5));
    const QPoint moved = console.pos();
    console.hide();
    form.AdvancedClicked();
    QCOMPARE(console.pos(), moved);
}

void tst_mainform::echoOfSentCommands_data()
{
    QTest::addColumn<QByteArray>("terminal");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("after the prompt: a line of its own")
        << QByteArray("Commands:\r\n>") << QByteArray("Commands:\n>\n--> help\n");
    QTest::newRow("at the start of a line") << QByteArray("text\r\n") << QByteArray("text\n--> help\n");
}

void tst_mainform::echoOfSentCommands()
{
    QFETCH(QByteArray, terminal);
    QFETCH(QByteArray, shown);
    TerminalView view;
    view.AppendText(terminal);
    CommandEcho echo([&](const QByteArray &t) { view.AppendText(t); },
                     [&] { return !view.Buffer().Line(view.LineCount() - 1).isEmpty(); });
    echo.Echo = true;
    echo.Sent("help\n");
    QCOMPARE(view.Text().toLatin1(), shown);
    // Switched off, lines go out unseen.
    echo.Echo = false;
    view.Clear();
    echo.Sent("ver\n");
    QCOMPARE(view.Text(), QString());
}

// With echo on, every line the tool sends shows ahead of its answer,
// whichever window sent it; the device's answers can be matched to them.
void tst_mainform::everyLineSentIsEchoed_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QStringList>("echoed"); // in this order
    QTest::newRow("typed command") << "typed" << QStringList{"snum", "ver", "help"};
    QTest::newRow("command file") << "file" << QStringList{"snum", "ver", "mode", "help"};
    QTest::newRow("test console") << "console" << QStringList{"snum", "ver", "mode"};
    QTest::newRow("programming") << "program" << QStringList{"snum", "ver", "mode 1", "mode"};
    QTest::newRow("identification") << "open" << QStringList{"snum", "ver"};
}

void tst_mainform::everyLineSentIsEchoed()
{
    QFETCH(QString, sender);
    QFETCH(QStringList, echoed);
    StartEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n[User]=expert\r\n").arg(sim.comPort()).toLatin1());
    TMainForm form;
    // The windows as the program makes them.
    auto *config = new TConfigForm(form.Commands(), form.ConfigHostPort(), nullptr, &form);
    auto *console = new TAdvancedForm(form.ConsolePort(), &form);
    form.SetDialogs(nullptr, config, nullptr, console);
    QCOMPARE(activate(form), QString());
    form.findChild<QAction *>("EchoCommandsItem")->trigger();
    ModalAnswerer answer;
    if (sender == "typed") {
        form.MainFormKeyPress(Qt::Key_Escape);
        form.findChild<QComboBox *>("CommandEdit")->setEditText("help");
        form.MainFormKeyPress(Qt::Key_Return);
    } else if (sender == "file") {
        QVERIFY(env.writeFile("session.txt", "# bring-up\nmode\nhelp\n"));
        form.SendCommandFile(env.filePath("session.txt"));
    } else if (sender == "console") {
        console->findChild<QPushButton *>("ModeButton")->click();
    } else if (sender == "program") {
        DeviceConfig.Mode.set("1");
        DeviceConfig.Type.set("T");
        config->findChild<QPushButton *>("Button2")->click();
        QTRY_COMPARE(answer.allTexts(), QStringList{"Programming OK"});
    } else {
        form.OpenConnectionClicked();
    }
    QVERIFY(form.Connection().IsConnected());
    // Every line's answer has come (the echo's mark is no prompt).
    const auto prompts = [&form] { return form.Memo()->Text().count('>') - form.Memo()->Text().count("--> "); };
    QTRY_COMPARE(prompts(), echoed.size());
    const QString text = form.Memo()->Text();
    qsizetype at = 0;
    for (const QString &line : std::as_const(echoed)) {
        const qsizetype found = text.indexOf("--> " + line + "\n", at);
        QVERIFY2(found >= at, qPrintable(line + " not echoed in its turn:\n" + text));
        at = found + 1;
    }
    QCOMPARE(text.count("--> "), echoed.size());
}

void tst_mainform::echoRemembered()
{
    StartEnv env;
    {
        TMainForm form;
        auto *item = form.findChild<QAction *>("EchoCommandsItem");
        QVERIFY(item->isCheckable());
        QVERIFY(!item->isChecked()); // off until asked for
        item->trigger();
    }
    TMainForm again;
    QVERIFY(again.findChild<QAction *>("EchoCommandsItem")->isChecked());
    QVERIFY(!QFile::exists(env.filePath("mirto.ini")));
}

void tst_mainform::terminalLinesAndLog()
{
    StartEnv env;
    const QString logPath = env.filePath("device.log");
    const QString savePath = env.filePath("terminal.txt");
    QString answerPath = logPath;
    // Shown, the window reads its settings: a file, so that no message box
    // waits for an answer.
    env.writeIni("[User]=beginner\r\n");
    {
        TMainForm form;
        // At its designed size: the status bar's notes must fit in it.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // The entries are there for the keyboard and for a screen reader.
        QStringList names;
        for (QAction *menuAction : form.menuBar()->actions()) {
            if (menuAction->text() != "&Tools")
                continue;
            QAccessibleInterface *menu = QAccessible::queryAccessibleInterface(menuAction->menu());
            QVERIFY(menu);
            for (int i = 0; i < menu->childCount(); ++i)
                names << menu->child(i)->text(QAccessible::Name);
        }
        for (const char *name : {"Terminal Lines...", "Log to File...", "Stop Logging"})
            QVERIFY2(names.contains(name), qPrintable(names.join('|')));
        QVERIFY(!form.findChild<QAction *>("StopLoggingItem")->isEnabled());
        QCOMPARE(form.Memo()->LineLimit(), TerminalBuffer::DefaultLineLimit);

        // The user lowers the limit: old lines go, and the status bar says so.
        for (int i = 0; i < 1500; ++i)
            form.Memo()->AppendText("line " + QByteArray::number(i) + "\r\n");
        QTimer answer;
        connect(&answer, &QTimer::timeout, &answer, [&] {
            if (auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
                QCOMPARE(dialog->intValue(), int(TerminalBuffer::DefaultLineLimit));
                dialog->setIntValue(1000);
                dialog->accept();
            } else if (auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                // Typed as the user types it; the dialog may still be
                // reading its folder.
                auto *name = files->findChild<QLineEdit *>("fileNameEdit");
                QVERIFY(name);
                name->setText(answerPath);
                static_cast<QDialog *>(files)->accept();
            }
        });
        answer.start(10);
        auto *dropped = form.findChild<QLabel *>("DroppedLinesLabel");
        QVERIFY(!dropped->isVisibleTo(&form));
        form.findChild<QAction *>("TerminalLinesItem")->trigger();
        QCOMPARE(form.Memo()->LineLimit(), 1000);
        QCOMPARE(form.Memo()->Lines().first(), QString("line 601"));
        QVERIFY(dropped->isVisibleTo(&form));
        QCOMPARE(dropped->accessibleName(), QLocale().toString(601) + " old lines dropped");

        // Logged from the moment it starts, appended to what the file holds.
        {
            QFile old(logPath);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("[08:00:00] before\r\n");
        }
        QCOMPARE(form.StatusNote("LogFileLabel"), QString("Not logging"));
        form.findChild<QAction *>("LogToFileItem")->trigger();
        QCOMPARE(form.LogFilePath(), logPath);
        QVERIFY(form.findChild<QAction *>("StopLoggingItem")->isEnabled());
        // What is being logged shows while it is.
        QCOMPARE(form.StatusNote("LogFileLabel"), QString("Logging to device.log"));
        form.AppendTerminal("[12:00:00] event\r\nhalf");

        // Saved: the status bar says where to.
        answerPath = savePath;
        form.SaveResponseClicked();
        QVERIFY(QFile::exists(savePath));
        QCOMPARE(form.StatusNote("TerminalSavedLabel"), "Terminal saved to " + savePath);
        // Every note and every panel stays inside the window at its designed
        // size, none over another.
        QStatusBar *bar = form.statusBar();
        QTRY_VERIFY(form.findChild<QLabel *>("TerminalSavedLabel")->isVisible());
        QList<QRect> shown;
        for (const char *name : {"StatusPanel0", "TerminalSavedLabel", "LogFileLabel",
                                 "DroppedLinesLabel", "StatusPanel1", "StatusPanel2",
                                 "StatusPanel3"}) {
            auto *label = form.findChild<QLabel *>(name);
            QVERIFY2(label->isVisible(), name);
            const QRect inForm(label->mapTo(&form, QPoint(0, 0)), label->size());
            QVERIFY2(form.rect().contains(inForm), name);
            QVERIFY2(label->width() > 0, name);
            for (const QRect &other : shown)
                QVERIFY2(!other.intersects(inForm), name);
            shown << inForm;
        }
        QVERIFY(form.rect().contains(QRect(bar->mapTo(&form, QPoint(0, 0)), bar->size())));
        // The dropped lines keep their whole text; a path short of room loses
        // its middle and shows whole as the hint.
        auto *savedLabel = form.findChild<QLabel *>("TerminalSavedLabel");
        QCOMPARE(dropped->text(), dropped->accessibleName());
        QVERIFY(savedLabel->fontMetrics().horizontalAdvance(savedLabel->text()) <= savedLabel->width());
        if (savedLabel->text() != "Terminal saved to " + savePath)
            QVERIFY(savedLabel->toolTip().startsWith("Terminal saved to " + savePath));

        form.findChild<QAction *>("StopLoggingItem")->trigger();
        QVERIFY(!form.findChild<QAction *>("StopLoggingItem")->isEnabled());
        QCOMPARE(form.LogFilePath(), QString());
        QCOMPARE(form.StatusNote("LogFileLabel"), QString("Not logging"));
        form.findChild<QAction *>("ClearTerminalItem")->trigger();
        QVERIFY(!dropped->isVisibleTo(&form));
    }
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), "[08:00:00] before\r");
    QVERIFY2(lines.at(1).endsWith("] [12:00:00] event\r"), lines.at(1).constData());
    QVERIFY2(lines.at(2).endsWith("] half\r"), lines.at(2).constData());
    // The limit is kept for the next run.
    TMainForm again;
    QCOMPARE(again.Memo()->LineLimit(), 1000);
}

void tst_mainform::networkCommandWaitsForTheConnect_data()
{
    QTest::addColumn<bool>("deviceListens");
    QTest::newRow("connects: the command follows") << true;
    QTest::newRow("does not connect: the command is dropped") << false;
}

void tst_mainform::networkCommandWaitsForTheConnect()
{
    // Enter with no link open asks for the address and connects; the
    // command typed is what the user wanted sent.
    QFETCH(bool, deviceListens);
    StartEnv env;
    SimProcess sim(deviceListens ? QStringList {"--tcp-port", "0"} : QStringList {"--no-tcp"});
    QTcpServer probe; // a port where nothing listens
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 nothingThere = probe.serverPort();
    probe.close();
    if (deviceListens)
        QVERIFY2(sim.tcpPort() > 0, qPrintable(sim.banner()));
    env.writeIni("[Interface]=network\r\n[User]=expert\r\n");
    TMainForm form;
    QCOMPARE(activate(form), QString());
    form.ClientSocket().SetPort(deviceListens ? sim.tcpPort() : nothingThere);
    form.findChild<QAction *>("EchoCommandsItem")->trigger();
    form.MainFormKeyPress(Qt::Key_Escape);
    form.findChild<QComboBox *>("CommandEdit")->setEditText("mode");

    ModalAnswerer told;
    {
        InputAnswerer address(QStringLiteral("127.0.0.1"));
        form.MainFormKeyPress(Qt::Key_Return);
        QTRY_VERIFY(address.seen());
    }
    if (deviceListens) {
        QTRY_VERIFY(form.Connection().IsConnected());
        // Sent once, after the connect, and answered.
        QTRY_VERIFY2(form.Memo()->Text().contains(QRegularExpression("--> mode\n.*Mode.*>",
                                                                          QRegularExpression::DotMatchesEverythingOption)),
                     qPrintable(form.Memo()->Text()));
        QCOMPARE(form.Memo()->Text().count("--> mode"), 1);
        QVERIFY(!told.seen());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(told.text(), QString("Unable to connect...."), 5000);
    QVERIFY(!form.Memo()->Text().contains("--> mode"));
    // A later connection does not carry the dropped command.
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    form.ClientSocket().SetPort(device.serverPort());
    {
        InputAnswerer address(QStringLiteral("127.0.0.1"));
        form.OpenConnectionClicked(nullptr);
    }
    QTRY_VERIFY(form.Connection().IsConnected());
    QTRY_VERIFY(device.hasPendingConnections());
    QTcpSocket *peer = device.nextPendingConnection();
    QTest::qWait(300);
    QCOMPARE(peer->readAll(), QByteArray());
    QCOMPARE(told.allTexts(), QStringList {"Unable to connect...."});
}

void tst_mainform::networkClosedByTheUserIsNoNews()
{
    // " Socket Connection closed by Mirto" is the device's doing only: the
    // user's Close and quitting the tool end the link without a box.
    StartEnv env;
    SimProcess sim({"--tcp-port", "0"});
    QVERIFY2(sim.tcpPort() > 0, qPrintable(sim.banner()));
    env.writeIni("[Interface]=network\r\n");
    TMainForm form;
    QCOMPARE(activate(form), QString());
    form.ClientSocket().SetPort(sim.tcpPort());
    ModalAnswerer told;
    const auto open = [&form] {
        InputAnswerer address(QStringLiteral("127.0.0.1"));
        form.OpenConnectionClicked(nullptr);
        return QTest::qWaitFor([&form] { return form.Connection().IsConnected(); }, 5000);
    };
    QVERIFY(open());
    form.findChild<QToolButton *>("CloseConToolButton")->click();
    QVERIFY(!form.Connection().IsConnected());
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QVERIFY(open());
    form.show();
    QVERIFY(form.close());
    QVERIFY(!form.ClientSocket().Active());
    QTest::qWait(100);
    QCOMPARE(told.allTexts(), QStringList());
}

QTEST_MAIN(tst_mainform)
#include "tst_mainform.moc"

void tst_mainform::historyKeepsEveryWindowsCommands_data()
{
    // Commands sent as "window:command", and the history the next start has.
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("two windows") << QStringList{"A:ver", "B:snum"} << QStringList{"snum", "ver"};
    QTest::newRow("turn about") << QStringList{"A:ver", "B:snum", "A:help", "B:mode"}
                                << QStringList{"mode", "help", "snum", "ver"};
    QTest::newRow("empty and blank commands")
        << QStringList{"A:", "A:ver", "B:   ", "B:"} << QStringList{"ver"};
    QTest::newRow("repeats stay") << QStringList{"A:ver", "B:ver"} << QStringList{"ver", "ver"};
}

void tst_mainform::historyKeepsEveryWindowsCommands()
{
    QFETCH(QStringList, sent);
    QFETCH(QStringList, kept);
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    const auto items = [](const TMainForm &form) {
        const auto *edit = form.findChild<QComboBox *>("CommandEdit");
        QStringList all;
        for (int i = 0; i < edit->count(); ++i)
            all << edit->itemText(i);
        return all;
    };
    // Two windows started side by side, each with the history as it was.
    TMainForm a;
    TMainForm b;
    activate(a);
    activate(b);
    a.MainFormKeyPress(Qt::Key_Escape);
    b.MainFormKeyPress(Qt::Key_Escape);
    TMainForm *last = nullptr;
    for (const QString &step : sent) {
        last = step.startsWith('A') ? &a : &b;
        last->findChild<QComboBox *>("CommandEdit")->setEditText(step.mid(2));
        ModalAnswerer answer; // no port chosen: each send fails with its message
        last->MainFormKeyPress(Qt::Key_Return);
    }
    // The window that sent last shows what the others sent too.
    QCOMPARE(items(*last), kept);
    TMainForm next;
    QCOMPARE(items(next), kept);
}

void tst_mainform::historyLastsAndSearchesBackwards()
{
    StartEnv env;
    env.writeIni("[User]=expert\r\n");
    const auto items = [](QComboBox *edit) {
        QStringList all;
        for (int i = 0; i < edit->count(); ++i)
            all << edit->itemText(i);
        return all;
    };
    {
        TMainForm form;
        activate(form);
        auto *edit = form.findChild<QComboBox *>("CommandEdit");
        form.MainFormKeyPress(Qt::Key_Escape);
        ModalAnswerer answer; // no port chosen: each send fails with its message
        for (const char *command : {"snum", "help", "ver"}) {
            edit->setEditText(command);
            form.MainFormKeyPress(Qt::Key_Return);
        }
    }
    TMainForm again;
    auto *edit = again.findChild<QComboBox *>("CommandEdit");
    QCOMPARE(items(edit), QStringList({"ver", "help", "snum"}));
    auto *label = again.findChild<QLabel *>("HistorySearchLabel");
    showActive(again);
    QTest::keyClick(again.Memo(), Qt::Key_Escape);
    QVERIFY(edit->isVisible());
    edit->setEditText("draft");
    QTest::keyClick(edit, Qt::Key_R, Qt::ControlModifier);
    QVERIFY(label->isVisible());
    QTest::keyClick(edit, Qt::Key_E);
    QCOMPARE(edit->currentText(), QString("ver"));
    QCOMPARE(label->text(), QString("(reverse-i-search)`e':"));
    QTest::keyClick(edit, Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(edit->currentText(), QString("help"));
    // Nothing older holds it: the match stays and the search says it failed.
    QTest::keyClick(edit, Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(edit->currentText(), QString("help"));
    QCOMPARE(label->text(), QString("(failed reverse-i-search)`e':"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->currentText(), QString("ver"));
    // Ctrl+G gives up and brings back what was being typed.
    QTest::keyClick(edit, Qt::Key_G, Qt::ControlModifier);
    QVERIFY(!label->isVisible());
    QCOMPARE(edit->currentText(), QString("draft"));
    QTest::keyClick(edit, Qt::Key_R, Qt::ControlModifier);
    QTest::keyClicks(edit, "nu");
    QCOMPARE(edit->currentText(), QString("snum"));
    {
        ModalAnswerer answer;
        QTest::keyClick(edit, Qt::Key_Return);
    }
    QVERIFY(!label->isVisible());
    QCOMPARE(items(edit), QStringList({"snum", "ver", "help", "snum"}));
    QCOMPARE(Preferences::CommandHistory(), items(edit));

    // Ctrl+R at the terminal opens the command line searching.
    QTest::keyClick(again.Memo(), Qt::Key_Escape);
    QVERIFY(!edit->isVisible());
    QTest::keyClick(again.Memo(), Qt::Key_R, Qt::ControlModifier);
    QVERIFY(edit->isVisible());
    QVERIFY(label->isVisible());
    QTest::keyClick(edit, Qt::Key_Escape);

    // Only the newest 500 are kept.
    QStringList many;
    for (int i = 0; i < 600; ++i)
        many << QString("c%1").arg(i);
    Preferences::SetCommandHistory(many);
    TMainForm third;
    activate(third);
    auto *thirdEdit = third.findChild<QComboBox *>("CommandEdit");
    QCOMPARE(thirdEdit->count(), 500);
    third.MainFormKeyPress(Qt::Key_Escape);
    thirdEdit->setEditText("newest");
    {
        ModalAnswerer answer;
        third.MainFormKeyPress(Qt::Key_Return);
    }
    const QStringList kept = Preferences::CommandHistory();
    QCOMPARE(kept.size(), 500);
    QCOMPARE(kept.first(), QString("newest"));
    QCOMPARE(kept.last(), QString("c498"));
    // Never in mirto.ini, which other tools read.
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(!ini.readAll().contains("snum"));
}

void tst_mainform::commandFileStopsAtTheLineWithoutPrompt()
{
    StartEnv env;
    SimProcess sim({"--no-tcp", "--withhold", "mode"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n[User]=expert\r\n").arg(sim.comPort()).toLatin1());
    const QString path = env.filePath("session.txt");
    QVERIFY(env.writeFile("session.txt", "# bring-up\nver\n\nmode\nhelp\n"));
    TMainForm form;
    QCOMPARE(activate(form), QString());
    QVERIFY(form.findChild<QAction *>("SendCommandFileItem"));
    ModalAnswerer answer;
    form.SendCommandFile(path);
    const QString summary("Command file: 2 of 3 lines sent, 1 without prompt; stopped: no prompt after "
                          "line 4 \"mode\".");
    QCOMPARE(answer.allTexts().join("|"), summary);
    // The note may be cut to fit the status bar; its name is the whole text.
    QCOMPARE(form.findChild<QLabel *>("CommandFileLabel")->accessibleName(), summary);
    QVERIFY(!form.findChild<QWidget *>("CommandFileStopButton")->isVisibleTo(&form));
    QVERIFY(form.Memo()->Text().contains("V: "));
    QVERIFY(!form.Memo()->Text().contains("Commands:"));
    // The link is free again for the user's own commands.
    QCOMPARE(form.Connection().BusyWith(), QString());

    // Stop, pressed while the first line waits for its prompt, ends the run
    // after that line.
    QVERIFY(env.writeFile("session.txt", "ver\nhelp\nver\n"));
    auto *stop = form.findChild<QPushButton *>("CommandFileStopButton");
    QTimer::singleShot(0, stop, [stop] {
        QVERIFY(!stop->isHidden() && stop->isEnabled());
        stop->click();
    });
    form.SendCommandFile(path);
    QCOMPARE(form.findChild<QLabel *>("CommandFileLabel")->accessibleName(),
             QString("Command file: 1 of 3 lines sent, 0 without prompt; stopped by the user."));
    QCOMPARE(answer.allTexts().size(), 1); // no second box: the user knows
}

// A command file is checked whole before its first line goes out: a line
// the device cannot take is named with its character and nothing is sent
// (not even the link is opened); a byte-order mark is no command.
void tst_mainform::commandFileCheckedWholeBeforeSending_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("told"); // empty: sent

    QTest::newRow("euro in UTF-8") << QByteArray("ver\nchannel 1 0 Radio \xE2\x82\xACuro\n")
                                   << QStringLiteral("Line 2, character 19: \"\u20ac\" (U+20AC) is not a single-byte "
                                                     "(Latin-1) character; Mirto cannot take it");
    QTest::newRow("ESC") << QByteArray("ver\n\x1b[2J\n")
                         << QStringLiteral("Line 2, character 1: ESC (U+001B) cannot be sent to Mirto: a command is "
                                           "one line of printable characters");
    QTest::newRow("prompt mark") << QByteArray("ver\n\nisp 7 a>b\n")
                                 << QStringLiteral("Line 3, character 8: \">\" cannot be sent to Mirto: it would be "
                                                   "taken for the end of Mirto's answer");
    QTest::newRow("byte-order mark and a comment") << QByteArray("\xEF\xBB\xBF# bench 2\r\nver\r\n") << QString();
}

void tst_mainform::commandFileCheckedWholeBeforeSending()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, told);
    StartEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n[User]=expert\r\n").arg(sim.comPort()).toLatin1());
    const QString path = env.filePath("session.txt");
    QVERIFY(env.writeFile("session.txt", content));
    TMainForm form;
    QCOMPARE(activate(form), QString());
    QVERIFY(!form.Connection().IsConnected());
    ModalAnswerer answer;
    form.SendCommandFile(path);
    if (told.isEmpty()) {
        QVERIFY(!answer.seen());
        QCOMPARE(form.findChild<QLabel *>("CommandFileLabel")->accessibleName(),
                 QString("Command file: 1 of 1 lines sent, 0 without prompt; done."));
        return;
    }
    QCOMPARE(answer.allTexts(), QStringList{path + ":\n\n" + told + "\n\nNothing was sent."});
    QVERIFY(!form.Connection().IsConnected());
}

void tst_mainform::hexViewShowsWhatArrives()
{
    StartEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeIni(QString("[Port]=COM%1\r\n").arg(sim.comPort()).toLatin1());
    TMainForm form;
    QCOMPARE(activate(form), QString());
    form.OpenConnectionClicked();
    QVERIFY(form.Connection().IsConnected());
    QTRY_VERIFY(form.Memo()->Text().endsWith('>'));
    auto *item = form.findChild<QAction *>("ShowBytesAsHexItem");
    QVERIFY(item && item->isCheckable() && !item->isChecked());
    item->trigger();
    QVERIFY(form.HexView());
    // The device's answer as it arrives, on a line of its own below the text.
    const qsizetype before = form.Memo()->LineCount();
    QVERIFY(form.Commands().ExchangeCommand("ver\n"));
    const QString text = form.Memo()->Text();
    const QStringList lines = text.split('\n');
    QVERIFY2(lines.value(before - 2).endsWith('>'), qPrintable(text));
    QVERIFY2(lines.value(before - 1).startsWith("00000000  "), qPrintable(text));
    QVERIFY2(text.contains(" 3e "), qPrintable(text)); // the prompt, as a byte
    // A piece split mid-line continues the open line; the tool's own text
    // starts below it.
    item->trigger();
    item->trigger(); // off and on again: the offsets count from here
    form.AppendRawBytes("01234");
    form.AppendRawBytes("56789");
    form.AppendTerminal("tool says\n");
    QVERIFY2(form.Memo()->Text().endsWith("\n00000000  30 31 32 33 34 35 36 37  38 39                    |0123456789|\ntool says\n"),
             qPrintable(form.Memo()->Text()));
    item->trigger();
    QVERIFY(!form.HexView());
    form.AppendRawBytes("plain\n");
    QVERIFY(form.Memo()->Text().endsWith("tool says\nplain\n"));
}
