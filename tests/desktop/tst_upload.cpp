#include "desktop/firmware/Remove.h"
#include "desktop/firmware/Upload.h"
#include "desktop/Mnemonic.h"
#include "core/links/SerialPortError.h"
#include "core/DevicePorts.h"
#include "core/ToolSettings.h"
#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace hexfix;

namespace {

// Counts the paint events of some widgets while it lives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(const QList<QWidget *> &widgets)
    {
        for (QWidget *widget : widgets)
            widget->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// The serial link as the dialog sees it, scripted: bytes the device sends
// wait in `inbox` until read, everything the dialog does is recorded. As on
// the real connection, what arrives while no update holds the link, or what
// the update leaves when it lets the link go, is the terminal's.
class FakeBootPort : public BootPort {
public:
    int interfaceType = InterfaceSerial;
    bool open = false;
    bool openFails = false;
    bool readFails = false;
    bool writeFails = false;
    // Another job holds the link.
    bool busy = false;
    std::function<void(int)> receiver;
    QByteArray inbox;
    QByteArray written;
    QByteArrayList commands;
    QStringList calls;
    // The device's text as the terminal got it, and the lines the dialog put there.
    QByteArray terminal;
    QByteArray shown;

    int Interface() const override { return interfaceType; }
    int PortNumber() const override { return 7; }
    bool ClaimForUpdate(std::function<void(int)> r) override
    {
        if (!receiver && busy)
            return false;
        receiver = std::move(r);
        return true;
    }
    void GiveBack() override { receiver = {}; }
    bool UploadActive() const override { return bool(receiver); }
    bool PortOpen() const override { return open; }
    bool ReadyForUpdate() override { return !busy; }
    bool OpenForUpdate() override
    {
        if (open)
            return true;
        calls << "open";
        if (openFails)
            throw SerialPortError(QStringLiteral("Specified device not found (COM7)."));
        open = true;
        return true;
    }
    int ReadBytes(char *buffer, int size) override
    {
        if (readFails)
            throw SerialPortError(QStringLiteral("The device went away"));
        const int n = int(qMin<qsizetype>(size, inbox.size()));
        std::memcpy(buffer, inbox.constData(), std::size_t(n));
        inbox.remove(0, n);
        return n;
    }
    void WriteBytes(const QByteArray &bytes) override
    {
        if (writeFails)
            throw SerialPortError(QStringLiteral("Output buffer is full. Please check comm status."));
        written += bytes;
    }
    void SendCommand(const QByteArray &text) override { commands << text; }
    void UpdateConnectionStatus() override { calls << "status"; }
    bool ReopenAfterUpdate(bool identify) override
    {
        calls << "close";
        calls << (identify ? "reopen and identify" : "reopen");
        open = true;
        return true;
    }
    void ForgetIdentification() override { calls << "forget identification"; }
    void ShowInTerminal(const QByteArray &text) override { shown += text; }

    // The device sends `bytes`: one notification for all of them, or one per
    // byte. Each notification counts every byte waiting, as the port does.
    void deliver(const QByteArray &bytes, bool oneByOne = false)
    {
        if (!oneByOne) {
            inbox += bytes;
            notify();
            return;
        }
        for (const char c : bytes) {
            inbox += c;
            notify();
        }
    }
    void notify()
    {
        if (inbox.isEmpty())
            return;
        if (receiver) {
            const auto r = receiver;
            r(int(inbox.size()));
            if (receiver)
                return; // what the update left waits in the port
        }
        terminal += inbox;
        inbox.clear();
    }
};

class FakeSettings : public SettingsStore {
public:
    ToolSettings settings;
    int writes = 0;
    ToolSettings written;
    ToolSettings &Settings() override { return settings; }
    void WriteSettings() override
    {
        ++writes;
        written = settings;
    }
};

// What the dialog must send for `flash` up to `high`: every page from 0.
QByteArray Frames(const QByteArray &flash, quint32 high, quint32 pageSize)
{
    QByteArray out;
    for (quint32 page = 0; quint64(page) * pageSize <= high; ++page) {
        const QByteArray data = flash.mid(qsizetype(page * pageSize), qsizetype(pageSize));
        unsigned sum = 0;
        for (const char c : data)
            sum += quint8(c);
        out += char(page >> 8);
        out += char(page & 0xFF);
        out += data;
        out += char(sum & 0xFF);
    }
    return out;
}

const QByteArray EndMarker("\xFF\xFF", 2);
const QByteArray LockBits("\x00\xFF", 2);

template <typename T>
T *Child(const QWidget &form, const char *name)
{
    return form.findChild<T *>(QString::fromLatin1(name));
}

// Lets queued work run (the activation after showing, the close after the
// finish byte); message boxes shown meanwhile are answered by the caller's
// ModalAnswerer.
void Settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// A dialog on a scripted port with its files in a folder of its own.
struct Rig {
    QTemporaryDir dir;
    FakeBootPort port;
    FakeSettings settings;
    TUploadForm form {port, settings, nullptr};

    Rig() { settings.settings.UploadSpeed = 3; }

    QString writeFile(const QString &name, const QByteArray &text) const
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
        return path;
    }
    // Shows the dialog with `bootFile` as "[Bootfile]" and lets it activate.
    void open(const QString &bootFile)
    {
        settings.settings.BootFile = bootFile;
        form.show();
        Settle();
    }
    // Start Update with "115200": the device is reset and its start token
    // awaited.
    void start()
    {
        button("StartUploadButton")->click();
    }
    QString status() const { return Child<QLineEdit>(form, "StatusText")->text(); }
    QString fileField() const { return Child<QLineEdit>(form, "FlashFileName")->text(); }
    QString lastMessage() const { return form.MessageLines().value(form.MessageLines().size() - 1); }
    bool enabled(const char *name) const { return Child<QWidget>(form, name)->isEnabled(); }
    bool locked() const
    {
        return !enabled("BrowseButton") && !enabled("FlashFileName")
               && !enabled("StartUploadButton");
    }
    bool free() const
    {
        return enabled("BrowseButton") && enabled("FlashFileName") && enabled("StartUploadButton");
    }
    QPushButton *button(const char *name) const { return Child<QPushButton>(form, name); }
};

// The settings of a dialog on a real link: the fastest speed, and as
// "[Bootfile]" an image of `spans` in a folder of its own.
struct ImageSettings {
    explicit ImageSettings(const QList<Span> &spans = {Filled(0, 100)})
    {
        settings.settings.UploadSpeed = 3;
        settings.settings.BootFile = dir.filePath("image.hex");
        QFile file(settings.settings.BootFile);
        written = file.open(QIODevice::WriteOnly) && file.write(HexText(spans)) > 0;
    }
    QTemporaryDir dir;
    FakeSettings settings;
    bool written = false;
};

// The update dialog on the real connection, over a pseudo-terminal that
// plays the device, shown with a small image.
struct PtyRig : ConnectionRig {
    explicit PtyRig(PtyDevice &device) { conn.VaComm().SetPortNum(device.registerAs()); }
};
struct PtyDialog {
    PtyDialog()
    {
        form.show();
        Settle();
    }
    StartDirectoryEnv env;
    PtyDevice device;
    PtyRig rig {device};
    ImageSettings image;
    TUploadForm form {rig.conn.Boot(), image.settings, nullptr};
};

// The real connection on the simulator's serial link, in a start directory
// of its own.
struct SimRig {
    explicit SimRig(const QStringList &options) : sim(options) { rig.conn.VaComm().SetPortNum(sim.comPort()); }
    StartDirectoryEnv env;
    SimProcess sim;
    ConnectionRig rig;
};

// One key event to `target` as the window system delivers it: with a time
// of its own, so that a release is never taken for its press.
void SendKey(QWidget *target, int key, bool press, bool autoRepeat = false)
{
    static quint64 time = 1000;
    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QString();
    QKeyEvent event(press ? QEvent::KeyPress : QEvent::KeyRelease, key, Qt::NoModifier, text,
                    autoRepeat);
    event.setTimestamp(++time);
    QApplication::sendEvent(target, &event);
}

void ClickKey(QWidget *target, int key)
{
    SendKey(target, key, true);
    SendKey(target, key, false);
}

// Answers the next Yes/No question with `button`, after `meanwhile` has run
// while the question is open; records the question's text.
class QuestionAnswerer {
public:
    QuestionAnswerer(QMessageBox::StandardButton button, std::function<void()> meanwhile = {})
    {
        auto *timer = new QTimer(qApp);
        timer->setInterval(10);
        auto seen = m_text;
        QObject::connect(timer, &QTimer::timeout, timer, [timer, seen, button, meanwhile] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            timer->stop();
            timer->deleteLater();
            *seen = box->text();
            if (meanwhile)
                meanwhile();
            box->button(button)->click();
        });
        timer->start();
        m_timer = timer;
    }
    ~QuestionAnswerer() { delete m_timer; }
    QString text() const { return *m_text; }

private:
    std::shared_ptr<QString> m_text = std::make_shared<QString>();
    QPointer<QTimer> m_timer;
};

// Answers the next file dialog with `path` (cancels when null).
void AnswerFileDialog(const QString &path)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->deleteLater();
        timer->stop();
        if (path.isNull()) {
            dialog->reject();
            return;
        }
        // Typed into the name field, as selectFile() leaves a focused field alone.
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(path);
        static_cast<QDialog *>(dialog)->accept(); // checks the choice as the Open button does
    });
    timer->start();
}

const QString Ready = QStringLiteral("Ready, Waiting for device...");
const QString NoToken = QStringLiteral(
    "No start-token received from device\n\nPlease check your service cable or remove/attach "
    "power supply to start upload....");
const QString NetworkRefusal = QStringLiteral(
    "Firmware updates need the serial or USB cable. The network connection stays as it is.");
const QString StopQuestion = QStringLiteral(
    "An update is running. Stop it? The device will stay in its boot loader until an update "
    "completes.");
const QString Stopped = QStringLiteral(
    "Update stopped: the device stays in its boot loader until an update completes");
const QString Failed = QStringLiteral(
    "Update failed: the device stays in its boot loader until an update completes");
const QByteArray AbortSequence = QByteArray("\xFF\xFF", 2) + QByteArray(300, '-');
// "Firmware updated: N bytes in M pages, T s"
const QRegularExpression Updated(QStringLiteral("^Firmware updated: (\\d+) bytes in (\\d+) pages, "
                                                "\\d+\\.\\d s$"));

} // namespace

class tst_upload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlsAndCaptions();
    void activation_data();
    void activation();
    void activationOncePerShowing();
    void portOpenFailure();
    void networkLeftAsItWas();
    void uploadSpeedClamped_data();
    void uploadSpeedClamped();
    void speedChoiceStored();
    void browse_data();
    void browse();
    void browseArmsAfterFileError();
    void startWithReset();
    void startWithPowerCycle();
    void startRefusedWhileBusy();
    void dialogDuringSlowExchange();
    void transfer_data();
    void transfer();
    void inputIsTheImageSent_data();
    void inputIsTheImageSent();
    void controlsLockedDuringTransfer();
    void failedReloadPausesStart();
    void linkErrors();
    void startNeedsAReadyDialog();
    void keys_data();
    void keys();
    void closing_data();
    void closing();
    void stopQuestion_data();
    void stopQuestion();
    void manyPagesStayCheap();
    void powerPrompt();
    void firmwarePromptOverRealPort();
    void closeSendsEndOverRealPort();
    void resetTypedInTerminalWhileReady();
    void simulatorUpdate_data();
    void simulatorUpdate();
    void simulatorStop_data();
    void simulatorStop();
};

void tst_upload::controlsAndCaptions()
{
    Rig rig;
    const TUploadForm &form = rig.form;
    QCOMPARE(form.windowTitle(), QString("Update Mirto Firmware"));
    const QList<std::pair<const char *, QString>> buttons = {
        {"BrowseButton", "Browse"}, {"StartUploadButton", "Start Update"}, {"CancelButton", "Close"}};
    for (const auto &[name, text] : buttons) {
        QPushButton *b = rig.button(name);
        QVERIFY2(b, name);
        // Each caption carries its Alt key; screen readers hear it without.
        QCOMPARE(WithoutMnemonic(b->text()), text);
        QVERIFY(!MnemonicOf(b->text()).isNull());
        QVERIFY(!b->autoDefault() && !b->isDefault());
        QCOMPARE(b->accessibleName(), text);
    }
    const QList<std::pair<const char *, QString>> fields = {{"FlashFileName", "File to Upload"},
                                                            {"StatusText", "Status"},
                                                            {"ProgressBar", "Progress"},
                                                            {"SpeedComboBox", "Upload Speed"},
                                                            {"MessageList", "Message"}};
    for (const auto &[name, label] : fields) {
        QWidget *w = Child<QWidget>(form, name);
        QVERIFY2(w, name);
        QCOMPARE(w->accessibleName(), label);
    }
    auto *speed = Child<QComboBox>(form, "SpeedComboBox");
    QStringList items;
    for (int i = 0; i < speed->count(); ++i)
        items << speed->itemText(i);
    QCOMPARE(items, QStringList({"4800", "9600", "38400", "115200"}));
    QCOMPARE(Child<QProgressBar>(form, "ProgressBar")->maximum(), 100);
    auto *timer1 = form.findChild<QTimer *>("Timer1");
    auto *timer2 = form.findChild<QTimer *>("Timer2");
    QVERIFY(timer1 && timer2);
    QVERIFY(timer1->isSingleShot() && timer2->isSingleShot());
    QCOMPARE(timer1->interval(), 3000);
    QCOMPARE(timer2->interval(), 1000);
    QVERIFY(!timer1->isActive() && !timer2->isActive());
    QVERIFY(form.findChild<QFileDialog *>("OpenDialog"));

    TRemoveForm *prompt = form.PowerPrompt();
    QVERIFY(prompt);
    QCOMPARE(prompt->windowTitle(), QString("Please........"));
    auto *close = prompt->findChild<QPushButton *>("CloseButton");
    QVERIFY(close && !close->autoDefault() && !close->isDefault());
    QStringList texts;
    for (const QLabel *label : prompt->findChildren<QLabel *>())
        texts << label->text();
    QCOMPARE(texts, QStringList({"To start the Firmware Upload:",
                                 "Please remove the Powerplug from your Mirto and plug it in again"}));
    const QLabel *request = prompt->findChild<QLabel *>("PowerplugLabel");
    QVERIFY(request->font().bold());
    QCOMPARE(request->palette().color(QPalette::WindowText), QColor("#800000"));
}

// Each showing: over the network one message and nothing else; otherwise
// the file is loaded and the port opened, but the link is not claimed: until
// Start the device's text belongs to the terminal.
void tst_upload::activation_data()
{
    QTest::addColumn<QString>("name"); // "[Bootfile]"; empty: none remembered
    QTest::addColumn<QByteArray>("file"); // empty: no such file
    QTest::addColumn<int>("interfaceType");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("keepsName");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("messages");

    const QByteArray good = HexText({Filled(0, 300)});
    const QByteArray bad = Join({Record(0, 0, "ab"), ":0000", EndRecord});
    const QByteArray large = HexText({Filled(0, 16), Filled(258048, 1)});
    const QStringList goodLines = {"Open Flash Hex File", "Flash Hex File OK 300 Bytes"};
    QTest::newRow("good file, serial") << "image.hex" << good << int(InterfaceSerial) << Ready
                                       << true << true << QString() << goodLines;
    QTest::newRow("good file, usb") << "image.hex" << good << int(InterfaceUsb) << Ready << true
                                    << true << QString() << goodLines;
    QTest::newRow("no file remembered") << "" << QByteArray() << int(InterfaceSerial)
                                        << "Choose a Flash File with Browse" << true << false
                                        << QString() << QStringList();
    QTest::newRow("remembered file gone")
        << "missing.hex" << QByteArray() << int(InterfaceSerial) << "Error in Flash File" << false
        << false << QString() << QStringList({"Unable to open Hex File"});
    QTest::newRow("bad line") << "image.hex" << bad << int(InterfaceSerial)
                              << "Error in Flash File" << false << false << QString()
                              << QStringList({"Open Flash Hex File",
                                              "Error in Flash Hex File Line 2"});
    QTest::newRow("too large") << "image.hex" << large << int(InterfaceSerial)
                               << "Flash File too large" << true << false << QString()
                               << QStringList({"Open Flash Hex File",
                                               "Error in Flash Hex File. Size exceeds 252KB "
                                               "(258048 B). Size = 258049 Bytes"});
    // Far beyond the chip: the real size, not where the image ends.
    QTest::newRow("300000 bytes") << "image.hex" << HexText({Filled(0, 300000)})
                                  << int(InterfaceSerial) << "Flash File too large" << true
                                  << false << QString()
                                  << QStringList({"Open Flash Hex File",
                                                  "Error in Flash Hex File. Size exceeds 252KB "
                                                  "(258048 B). Size = 300000 Bytes"});
    // Over the network the file does not matter: one message, and the
    // dialog closes without touching the connection.
    QTest::newRow("good file, network") << "image.hex" << good << int(InterfaceNetwork)
                                        << QString() << true << false << NetworkRefusal
                                        << QStringList();
    QTest::newRow("bad file, network") << "image.hex" << bad << int(InterfaceNetwork)
                                       << QString() << true << false << NetworkRefusal
                                       << QStringList();
}

void tst_upload::activation()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, file);
    QFETCH(int, interfaceType);
    QFETCH(QString, status);
    QFETCH(bool, keepsName);
    QFETCH(bool, opened);
    QFETCH(QString, box);
    QFETCH(QStringList, messages);

    Rig rig;
    rig.port.interfaceType = interfaceType;
    const QString path = name.isEmpty() ? QString()
                         : file.isEmpty() ? rig.dir.filePath(name)
                                          : rig.writeFile(name, file);
    ModalAnswerer answer;
    rig.open(path);

    QCOMPARE(answer.allTexts().join('|'), box);
    QCOMPARE(rig.status(), status);
    QCOMPARE(rig.form.MessageLines(), messages);
    QCOMPARE(rig.port.open, opened);
    QVERIFY(!rig.port.UploadActive());
    if (box.isEmpty()) {
        QVERIFY(rig.form.isVisible());
        QVERIFY(rig.form.Activated);
        QCOMPARE(rig.fileField(), keepsName ? path : QString());
        QCOMPARE(rig.settings.written.BootFile, keepsName ? path : QString());
        QCOMPARE(rig.port.calls.contains("open"), opened);
        // The firmware's prompt while the dialog stands ready is the terminal's.
        rig.port.deliver("Mirto >");
        QCOMPARE(rig.port.terminal, QByteArray("Mirto >"));
        QCOMPARE(rig.port.written, QByteArray());
    } else {
        // Refused: closed at once, and the connection left as it was.
        QVERIFY(!rig.form.isVisible());
        QVERIFY(!rig.form.Activated);
        QCOMPARE(rig.port.calls, QStringList());
        QCOMPARE(rig.settings.writes, 0);
    }
}

void tst_upload::activationOncePerShowing()
{
    Rig rig;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 40)}));
    rig.open(path);
    rig.form.AddMessage("kept");
    const int writes = rig.settings.writes;
    // Back from a message box or another window: nothing is done again.
    rig.form.UploadFormActivate();
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(&rig.form, &activate);
    Settle();
    QCOMPARE(rig.form.MessageLines().constLast(), QString("kept"));
    QCOMPARE(rig.settings.writes, writes);
    QCOMPARE(rig.port.calls.count("open"), 1);

    // A new showing starts afresh.
    rig.form.reject();
    QCOMPARE(rig.port.calls.mid(rig.port.calls.size() - 2), QStringList({"close", "reopen"}));
    rig.form.show();
    Settle();
    QCOMPARE(rig.form.MessageLines(),
             QStringList({"Open Flash Hex File", "Flash Hex File OK 40 Bytes"}));
    QVERIFY(rig.port.open);
}

// The port cannot be opened: at the showing, the port's own report; at
// Start, that the update cannot start and the system's reason.
void tst_upload::portOpenFailure()
{
    Rig rig;
    rig.port.openFails = true;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 40)}));
    ModalAnswerer answer;
    rig.open(path);
    QCOMPARE(answer.allTexts(), QStringList({"Specified device not found (COM7)."}));
    QCOMPARE(rig.status(), QString());

    rig.start();
    QCOMPARE(answer.allTexts().value(1), QString("COM7 cannot be opened, so the update cannot "
                                                 "start.\n\nSpecified device not found (COM7)."));
    QCOMPARE(rig.status(), QString("COM7 cannot be opened"));
    QCOMPARE(rig.port.commands, QByteArrayList());
    QVERIFY(!rig.port.UploadActive());
    QVERIFY(rig.free());

    // The device is back: Start goes ahead.
    rig.port.openFails = false;
    rig.start();
    QCOMPARE(rig.port.commands, QByteArrayList({"reset\n", "reset\n"}));
    QVERIFY(rig.port.UploadActive());
    rig.form.findChild<QTimer *>("Timer1")->stop();
}

// Over the network the connection is left as it was: still connected, no
// address asked for, nothing closed or said beyond the one message.
void tst_upload::networkLeftAsItWas()
{
    StartDirectoryEnv env;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    ConnectionRig rig(InterfaceNetwork);
    rig.conn.ClientSocket().SetPort(server.serverPort());
    rig.user.hostAnswer = QStringLiteral("127.0.0.1");
    rig.conn.OpenConnectionClicked();
    QTRY_VERIFY(rig.conn.IsConnected());
    const QByteArray terminal = rig.user.terminal;

    FakeSettings settings;
    QTemporaryDir dir;
    settings.settings.BootFile = dir.filePath("image.hex");
    TUploadForm form(rig.conn.Boot(), settings, nullptr);
    ModalAnswerer answer;
    form.show();
    QTRY_VERIFY(!form.isVisible());
    Settle();
    QCOMPARE(answer.allTexts(), QStringList({NetworkRefusal}));
    QVERIFY(rig.conn.IsConnected());
    QCOMPARE(rig.user.addressAsked, 1);
    QCOMPARE(rig.user.told, QStringList());
    QCOMPARE(rig.user.terminal, terminal);
}

void tst_upload::uploadSpeedClamped_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("selected");
    QTest::newRow("first") << 0 << 0;
    QTest::newRow("last") << 3 << 3;
    QTest::newRow("above the list") << 7 << 3;
    QTest::newRow("below the list") << -2 << 0;
}

void tst_upload::uploadSpeedClamped()
{
    QFETCH(int, stored);
    QFETCH(int, selected);
    Rig rig;
    rig.settings.settings.UploadSpeed = stored;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 40)})));
    QCOMPARE(Child<QComboBox>(rig.form, "SpeedComboBox")->currentIndex(), selected);
    // Activation counts as a change of the selection: stored and written.
    QCOMPARE(rig.settings.written.UploadSpeed, selected);
    QVERIFY(rig.port.calls.contains("status"));
}

void tst_upload::speedChoiceStored()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 40)})));
    const int writes = rig.settings.writes;
    Child<QComboBox>(rig.form, "SpeedComboBox")->setCurrentIndex(1);
    QCOMPARE(rig.settings.writes, writes + 1);
    QCOMPARE(rig.settings.written.UploadSpeed, 1);
    // Typing a path stores it at each change.
    QTest::keyClicks(Child<QLineEdit>(rig.form, "FlashFileName"), "ab");
    QCOMPARE(rig.settings.writes, writes + 3);
    QVERIFY(rig.settings.written.BootFile.endsWith("ab"));
}

void tst_upload::browse_data()
{
    QTest::addColumn<QByteArray>("file"); // null: the user cancels
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("keepsName");
    QTest::addColumn<QString>("lastMessage");

    QTest::newRow("good") << HexText({Filled(0, 64)}) << "Ready, Waiting for device" << true
                          << "Flash File Selected";
    QTest::newRow("bad checksum") << Join({Record(0, 0, "ab"), ":0100000000FE", EndRecord})
                                  << "Error in Flash File" << false << "Error in Flash Hex File Line 2";
    QTest::newRow("too large") << HexText({Filled(0, 4), Filled(258047, 2)})
                               << "Flash File too large" << true
                               << "Error in Flash Hex File. Size exceeds 252KB (258048 B). Size = "
                                  "258049 Bytes";
    QTest::newRow("cancelled") << QByteArray() << Ready << false << "Flash Hex File OK 16 Bytes";
}

void tst_upload::browse()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, status);
    QFETCH(bool, keepsName);
    QFETCH(QString, lastMessage);

    Rig rig;
    const QString first = rig.writeFile("first.hex", HexText({Filled(0, 16)}));
    rig.open(first);
    const QString chosen = file.isNull() ? QString() : rig.writeFile("chosen.hex", file);
    AnswerFileDialog(chosen);
    rig.button("BrowseButton")->click();

    QCOMPARE(rig.status(), status);
    QCOMPARE(rig.form.MessageLines().constLast(), lastMessage);
    const QString name = file.isNull() ? first : keepsName ? chosen : QString();
    QCOMPARE(rig.fileField(), name);
    QCOMPARE(rig.settings.written.BootFile, name);
    // Browse leaves the port as it was: open, and the terminal's.
    QVERIFY(rig.port.open);
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.calls.count("open"), 1);
}

void tst_upload::browseArmsAfterFileError()
{
    Rig rig;
    rig.open(rig.dir.filePath("missing.hex"));
    QCOMPARE(rig.status(), QString("Error in Flash File"));
    QVERIFY(!rig.port.open);

    const QString good = rig.writeFile("good.hex", HexText({Filled(0, 10)}));
    AnswerFileDialog(good);
    rig.button("BrowseButton")->click();
    QVERIFY(rig.port.open);
    QCOMPARE(rig.status(), Ready);
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Flash File Selected"));

    // Ready is not started: a '>' is the firmware's prompt.
    rig.port.deliver(">");
    QCOMPARE(rig.port.terminal, QByteArray(">"));
    QCOMPARE(rig.port.written, QByteArray());
    rig.start();
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray("<"));
}

// After the reset the start token is awaited for Timer1's time, with the
// link held and the file choice locked; then the warning, and the link and
// the controls are free again.
void tst_upload::startWithReset()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 10)})));
    auto *timer1 = rig.form.findChild<QTimer *>("Timer1");
    timer1->setInterval(20);
    ModalAnswerer answer;
    rig.start();
    QCOMPARE(rig.port.commands, QByteArrayList({"reset\n", "reset\n"}));
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Resetting device...\r\n"));
    QCOMPARE(rig.status(), QString("Waiting for start-token from device"));
    QVERIFY(timer1->isActive());
    QVERIFY(rig.port.UploadActive());
    QVERIFY(rig.locked());
    // What the firmware says before its reset is dropped.
    rig.port.deliver("reset\r\nrestarting");
    QCOMPARE(rig.port.terminal, QByteArray());

    QTRY_COMPARE(answer.allTexts(), QStringList({NoToken}));
    QVERIFY(!timer1->isActive());
    QVERIFY(!rig.port.UploadActive());
    QVERIFY(rig.free());
    QCOMPARE(rig.status(), QString("No start-token received from device"));

    // A '>' after the wait is the firmware's again.
    rig.port.deliver("Mirto >");
    QCOMPARE(rig.port.written, QByteArray());
    QCOMPARE(rig.port.terminal, QByteArray("Mirto >"));

    // The token in time stops the warning.
    rig.start();
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray("<"));
    QCOMPARE(rig.status(), QString("starting procedure.... please wait"));
    QVERIFY(!timer1->isActive());
    QCOMPARE(answer.allTexts().size(), 1);
}

// With another speed the token counts while the power-plug prompt shows.
void tst_upload::startWithPowerCycle()
{
    Rig rig;
    rig.settings.settings.UploadSpeed = 1;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 10)})));
    TRemoveForm *prompt = rig.form.PowerPrompt();
    // The prompt's own Close button only closes the prompt, and ends the wait.
    bool heldWhileShown = false;
    QTimer::singleShot(30, prompt, [&] {
        heldWhileShown = rig.port.UploadActive() && rig.locked();
        prompt->findChild<QPushButton *>("CloseButton")->click();
    });
    rig.start();
    QVERIFY(heldWhileShown);
    QVERIFY(!prompt->isVisible());
    QVERIFY(rig.form.isVisible());
    QVERIFY(!rig.port.UploadActive());
    QVERIFY(rig.free());
    QCOMPARE(rig.status(), QString("No start-token received from device"));
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray());

    bool shownWhenTokenCame = false;
    // The user power-cycles the device while the prompt is up: the start
    // token closes it from inside its own loop.
    QTimer::singleShot(30, &rig.form, [&] {
        shownWhenTokenCame = prompt->isVisible();
        rig.port.deliver(">");
    });
    rig.start();
    QVERIFY(shownWhenTokenCame);
    QVERIFY(!prompt->isVisible());
    QCOMPARE(rig.port.commands, QByteArrayList());
    QCOMPARE(rig.port.written, QByteArray("<"));
    QVERIFY(rig.port.UploadActive());
}

// Another job holds the link: Start sends nothing and waits for nothing.
void tst_upload::startRefusedWhileBusy()
{
    Rig rig;
    rig.port.busy = true;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 10)})));
    rig.start();
    QCOMPARE(rig.port.commands, QByteArrayList());
    QVERIFY(!rig.form.findChild<QTimer *>("Timer1")->isActive());
    QVERIFY(rig.free());
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray());
}

// The update dialog asked for while a slow exchange waits for its answer:
// the update is refused with the busy notice, and a dialog shown and closed
// meanwhile neither opens nor closes the port beneath the exchange, which
// gets its answer.
void tst_upload::dialogDuringSlowExchange()
{
    SimRig link({"--no-tcp", "--delay", "1000"});
    QVERIFY2(link.sim.comPort() > 0, qPrintable(link.sim.banner()));
    ConnectionRig &rig = link.rig;
    rig.conn.OpenConnectionClicked(false);
    QVERIFY(rig.conn.IsConnected());
    ImageSettings image;
    QVERIFY(image.written);
    TUploadForm form(rig.conn.Boot(), image.settings, nullptr);

    bool refused = false;
    bool openWhileShown = false;
    QTimer::singleShot(200, &form, [&] {
        refused = !rig.conn.Boot().ReadyForUpdate();
        // Shown all the same (as at start-up): its showing and its closing
        // leave the port to the exchange.
        form.show();
        QTimer::singleShot(300, &form, [&] {
            openWhileShown = rig.conn.Boot().PortOpen();
            form.reject();
        });
    });
    QVERIFY(rig.conn.ExchangeCommand("ver\n"));
    QVERIFY2(rig.conn.Reply().contains("Mirto V:"), rig.conn.Reply().constData());
    QVERIFY(refused);
    QVERIFY(openWhileShown);
    QTRY_VERIFY(!form.isVisible());
    QVERIFY(rig.conn.Boot().PortOpen());
    QVERIFY(rig.conn.IsConnected());
    QVERIFY(!rig.conn.Boot().UploadActive());
    QVERIFY(!rig.user.busyNotices.isEmpty());
    QVERIFY2(rig.user.busyNotices.constFirst().contains("a command"), qPrintable(rig.user.busyNotices.join('|')));
    QCOMPARE(rig.user.told, QStringList());
    // The link is free again: the next exchange goes through.
    QVERIFY(rig.conn.ExchangeCommand("snum\n"));
    QVERIFY(rig.conn.Reply().contains("Serialnumber"));
}

// A whole transfer through the dialog, the device's bytes in one notification
// or one per byte; bytes after ']' are the terminal's. The success is told in
// the list and in the terminal, and the device is identified again.
void tst_upload::transfer_data()
{
    QTest::addColumn<QList<Span>>("spans");
    QTest::addColumn<char>("sizeByte");
    QTest::addColumn<quint32>("pageSize");
    QTest::addColumn<bool>("oneByOne");

    const QList<Span> small = {Filled(0, 300)};
    QTest::newRow("256, one notification") << small << 'T' << 256u << false;
    QTest::newRow("256, byte by byte") << small << 'T' << 256u << true;
    QTest::newRow("32, last page partial") << QList<Span>{Filled(0, 100)} << 'Q' << 32u << true;
    // Page numbers above 255 need both bytes; pages below the data are FF.
    QTest::newRow("32, page numbers above 255")
        << QList<Span>{Filled(0x2000 - 7, 20)} << 'Q' << 32u << false;
    QTest::newRow("512, data above 64 KB")
        << QList<Span>{Filled(0x10000 - 3, 6)} << 'U' << 512u << false;
}

void tst_upload::transfer()
{
    QFETCH(QList<Span>, spans);
    QFETCH(char, sizeByte);
    QFETCH(quint32, pageSize);
    QFETCH(bool, oneByOne);

    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText(spans)));
    const quint32 high = rig.form.Image().ImageHighAddress;
    const quint32 pages = high / pageSize + 1;

    ModalAnswerer answer;
    rig.start();
    rig.port.deliver(QByteArray("?>J") + sizeByte + "^", oneByOne);
    QCOMPARE(rig.port.written, QByteArray("<"));
    QCOMPARE(rig.status(), QString("Erasing flash.... please wait"));
    QCOMPARE(rig.port.calls.count("forget identification"), 1);
    rig.port.deliver("*" + QByteArray(int(pages) + 1, '!') + "%]XY", oneByOne);

    QCOMPARE(rig.port.written,
             "<" + Frames(Flash(spans), high, pageSize) + EndMarker + LockBits);
    const QStringList lines = rig.form.MessageLines();
    QCOMPARE(lines.filter("Sending Page #").size(), int(pages));
    QCOMPARE(lines.mid(lines.size() - 4, 3),
             QStringList({QString("Sending Page #%1").arg(pages - 1), "Programming Lockbits...",
                          "All done...."}));
    const QRegularExpressionMatch done = Updated.match(lines.constLast());
    QVERIFY2(done.hasMatch(), qPrintable(lines.constLast()));
    QCOMPARE(done.captured(1).toUInt(), high + 1);
    QCOMPARE(done.captured(2).toUInt(), pages);
    QCOMPARE(rig.port.shown, "\r\n" + lines.constLast().toLatin1() + "\r\n");
    QVERIFY(lines.contains("Mega256 detected"));
    auto *progress = Child<QProgressBar>(rig.form, "ProgressBar");
    QCOMPARE(progress->maximum(), int(qMax(1u, high / pageSize)));
    QCOMPARE(progress->value(), int(pages - 1));

    // ']' ends the conversation; the rest is not the boot loader's.
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.terminal, QByteArray("XY"));
    QTRY_VERIFY(!rig.form.isVisible());
    QVERIFY(!answer.seen());
    QCOMPARE(rig.port.calls.mid(rig.port.calls.lastIndexOf("close")),
             QStringList({"close", "reopen and identify"}));
}

// The device history names the HEX file by the bytes the transfer sent,
// read as it started, not by the file as it is when the dialog closes.
void tst_upload::inputIsTheImageSent_data()
{
    QTest::addColumn<bool>("beforeToken"); // the file is replaced before the start token, else during the transfer
    QTest::newRow("replaced during the transfer") << false;
    QTest::newRow("replaced before the start token") << true;
}

void tst_upload::inputIsTheImageSent()
{
    QFETCH(bool, beforeToken);
    const QList<Span> first = {Filled(0, 300, 1)};
    const QList<Span> second = {Filled(0, 300, 7)};
    Rig rig;
    const QString path = rig.writeFile("image.hex", HexText(first));
    rig.open(path);
    ModalAnswerer answer;
    rig.start();
    if (beforeToken)
        rig.writeFile("image.hex", HexText(second));
    rig.port.deliver(QByteArray("?>JT^"));
    if (!beforeToken)
        rig.writeFile("image.hex", HexText(second));
    const quint32 high = rig.form.Image().ImageHighAddress;
    rig.port.deliver("*" + QByteArray(int(high / 256 + 1) + 1, '!') + "%]");
    QTRY_VERIFY(!rig.form.isVisible());
    QVERIFY(rig.form.Updated());

    const QList<Span> sent = beforeToken ? second : first;
    QCOMPARE(rig.port.written, "<" + Frames(Flash(sent), high, 256) + EndMarker + LockBits);
    const QByteArray bytes = HexText(sent);
    QCOMPARE(rig.form.Input().Path, QFileInfo(path).absoluteFilePath());
    QCOMPARE(rig.form.Input().Bytes, bytes);
    QCOMPARE(rig.form.Input().Sha256,
             QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
    QVERIFY(!rig.form.Input().Edited);
}

void tst_upload::controlsLockedDuringTransfer()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 600)})));
    QVERIFY(rig.free());
    rig.start();
    rig.port.deliver(">JT!");
    QVERIFY(rig.locked());
    // Start is ignored meanwhile, also through the key.
    rig.form.StartUploadButtonClicked();
    QCOMPARE(rig.port.commands.size(), 2);
    rig.port.deliver("!!!");
    QVERIFY(rig.free());

    // A new start token locks again; the abort frees.
    ModalAnswerer answer;
    rig.port.deliver(">!@@@");
    QVERIFY(rig.locked());
    rig.port.deliver("@");
    QVERIFY(rig.free());
    QCOMPARE(rig.status(), Failed);
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Flash Fail"));
    QVERIFY(rig.port.written.endsWith(AbortSequence));

    // ']' after an abort is a failure, never a success.
    rig.port.deliver("%]");
    QVERIFY(!rig.form.MessageLines().contains("All done...."));
    QTRY_VERIFY(!rig.form.isVisible());
    QCOMPARE(answer.allTexts().size(), 1);
    QVERIFY(answer.text().startsWith("Firmware update failed"));
    QCOMPARE(rig.port.calls.constLast(), QString("reopen"));
}

void tst_upload::failedReloadPausesStart()
{
    Rig rig;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 40)}));
    rig.open(path);
    rig.form.findChild<QTimer *>("Timer2")->setInterval(30);
    rig.start();
    rig.port.deliver(">JT!");
    const QByteArray before = rig.port.written;

    // The file turns bad before the next start token: nothing goes out, not
    // even '<', and what follows is the terminal's.
    rig.writeFile("image.hex", ":0100000000FE\r\n");
    rig.port.deliver(">!!");
    QCOMPARE(rig.port.written, before);
    QCOMPARE(rig.port.terminal, QByteArray("!!"));
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.status(), QString("Error in Flash File"));
    QVERIFY(!rig.enabled("StartUploadButton"));
    rig.start();
    QCOMPARE(rig.port.commands.size(), 2);
    QTRY_VERIFY(rig.enabled("StartUploadButton"));
    // Nothing is answered before the user starts again.
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, before);
}

// A link that fails under the transfer ends it with a message.
void tst_upload::linkErrors()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 600)})));
    rig.start();
    rig.port.deliver(">JT!");
    rig.port.writeFails = true;
    rig.port.deliver("!");
    QVERIFY(rig.form.MessageLines().contains("Output buffer is full. Please check comm status."));
    QCOMPARE(rig.status(), Failed);
    QVERIFY(rig.free());
    QVERIFY(!rig.port.UploadActive());

    rig.port.writeFails = false;
    rig.start();
    rig.port.deliver(">JT!");
    QVERIFY(rig.locked());
    rig.port.readFails = true;
    ModalAnswerer answer;
    rig.port.deliver("!");
    QTRY_COMPARE(answer.allTexts(), QStringList({"The device went away"}));
    QVERIFY(rig.form.isVisible());
    // A line that cannot be read ends the transfer: the user can start over.
    QCOMPARE(rig.status(), Failed);
    QVERIFY(rig.free());

    // The device unplugged in the middle of a transfer: the same, at once.
    rig.port.readFails = false;
    rig.start();
    rig.port.deliver(">JT!");
    QVERIFY(rig.locked());
    rig.port.receiver(-1);
    QVERIFY(rig.form.MessageLines().contains("Device disconnected"));
    QCOMPARE(rig.status(), Failed);
    QVERIFY(rig.free());
    QVERIFY(!rig.port.UploadActive());
}

// Start resets the device only when its boot loader is awaited: after a bad
// file, a good name typed into the field readies the dialog first.
void tst_upload::startNeedsAReadyDialog()
{
    Rig rig;
    const QString good = rig.writeFile("good.hex", HexText({Filled(0, 10)}));
    rig.open(rig.writeFile("bad.hex", ":10000000"));
    QCOMPARE(rig.status(), QString("Error in Flash File"));
    rig.button("StartUploadButton")->click();
    QCOMPARE(rig.port.commands, QByteArrayList());
    QVERIFY(!rig.port.receiver);

    Child<QLineEdit>(rig.form, "FlashFileName")->setText(good);
    rig.button("StartUploadButton")->click();
    QCOMPARE(rig.port.commands, QByteArrayList({"reset\n", "reset\n"}));
    QVERIFY(rig.port.receiver);
    QCOMPARE(rig.status(), QString("Waiting for start-token from device"));
    rig.form.findChild<QTimer *>("Timer1")->stop();
}

// Space starts only on the dialog itself or its Start button, once per
// release of a press made there; Escape closes on its release.
void tst_upload::keys_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    // p/r a press/release, P/R the same auto-repeated.
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("starts");
    QTest::addColumn<bool>("closed");

    const int space = Qt::Key_Space;
    const int escape = Qt::Key_Escape;
    QTest::newRow("space on dialog") << "" << space << "pr" << 1 << false;
    QTest::newRow("space held on dialog") << "" << space << "pPRPRr" << 1 << false;
    QTest::newRow("space released only") << "" << space << "r" << 0 << false;
    QTest::newRow("space pressed only") << "" << space << "p" << 0 << false;
    QTest::newRow("space on start") << "StartUploadButton" << space << "pr" << 1 << false;
    QTest::newRow("space held on start") << "StartUploadButton" << space << "pPRPRr" << 1 << false;
    QTest::newRow("space in file name") << "FlashFileName" << space << "pr" << 0 << false;
    QTest::newRow("space in message list") << "MessageList" << space << "pr" << 0 << false;
    QTest::newRow("escape on dialog") << "" << escape << "pr" << 0 << true;
    QTest::newRow("escape in file name") << "FlashFileName" << escape << "pr" << 0 << true;
    QTest::newRow("escape pressed only") << "" << escape << "p" << 0 << false;
    QTest::newRow("escape released only") << "" << escape << "r" << 0 << false;
}

void tst_upload::keys()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(QString, events);
    QFETCH(int, starts);
    QFETCH(bool, closed);

    Rig rig;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 10)}));
    rig.open(path);
    rig.form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.form));
    QWidget *target = focus.isEmpty() ? static_cast<QWidget *>(&rig.form)
                                      : Child<QWidget>(rig.form, focus.toLatin1().constData());
    target->setFocus();
    QCOMPARE(QApplication::focusWidget(), target);

    for (const QChar c : events)
        SendKey(target, key, c.toLower() == 'p', c.isUpper());
    Settle();
    QCOMPARE(int(rig.port.commands.size()), starts * 2);
    QCOMPARE(!rig.form.isVisible(), closed);
    if (focus == "FlashFileName" && key == Qt::Key_Space)
        QCOMPARE(rig.fileField(), path + " ");
}

// Whatever closes the dialog hands the port back and stops its timers; only
// the Close button tells a finished boot loader to start (';').
void tst_upload::closing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QByteArray>("device"); // what the boot loader said after Start
    QTest::addColumn<QByteArray>("tail");   // the dialog's last bytes

    const QByteArray done = ">JT!!";
    QTest::newRow("close button after the end") << "button" << done << QByteArray(";");
    QTest::newRow("escape after the end") << "escape" << done << QByteArray();
    QTest::newRow("close box after the end") << "closebox" << done << QByteArray();
    QTest::newRow("close button, waiting for the token") << "button" << QByteArray()
                                                         << QByteArray();
    QTest::newRow("escape, waiting for the token") << "escape" << QByteArray() << QByteArray();
}

void tst_upload::closing()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, tail);

    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 200)})));
    rig.start();
    rig.port.deliver(device);
    // After the end, Start waits for a token again.
    rig.start();
    auto *timer1 = rig.form.findChild<QTimer *>("Timer1");
    QVERIFY(timer1->isActive());
    QVERIFY(rig.port.UploadActive());
    const qsizetype before = rig.port.written.size();
    rig.port.calls.clear();

    if (how == "button") {
        rig.button("CancelButton")->click();
    } else if (how == "escape") {
        rig.form.setFocus();
        ClickKey(&rig.form, Qt::Key_Escape);
    } else {
        rig.form.close();
    }
    QVERIFY(!rig.form.isVisible());
    QCOMPARE(rig.port.written.mid(before), tail);
    QVERIFY(!timer1->isActive());
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.calls, QStringList({"close", "reopen"}));
    QVERIFY(!rig.form.Activated);
    QVERIFY(rig.free());

    // The end stays known in the next showing: its Close button tells it,
    // however the first showing was closed.
    rig.form.show();
    Settle();
    rig.port.written.clear();
    rig.button("CancelButton")->click();
    QCOMPARE(rig.port.written, device == ">JT!!" ? QByteArray(";") : QByteArray());
}

// Closing in the middle of a transfer asks first, whichever way it is closed.
// No: the transfer goes on, with the bytes that came while the question was
// open. Yes: the boot loader gets the abort, is seen to its end, and the
// dialog stays open and says how to recover.
void tst_upload::stopQuestion_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("stop");

    for (const char *how : {"button", "escape", "closebox"}) {
        QTest::addRow("%s, no", how) << QString::fromLatin1(how) << false;
        QTest::addRow("%s, yes", how) << QString::fromLatin1(how) << true;
    }
}

void tst_upload::stopQuestion()
{
    QFETCH(QString, how);
    QFETCH(bool, stop);

    const QList<Span> spans = {Filled(0, 700)};
    const QByteArray flash = Flash(spans);
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText(spans)));
    rig.start();
    rig.port.deliver(">JT!");
    QVERIFY(rig.locked());
    const QByteArray sent = "<" + Frames(flash, 255, 256);

    // The device asks for the next page while the question is open.
    QByteArray writtenWhileAsking;
    QuestionAnswerer answer(stop ? QMessageBox::Yes : QMessageBox::No, [&] {
        rig.port.deliver("!");
        writtenWhileAsking = rig.port.written;
    });
    if (how == "button") {
        rig.button("CancelButton")->click();
    } else if (how == "escape") {
        Child<QWidget>(rig.form, "MessageList")->setFocus();
        ClickKey(Child<QWidget>(rig.form, "MessageList"), Qt::Key_Escape);
    } else {
        rig.form.close();
    }
    QCOMPARE(answer.text(), StopQuestion);
    QCOMPARE(writtenWhileAsking, sent);
    QVERIFY(rig.form.isVisible());
    QVERIFY(rig.port.UploadActive());
    const QByteArray page1 = Frames(flash, 700 - 1, 256).mid(259, 259);

    if (!stop) {
        // Nothing lost: the page asked for meanwhile goes out now.
        QCOMPARE(rig.port.written, sent + page1);
        QVERIFY(rig.locked());
        rig.port.deliver("!!%]");
        QCOMPARE(rig.port.written, "<" + Frames(flash, 700 - 1, 256) + EndMarker + LockBits);
        QTRY_VERIFY(!rig.form.isVisible());
        QCOMPARE(rig.port.calls.constLast(), QString("reopen and identify"));
        return;
    }
    // The request that came meanwhile is not answered after the abort.
    QCOMPARE(rig.port.written, sent + AbortSequence);
    QCOMPARE(rig.status(), Stopped);
    QVERIFY(rig.lastMessage().startsWith("The device stays in its boot loader until an update "
                                         "completes. To recover, press Start Update"));
    QVERIFY(rig.port.calls.contains("forget identification"));
    QVERIFY(rig.free());
    // The boot loader winds down: its lock bits are answered, its finish
    // closes nothing and says nothing more, and the link is the terminal's.
    ModalAnswerer none;
    rig.port.deliver("%");
    QCOMPARE(rig.port.written, sent + AbortSequence + LockBits);
    rig.port.deliver("]Mirto >");
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.terminal, QByteArray("Mirto >"));
    Settle();
    QVERIFY(rig.form.isVisible());
    QVERIFY(!none.seen());
    QCOMPARE(rig.status(), Stopped);

    // Updating again is what recovers.
    rig.port.calls.clear();
    rig.start();
    rig.port.deliver(">JT!!!!%]");
    QTRY_VERIFY(!rig.form.isVisible());
    QCOMPARE(rig.port.calls.constLast(), QString("reopen and identify"));
}

// Thousands of pages: the list is complete, drawn in batches, and shows the
// newest line once the event loop has run.
void tst_upload::manyPagesStayCheap()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 258048)})));
    rig.start();
    rig.port.deliver(">JQ");
    auto *list = Child<QListWidget>(rig.form, "MessageList");
    auto *bar = Child<QProgressBar>(rig.form, "ProgressBar");
    // Nothing is drawn page by page: a list or bar redrawn per page would
    // take seconds here. The bar redraws itself at once (and whatever else
    // waits to be drawn), but only when what it shows changes.
    PaintCounter paints({list->viewport(), bar});
    const int shownBefore = list->count();
    QElapsedTimer clock;
    clock.start();
    for (int page = 0; page < 8064; ++page)
        rig.port.deliver("!");
    const qint64 ms = clock.elapsed();
    rig.port.deliver("!");
    QCOMPARE(rig.port.written.size(), 1 + 8064 * 35 + 2);
    const QStringList lines = rig.form.MessageLines();
    QCOMPARE(lines.filter("Sending Page #").size(), 8064);
    QVERIFY2(paints.count < 8064 / 2, qPrintable(QString::number(paints.count)));
    // The first line of the burst at once, the rest in batches later.
    QVERIFY2(list->count() <= shownBefore + 1, qPrintable(QString::number(list->count())));
    QTRY_COMPARE(list->count(), lines.size());
    QCOMPARE(list->currentRow(), list->count() - 1);
    QCOMPARE(list->selectedItems().value(0)->text(), QString("Sending Page #8063"));
    QCOMPARE(bar->value(), 8063);
    // Far above what it takes, for a busy machine under the sanitizers:
    // what it catches is work that grows with the pages already sent.
    QVERIFY2(ms < 30000, qPrintable(QString("%1 ms for 8064 pages").arg(ms)));
}

void tst_upload::powerPrompt()
{
    TRemoveForm prompt;
    QTimer::singleShot(0, &prompt, [&prompt] { prompt.CloseButtonClick(); });
    prompt.exec();
    QVERIFY(!prompt.isVisible());
}

// The real connection on a pseudo-terminal, the dialog ready: the running
// firmware's '>' (a prompt, the answer to a command typed in the terminal) is
// text for the terminal, and the device hears nothing from the update.
void tst_upload::firmwarePromptOverRealPort()
{
    PtyDialog d;
    QVERIFY(d.device.isValid());
    QVERIFY(d.image.written);
    QVERIFY(d.rig.conn.Boot().PortOpen());
    QCOMPARE(Child<QLineEdit>(d.form, "StatusText")->text(), Ready);

    d.device.write("reset\r\nMirto >!ch1!>");
    QTRY_VERIFY(d.rig.user.terminal.contains("Mirto >!ch1!>"));
    QCOMPARE(d.device.read(300, 1), QByteArray());
    QCOMPARE(Child<QLineEdit>(d.form, "StatusText")->text(), Ready);
    QVERIFY(Child<QPushButton>(d.form, "StartUploadButton")->isEnabled());
    QVERIFY(Child<QPushButton>(d.form, "BrowseButton")->isEnabled());
    d.form.reject();
}

// The real connection on a pseudo-terminal: after the end marker the Close
// button sends ';' (also in a later showing) and the port is reopened
// without identifying the device, which did not finish.
void tst_upload::closeSendsEndOverRealPort()
{
    PtyDialog d;
    QVERIFY(d.device.isValid());
    QVERIFY(d.image.written);
    QVERIFY(d.rig.conn.Boot().PortOpen());
    QVERIFY(!d.rig.conn.Boot().UploadActive());
    Child<QPushButton>(d.form, "StartUploadButton")->click();
    QVERIFY(d.rig.conn.Boot().UploadActive());
    QCOMPARE(d.device.read(1000, 12), QByteArray("reset\nreset\n"));

    d.device.write(">JT!");
    QCOMPARE(d.device.read(2000, 1 + 259), "<" + Frames(Flash({Filled(0, 100)}), 99, 256));
    d.device.write("!");
    QCOMPARE(d.device.read(2000, 2), EndMarker);

    Child<QPushButton>(d.form, "CancelButton")->click();
    QVERIFY(!d.form.isVisible());
    QCOMPARE(d.device.read(1000, 1), QByteArray(";"));
    QVERIFY(d.rig.conn.Boot().PortOpen());
    QVERIFY(d.rig.conn.IsConnected());
    QVERIFY(!d.rig.conn.Boot().UploadActive());
    // No "snum" or "ver": the device is not asked who it is.
    QCOMPARE(d.device.read(300, 1), QByteArray());

    d.form.show();
    Settle();
    Child<QPushButton>(d.form, "CancelButton")->click();
    QCOMPARE(d.device.read(1000, 1), QByteArray(";"));
}

// A device that is merely in the tool's terminal while the dialog stands
// ready: "reset" typed there restarts the firmware, whose answer ends with
// '>'. It shows in the terminal, and the simulator never enters its boot
// loader (which would take a second reset) nor hears a '<'.
void tst_upload::resetTypedInTerminalWhileReady()
{
    SimRig link({"--no-tcp", "--line-rate", "0"});
    QVERIFY2(link.sim.comPort() > 0, qPrintable(link.sim.banner()));
    ConnectionRig &rig = link.rig;
    ImageSettings image;
    QVERIFY(image.written);

    TUploadForm form(rig.conn.Boot(), image.settings, nullptr);
    form.show();
    Settle();
    QVERIFY(rig.conn.Boot().PortOpen());
    QVERIFY(rig.conn.SendCommand("reset\n"));
    // The restart takes about a second; far more is allowed for a busy
    // machine.
    QTRY_VERIFY_WITH_TIMEOUT(rig.user.terminal.contains('>'), 20000);
    QCOMPARE(Child<QLineEdit>(form, "StatusText")->text(), Ready);
    QVERIFY(Child<QPushButton>(form, "StartUploadButton")->isEnabled());
    // The firmware still answers: a '<' would have been a line of its own.
    QVERIFY(rig.conn.ExchangeCommand("ver\n"));
    QVERIFY2(rig.conn.Reply().contains("Mirto V:"), rig.conn.Reply().constData());
    QVERIFY(!rig.user.terminal.contains("Unknown"));
    form.reject();
}

// End to end against the simulator's boot loader on a pseudo-terminal, with
// the device identified before: a completed update says so and identifies
// the device again (its new version); a failed one leaves it unidentified.
void tst_upload::simulatorUpdate_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<Span>>("spans");
    QTest::addColumn<int>("repeatedPage"); // -1: none
    QTest::addColumn<QString>("failure");  // the failure box; empty: completes

    // Data below and above 64 KB, with a gap that goes out as FF.
    const QList<Span> spans = {Filled(0, 5000), Filled(0x10000 - 100, 300, 3)};
    const QString aborted = "Firmware update failed\n\nThe transfer was aborted. Please start "
                            "the update again....";
    QTest::newRow("full update") << QStringList() << spans << -1 << QString();
    // The new firmware greets a second after the boot loader's end: it is
    // identified once it is ready, not by its greeting's prompt.
    QTest::newRow("full update, device greets a second later")
        << QStringList({"--greet-after-update"}) << spans << -1 << QString();
    QTest::newRow("refused page repeated") << QStringList({"--refuse", "5", "--refuse-times", "2"})
                                           << spans << 5 << QString();
    QTest::newRow("fourth repeat aborts")
        << QStringList({"--refuse", "2,9", "--refuse-times", "2"}) << spans << 9 << aborted;
    QTest::newRow("Mega128, image up to 126975")
        << QStringList({"--chip", "128"}) << QList<Span>{Filled(0, 100), Filled(126975 - 9, 10)}
        << -1 << QString();
    QTest::newRow("Mega128, image into its boot area")
        << QStringList({"--chip", "128"}) << QList<Span>{Filled(0, 100), Filled(126976 - 9, 10)}
        << -1 << "Firmware update failed\n\nFlash File too large for Mega128";
}

void tst_upload::simulatorUpdate()
{
    QFETCH(QStringList, options);
    QFETCH(QList<Span>, spans);
    QFETCH(int, repeatedPage);
    QFETCH(QString, failure);

    ImageSettings image(spans);
    QVERIFY(image.written);
    const QString written = image.dir.filePath("written.bin");

    SimRig link(QStringList({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image",
                             written, "--software-after-update", "4.1.0"})
                + options);
    QVERIFY2(link.sim.comPort() > 0, qPrintable(link.sim.banner()));
    ConnectionRig &rig = link.rig;
    rig.conn.OpenConnection();
    QCOMPARE(rig.user.identification, QString(" SN: [00042]   SW: [4.0.1]"));
    TUploadForm form(rig.conn.Boot(), image.settings, nullptr);

    ModalAnswerer answer;
    form.show();
    Settle();
    QVERIFY(!rig.conn.Boot().UploadActive());
    Child<QPushButton>(form, "StartUploadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 30000);

    const QStringList lines = form.MessageLines();
    const quint32 high = form.Image().ImageHighAddress;
    const int pages = int(high / 256) + 1;
    if (repeatedPage >= 0)
        QCOMPARE(lines.count(QString("Sending Page #%1").arg(repeatedPage)), 3);
    QVERIFY(rig.conn.IsConnected());
    QVERIFY(!rig.conn.Boot().UploadActive());
    if (failure.isEmpty()) {
        QVERIFY(!answer.seen());
        QCOMPARE(lines.filter("Sending Page #").size(), pages + (repeatedPage >= 0 ? 2 : 0));
        const QString done = QString("Firmware updated: %1 bytes in %2 pages, ").arg(high + 1).arg(pages);
        QVERIFY2(lines.constLast().startsWith(done) && Updated.match(lines.constLast()).hasMatch(),
                 qPrintable(lines.constLast()));
        QVERIFY(rig.user.terminal.contains(lines.constLast().toLatin1() + "\r\n"));
        QTRY_VERIFY(QFile::exists(written));
        QFile image(written);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(image.readAll(), Flash(spans).left(pages * 256));
        // The device runs its new firmware and says so.
        QCOMPARE(rig.user.identification, QString(" SN: [00042]   SW: [4.1.0]"));
        if (options.contains("--greet-after-update"))
            QVERIFY(rig.user.terminal.contains("Mirto ready"));
    } else {
        QVERIFY(lines.contains("Flash Fail"));
        QVERIFY(lines.filter("Firmware updated").isEmpty());
        QCOMPARE(answer.allTexts(), QStringList({failure}));
        // Where the device is now, in the dialog and in the terminal.
        QCOMPARE(Child<QLineEdit>(form, "StatusText")->text(), Failed);
        QVERIFY2(rig.user.terminal.contains("Firmware update failed"), rig.user.terminal.constData());
        QVERIFY(rig.user.terminal.contains("the device stays in its boot loader until an update completes."));
        QVERIFY(!QFile::exists(written));
        QCOMPARE(rig.user.identification, QString("Serial Number Not Available"));
        QVERIFY(!rig.user.terminal.contains("Firmware updated"));
    }
    if (options.contains("128") && !failure.isEmpty()) {
        // Refused at the chip byte: not one page went out.
        QVERIFY(lines.contains("Mega128 detected"));
        QVERIFY(lines.contains("Flash File too large for Mega128"));
        QVERIFY(lines.filter("Sending Page #").isEmpty());
    }
}

// Escape in the middle of an update against the simulator at the line's own
// pace. No: the update completes and the image arrives byte for byte. Yes:
// the device's boot loader is stopped and the device is back on its text
// protocol, shown as not identified.
void tst_upload::simulatorStop_data()
{
    QTest::addColumn<bool>("stop");
    QTest::newRow("no") << false;
    QTest::newRow("yes") << true;
}

void tst_upload::simulatorStop()
{
    QFETCH(bool, stop);

    const QList<Span> spans = {Filled(0, 16 * 1024, 5)};
    ImageSettings image(spans);
    QVERIFY(image.written);
    const QString written = image.dir.filePath("written.bin");

    SimRig link({"--no-tcp", "--line-rate", "115200", "--page-size", "256", "--image", written,
                 "--software-after-update", "4.1.0"});
    QVERIFY2(link.sim.comPort() > 0, qPrintable(link.sim.banner()));
    ConnectionRig &rig = link.rig;
    rig.conn.OpenConnection();
    QCOMPARE(rig.user.identification, QString(" SN: [00042]   SW: [4.0.1]"));
    TUploadForm form(rig.conn.Boot(), image.settings, nullptr);
    form.show();
    Settle();
    Child<QPushButton>(form, "StartUploadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(form.MessageLines().contains("Sending Page #3"), 30000);

    QuestionAnswerer answer(stop ? QMessageBox::Yes : QMessageBox::No);
    ClickKey(&form, Qt::Key_Escape);
    QCOMPARE(answer.text(), StopQuestion);

    if (!stop) {
        QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 30000);
        QVERIFY(Updated.match(form.MessageLines().constLast()).hasMatch());
        QTRY_VERIFY(QFile::exists(written));
        QFile image(written);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(image.readAll(), Flash(spans).left(16 * 1024));
        QCOMPARE(rig.user.identification, QString(" SN: [00042]   SW: [4.1.0]"));
        return;
    }
    QVERIFY(form.isVisible());
    QCOMPARE(Child<QLineEdit>(form, "StatusText")->text(), Stopped);
    QCOMPARE(rig.user.identification, QString("Serial Number Not Available"));
    // The boot loader takes the abort and ends; the link is the terminal's.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.conn.Boot().UploadActive(), 5000);
    // The last words, after the boot loader's wind-down, in the dialog and in
    // the main window's terminal: where the device is, and how to recover.
    QCOMPARE(Child<QLineEdit>(form, "StatusText")->text(), Stopped);
    QVERIFY2(form.MessageLines().constLast().startsWith("The device stays in its boot loader until an "
                                                        "update completes. To recover"),
             qPrintable(form.MessageLines().constLast()));
    QVERIFY2(rig.user.terminal.contains("\r\nFirmware update stopped by the user: the device stays in its "
                                        "boot loader until an update completes.\r\n"),
             rig.user.terminal.constData());
    QVERIFY(rig.conn.ExchangeCommand("ver\n"));
    QVERIFY2(rig.conn.Reply().contains("Mirto V: 4.0.1"), rig.conn.Reply().constData());
    QVERIFY(!QFile::exists(written));
    QVERIFY(form.isVisible());
    form.reject();
    QVERIFY(!form.isVisible());
    QCOMPARE(rig.user.identification, QString("Serial Number Not Available"));
}

QTEST_MAIN(tst_upload)
#include "tst_upload.moc"
