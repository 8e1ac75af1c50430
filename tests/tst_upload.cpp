#include "firmware/Remove.h"
#include "firmware/Upload.h"
#include "links/SerialPortError.h"
#include "shell/DevicePorts.h"
#include "shell/ToolSettings.h"
#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace hexfix;

namespace {

// The serial link as the dialog sees it, scripted: bytes the device sends
// wait in `inbox` until read, everything the dialog does is recorded.
class FakeBootPort : public BootPort {
public:
    int interfaceType = InterfaceSerial;
    bool open = false;
    bool openFails = false;
    bool readFails = false;
    bool writeFails = false;
    std::function<void(int)> receiver;
    QByteArray inbox;
    QByteArray written;
    QByteArrayList commands;
    QStringList calls;

    int Interface() const override { return interfaceType; }
    int PortNumber() const override { return 7; }
    bool SetUploadReceiver(std::function<void(int)> r) override
    {
        receiver = std::move(r);
        return true;
    }
    bool UploadActive() const override { return bool(receiver); }
    bool PortOpen() const override { return open; }
    void OpenPort() override
    {
        calls << "open";
        if (openFails)
            throw SerialPortError(QStringLiteral("Specified device not found (COM7)."));
        open = true;
    }
    void ClosePort() override
    {
        calls << "close";
        open = false;
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
    void ReopenAfterUpdate(bool identify) override
    {
        calls << (identify ? "reopen and identify" : "reopen");
        open = true;
    }
    void ForgetIdentification() override { calls << "forget identification"; }
    void ShowInTerminal(const QByteArray &) override {}

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
        if (receiver && !inbox.isEmpty()) {
            const auto r = receiver;
            r(int(inbox.size()));
        }
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
    QString status() const { return Child<QLineEdit>(form, "StatusText")->text(); }
    QString fileField() const { return Child<QLineEdit>(form, "FlashFileName")->text(); }
    bool enabled(const char *name) const { return Child<QWidget>(form, name)->isEnabled(); }
    QPushButton *button(const char *name) const { return Child<QPushButton>(form, name); }
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
const QString TcpRefusal =
    QStringLiteral("Firmware update over TCP/IP not implemented yet.... Quitting....");

} // namespace

class tst_upload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlsAndCaptions();
    void activation_data();
    void activation();
    void activationOncePerShowing();
    void portOpenFailure();
    void uploadSpeedClamped_data();
    void uploadSpeedClamped();
    void speedChoiceStored();
    void browse_data();
    void browse();
    void browseArmsAfterFileError();
    void startWithReset();
    void startWithPowerCycle();
    void transfer_data();
    void transfer();
    void controlsLockedDuringTransfer();
    void failedReloadPausesStart();
    void linkErrors();
    void startNeedsAReadyDialog();
    void keys_data();
    void keys();
    void closing_data();
    void closing();
    void manyPagesStayCheap();
    void powerPrompt();
    void closeSendsEndOverRealPort();
    void simulatorUpdate_data();
    void simulatorUpdate();
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
        QCOMPARE(b->text(), text);
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

// Each showing: the file is loaded first, then the interface decides.
void tst_upload::activation_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no such file
    QTest::addColumn<int>("interfaceType");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("keepsName");
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("lastMessage");

    const QByteArray good = HexText({Filled(0, 300)});
    const QByteArray bad = Join({Record(0, 0, "ab"), ":0000", EndRecord});
    const QByteArray large = HexText({Filled(0, 16), Filled(258048, 1)});
    QTest::newRow("good file, serial") << good << int(InterfaceSerial) << Ready << true << true
                                       << QString() << "Flash Hex File OK 300 Bytes";
    QTest::newRow("good file, usb") << good << int(InterfaceUsb) << Ready << true << true
                                    << QString() << "Flash Hex File OK 300 Bytes";
    QTest::newRow("no file") << QByteArray() << int(InterfaceSerial) << "Error in Flash File"
                             << false << false << QString() << "Unable to open Hex File";
    QTest::newRow("bad line") << bad << int(InterfaceSerial) << "Error in Flash File" << false
                              << false << QString() << "Error in Flash Hex File Line 2";
    QTest::newRow("too large") << large << int(InterfaceSerial) << "Flash File too large" << true
                               << false << QString()
                               << "Error in Flash Hex File. Size exceeds 252KB (258048 B). Size "
                                  "= 258049 Bytes";
    // The file is looked at before the interface: a bad file keeps the dialog open.
    QTest::newRow("bad file, network") << bad << int(InterfaceNetwork) << "Error in Flash File"
                                       << false << false << QString()
                                       << "Error in Flash Hex File Line 2";
    QTest::newRow("good file, network") << good << int(InterfaceNetwork) << QString() << true
                                        << false << TcpRefusal << "Flash Hex File OK 300 Bytes";
}

void tst_upload::activation()
{
    QFETCH(QByteArray, file);
    QFETCH(int, interfaceType);
    QFETCH(QString, status);
    QFETCH(bool, keepsName);
    QFETCH(bool, armed);
    QFETCH(QString, box);
    QFETCH(QString, lastMessage);

    Rig rig;
    rig.port.interfaceType = interfaceType;
    const QString path = file.isEmpty() ? rig.dir.filePath("missing.hex")
                                        : rig.writeFile("image.hex", file);
    ModalAnswerer answer;
    rig.open(path);

    QCOMPARE(answer.allTexts().join('|'), box);
    QCOMPARE(rig.status(), status);
    QCOMPARE(rig.form.MessageLines().constLast(), lastMessage);
    QCOMPARE(rig.fileField(), keepsName ? path : QString());
    QCOMPARE(rig.settings.written.BootFile, keepsName ? path : QString());
    QCOMPARE(rig.port.UploadActive(), armed);
    // A refused showing hands the link back, which opens it again.
    QCOMPARE(rig.port.open, armed || !box.isEmpty());
    if (box.isEmpty()) {
        QVERIFY(rig.form.isVisible());
        QVERIFY(rig.form.Activated);
        QCOMPARE(rig.port.calls.contains("open"), armed);
    } else {
        // Refused: closed at once, and the link handed back as the Open
        // command does.
        QVERIFY(!rig.form.isVisible());
        QVERIFY(!rig.form.Activated);
        QVERIFY(!rig.port.calls.contains("open"));
        QCOMPARE(rig.port.calls.mid(rig.port.calls.indexOf("close")), QStringList({"close", "reopen"}));
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
    QVERIFY(!rig.port.UploadActive());
    rig.form.show();
    Settle();
    QCOMPARE(rig.form.MessageLines(),
             QStringList({"Open Flash Hex File", "Flash Hex File OK 40 Bytes"}));
    QVERIFY(rig.port.UploadActive());
}

void tst_upload::portOpenFailure()
{
    Rig rig;
    rig.port.openFails = true;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 40)}));
    ModalAnswerer answer;
    rig.open(path);
    QCOMPARE(answer.allTexts(), QStringList({"Specified device not found (COM7)."}));
    // The rest of the activation is skipped; the flag is set and closing clears it.
    QCOMPARE(rig.status(), QString());
    QVERIFY(rig.port.UploadActive());
    rig.form.reject();
    QVERIFY(!rig.port.UploadActive());
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
    // Browse leaves the port to the dialog as it was.
    QVERIFY(rig.port.UploadActive());
    QCOMPARE(rig.port.calls.count("open"), 1);
}

void tst_upload::browseArmsAfterFileError()
{
    Rig rig;
    rig.open(rig.dir.filePath("missing.hex"));
    QCOMPARE(rig.status(), QString("Error in Flash File"));
    QVERIFY(!rig.port.UploadActive());
    // Bytes reach the terminal, not the dialog, until a good file is chosen.
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray());

    const QString good = rig.writeFile("good.hex", HexText({Filled(0, 10)}));
    AnswerFileDialog(good);
    rig.button("BrowseButton")->click();
    QVERIFY(rig.port.UploadActive());
    QVERIFY(rig.port.open);
    QCOMPARE(rig.status(), Ready);
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Flash File Selected"));

    rig.port.inbox.clear();
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray("<"));
}

void tst_upload::startWithReset()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 10)})));
    auto *timer1 = rig.form.findChild<QTimer *>("Timer1");
    timer1->setInterval(20);
    ModalAnswerer answer;
    rig.button("StartUploadButton")->click();
    QCOMPARE(rig.port.commands, QByteArrayList({"reset\n", "reset\n"}));
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Resetting device...\r\n"));
    QCOMPARE(rig.status(), QString("Waiting for start-token from device"));
    QVERIFY(timer1->isActive());
    QTRY_COMPARE(answer.allTexts(), QStringList({NoToken}));
    QVERIFY(!timer1->isActive());

    // A late start token is still taken.
    rig.port.deliver(">");
    QCOMPARE(rig.port.written, QByteArray("<"));
    QCOMPARE(rig.status(), QString("starting procedure.... please wait"));

    // The token in time: no warning.
    Rig second;
    second.open(second.writeFile("image.hex", HexText({Filled(0, 10)})));
    ModalAnswerer none;
    second.form.findChild<QTimer *>("Timer1")->setInterval(20);
    second.button("StartUploadButton")->click();
    second.port.deliver(">");
    QTest::qWait(60);
    QVERIFY(!none.seen());
}

void tst_upload::startWithPowerCycle()
{
    Rig rig;
    rig.settings.settings.UploadSpeed = 1;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 10)})));
    TRemoveForm *prompt = rig.form.PowerPrompt();
    // The prompt's own Close button only closes the prompt.
    QTimer::singleShot(30, prompt, [prompt] { prompt->findChild<QPushButton *>("CloseButton")->click(); });
    rig.button("StartUploadButton")->click();
    QVERIFY(!prompt->isVisible());
    QVERIFY(rig.form.isVisible());

    bool shownWhenTokenCame = false;
    // The user power-cycles the device while the prompt is up: the start
    // token closes it from inside its own loop.
    QTimer::singleShot(30, &rig.form, [&] {
        shownWhenTokenCame = prompt->isVisible();
        rig.port.deliver(">");
    });
    rig.button("StartUploadButton")->click();
    QVERIFY(shownWhenTokenCame);
    QVERIFY(!prompt->isVisible());
    QCOMPARE(rig.port.commands, QByteArrayList());
    QCOMPARE(rig.port.written, QByteArray("<"));
}

// A whole transfer through the dialog, the device's bytes in one notification
// or one per byte; bytes after ']' stay in the port for the terminal.
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
    rig.port.deliver(QByteArray("?>J") + sizeByte + "^", oneByOne);
    QCOMPARE(rig.port.written, QByteArray("<"));
    QCOMPARE(rig.status(), QString("Erasing flash.... please wait"));
    rig.port.deliver("*" + QByteArray(int(pages) + 1, '!') + "%]XY", oneByOne);

    QCOMPARE(rig.port.written,
             "<" + Frames(Flash(spans), high, pageSize) + EndMarker + LockBits);
    const QStringList lines = rig.form.MessageLines();
    QCOMPARE(lines.filter("Sending Page #").size(), int(pages));
    QCOMPARE(lines.mid(lines.size() - 3),
             QStringList({QString("Sending Page #%1").arg(pages - 1), "Programming Lockbits...",
                          "All done...."}));
    QVERIFY(lines.contains("Mega256 detected"));
    auto *progress = Child<QProgressBar>(rig.form, "ProgressBar");
    QCOMPARE(progress->maximum(), int(qMax(1u, high / pageSize)));
    QCOMPARE(progress->value(), int(pages - 1));

    // ']' ends the conversation; the rest is not the boot loader's.
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.inbox, QByteArray("XY"));
    QTRY_VERIFY(!rig.form.isVisible());
    QVERIFY(!answer.seen());
    QCOMPARE(rig.port.calls.mid(rig.port.calls.lastIndexOf("close")),
             QStringList({"close", "reopen"}));
}

void tst_upload::controlsLockedDuringTransfer()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 600)})));
    const auto locked = [&rig] {
        return !rig.enabled("BrowseButton") && !rig.enabled("FlashFileName")
               && !rig.enabled("StartUploadButton");
    };
    const auto free = [&rig] {
        return rig.enabled("BrowseButton") && rig.enabled("FlashFileName")
               && rig.enabled("StartUploadButton");
    };
    QVERIFY(free());
    rig.port.deliver(">JT!");
    QVERIFY(locked());
    // Start is ignored meanwhile, also through the key.
    rig.form.StartUploadButtonClicked();
    QCOMPARE(rig.port.commands, QByteArrayList());
    rig.port.deliver("!!!");
    QVERIFY(free());

    // A new start token locks again; the abort frees.
    ModalAnswerer answer;
    rig.port.deliver(">!@@@");
    QVERIFY(locked());
    rig.port.deliver("@");
    QVERIFY(free());
    QCOMPARE(rig.status(), QString("Errors occured aborted..."));
    QCOMPARE(rig.form.MessageLines().constLast(), QString("Flash Fail"));
    QVERIFY(rig.port.written.endsWith(EndMarker + QByteArray(300, '-')));

    // ']' after an abort is a failure, never a success.
    rig.port.deliver("%]");
    QVERIFY(!rig.form.MessageLines().contains("All done...."));
    QTRY_VERIFY(!rig.form.isVisible());
    QCOMPARE(answer.allTexts().size(), 1);
    QVERIFY(answer.text().startsWith("Firmware update failed"));
}

void tst_upload::failedReloadPausesStart()
{
    Rig rig;
    const QString path = rig.writeFile("image.hex", HexText({Filled(0, 40)}));
    rig.open(path);
    rig.form.findChild<QTimer *>("Timer2")->setInterval(30);
    rig.port.deliver(">JT!");
    const QByteArray before = rig.port.written;

    // The file turns bad before the next start token: nothing goes out, not
    // even '<', and the waiting bytes stay in the port.
    rig.writeFile("image.hex", ":0100000000FE\r\n");
    rig.port.deliver(">!!");
    QCOMPARE(rig.port.written, before);
    QCOMPARE(rig.port.inbox, QByteArray("!!"));
    QCOMPARE(rig.status(), QString("Error in Flash File"));
    QVERIFY(!rig.enabled("StartUploadButton"));
    QTRY_VERIFY(rig.enabled("StartUploadButton"));
    // Accepted again, but nothing is answered before a good start token.
    rig.port.notify();
    QCOMPARE(rig.port.inbox, QByteArray());
    QCOMPARE(rig.port.written, before);
}

// A link that fails under the transfer ends it with a message.
void tst_upload::linkErrors()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 600)})));
    rig.port.deliver(">JT!");
    rig.port.writeFails = true;
    rig.port.deliver("!");
    QVERIFY(rig.form.MessageLines().contains("Output buffer is full. Please check comm status."));
    QCOMPARE(rig.status(), QString("Errors occured aborted..."));
    QVERIFY(rig.enabled("StartUploadButton"));

    rig.port.writeFails = false;
    rig.port.deliver(">JT!");
    QVERIFY(!rig.enabled("StartUploadButton"));
    rig.port.readFails = true;
    ModalAnswerer answer;
    rig.port.deliver("!");
    QTRY_COMPARE(answer.allTexts(), QStringList({"The device went away"}));
    QVERIFY(rig.form.isVisible());
    // A line that cannot be read ends the transfer: the user can start over.
    QCOMPARE(rig.status(), QString("Errors occured aborted..."));
    QVERIFY(rig.enabled("StartUploadButton") && rig.enabled("BrowseButton"));

    // The device unplugged in the middle of a transfer: the same, at once.
    rig.port.readFails = false;
    rig.port.deliver(">JT!");
    QVERIFY(!rig.enabled("StartUploadButton"));
    rig.port.receiver(-1);
    QVERIFY(rig.form.MessageLines().contains("Device disconnected"));
    QCOMPARE(rig.status(), QString("Errors occured aborted..."));
    QVERIFY(rig.enabled("StartUploadButton") && rig.enabled("BrowseButton"));
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

    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QString();
    for (const QChar c : events) {
        const bool press = c.toLower() == 'p';
        QKeyEvent event(press ? QEvent::KeyPress : QEvent::KeyRelease, key, Qt::NoModifier, text,
                        c.isUpper());
        QApplication::sendEvent(target, &event);
    }
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
    QTest::addColumn<QByteArray>("device"); // what the boot loader said before
    QTest::addColumn<QByteArray>("tail");   // the dialog's last bytes
    QTest::addColumn<bool>("waiting");      // Start left Timer1 running

    const QByteArray done = ">JT!!";
    QTest::newRow("close button after the end") << "button" << done << QByteArray(";") << true;
    QTest::newRow("escape after the end") << "escape" << done << QByteArray() << true;
    QTest::newRow("close box after the end") << "closebox" << done << QByteArray() << true;
    // Start is not taken while a transfer runs.
    QTest::newRow("close button mid transfer") << "button" << QByteArray(">JT!") << QByteArray()
                                               << false;
    QTest::newRow("close button, nothing started") << "button" << QByteArray() << QByteArray()
                                                   << true;
}

void tst_upload::closing()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, tail);
    QFETCH(bool, waiting);

    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 200)})));
    rig.port.deliver(device);
    rig.button("StartUploadButton")->click();
    auto *timer1 = rig.form.findChild<QTimer *>("Timer1");
    QCOMPARE(timer1->isActive(), waiting);
    const qsizetype before = rig.port.written.size();
    rig.port.calls.clear();

    if (how == "button") {
        rig.button("CancelButton")->click();
    } else if (how == "escape") {
        rig.form.setFocus();
        QTest::keyClick(&rig.form, Qt::Key_Escape);
    } else {
        rig.form.close();
    }
    QVERIFY(!rig.form.isVisible());
    QCOMPARE(rig.port.written.mid(before), tail);
    QVERIFY(!timer1->isActive());
    QVERIFY(!rig.port.UploadActive());
    QCOMPARE(rig.port.calls, QStringList({"close", "reopen"}));
    QVERIFY(!rig.form.Activated);
    QVERIFY(rig.enabled("StartUploadButton") && rig.enabled("BrowseButton"));

    // The end stays known in the next showing: its Close button tells it,
    // however the first showing was closed.
    rig.form.show();
    Settle();
    rig.port.written.clear();
    rig.button("CancelButton")->click();
    QCOMPARE(rig.port.written, device == ">JT!!" ? QByteArray(";") : QByteArray());
}

// Thousands of pages: the list is complete, drawn in batches, and shows the
// newest line once the event loop has run.
void tst_upload::manyPagesStayCheap()
{
    Rig rig;
    rig.open(rig.writeFile("image.hex", HexText({Filled(0, 258048)})));
    rig.port.deliver(">JQ");
    QElapsedTimer clock;
    clock.start();
    for (int page = 0; page < 8064; ++page)
        rig.port.deliver("!");
    const qint64 ms = clock.elapsed();
    rig.port.deliver("!");
    QCOMPARE(rig.port.written.size(), 1 + 8064 * 35 + 2);
    const QStringList lines = rig.form.MessageLines();
    QCOMPARE(lines.filter("Sending Page #").size(), 8064);
    auto *list = Child<QListWidget>(rig.form, "MessageList");
    QTRY_COMPARE(list->count(), lines.size());
    QCOMPARE(list->currentRow(), list->count() - 1);
    QCOMPARE(list->selectedItems().value(0)->text(), QString("Sending Page #8063"));
    QCOMPARE(Child<QProgressBar>(rig.form, "ProgressBar")->value(), 8063);
    // Generous: a list or bar redrawn per page would take seconds here.
    QVERIFY2(ms < 3000, qPrintable(QString("%1 ms for 8064 pages").arg(ms)));
}

void tst_upload::powerPrompt()
{
    TRemoveForm prompt;
    QTimer::singleShot(0, &prompt, [&prompt] { prompt.CloseButtonClick(); });
    prompt.exec();
    QVERIFY(!prompt.isVisible());
}

// The real connection on a pseudo-terminal: after the end marker the Close
// button sends ';' (also in a later showing) and the port is reopened
// without identifying the device.
void tst_upload::closeSendsEndOverRealPort()
{
    StartDirectoryEnv env;
    PtyDevice device;
    QVERIFY(device.isValid());
    ConnectionRig rig;
    rig.conn.VaComm().SetPortNum(device.registerAs());
    FakeSettings settings;
    settings.settings.UploadSpeed = 3;
    QTemporaryDir dir;
    const QString path = dir.filePath("image.hex");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(HexText({Filled(0, 100)}));
    file.close();
    settings.settings.BootFile = path;

    TUploadForm form(rig.conn.Boot(), settings, nullptr);
    form.show();
    Settle();
    QVERIFY(rig.conn.Boot().PortOpen());
    QVERIFY(rig.conn.Boot().UploadActive());

    device.write(">JT!");
    QCOMPARE(device.read(2000, 1 + 259), "<" + Frames(Flash({Filled(0, 100)}), 99, 256));
    device.write("!");
    QCOMPARE(device.read(2000, 2), EndMarker);

    Child<QPushButton>(form, "CancelButton")->click();
    QVERIFY(!form.isVisible());
    QCOMPARE(device.read(1000, 1), QByteArray(";"));
    QVERIFY(rig.conn.Boot().PortOpen());
    QVERIFY(rig.conn.IsConnected());
    QVERIFY(!rig.conn.Boot().UploadActive());
    // No "snum" or "ver": the device is not asked who it is.
    QCOMPARE(device.read(300, 1), QByteArray());

    form.show();
    Settle();
    Child<QPushButton>(form, "CancelButton")->click();
    QCOMPARE(device.read(1000, 1), QByteArray(";"));
}

// End to end against the simulator's boot loader on a pseudo-terminal.
void tst_upload::simulatorUpdate_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("completes");
    QTest::addColumn<int>("repeatedPage"); // -1: none

    QTest::newRow("full update") << QStringList() << true << -1;
    QTest::newRow("refused page repeated")
        << QStringList({"--refuse", "5", "--refuse-times", "2"}) << true << 5;
    QTest::newRow("fourth repeat aborts")
        << QStringList({"--refuse", "2,9", "--refuse-times", "2"}) << false << 9;
}

void tst_upload::simulatorUpdate()
{
    QFETCH(QStringList, options);
    QFETCH(bool, completes);
    QFETCH(int, repeatedPage);

    StartDirectoryEnv env;
    QTemporaryDir dir;
    // Data below and above 64 KB, with a gap that goes out as FF.
    const QList<Span> spans = {Filled(0, 5000), Filled(0x10000 - 100, 300, 3)};
    const QString hexPath = dir.filePath("image.hex");
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexText(spans));
    hex.close();
    const QString written = dir.filePath("written.bin");

    SimProcess sim(QStringList({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image",
                                written})
                   + options);
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig;
    rig.conn.VaComm().SetPortNum(sim.comPort());
    FakeSettings settings;
    settings.settings.UploadSpeed = 3;
    settings.settings.BootFile = hexPath;
    TUploadForm form(rig.conn.Boot(), settings, nullptr);

    ModalAnswerer answer;
    form.show();
    Settle();
    QVERIFY(rig.conn.Boot().UploadActive());
    Child<QPushButton>(form, "StartUploadButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 30000);

    const QStringList lines = form.MessageLines();
    const quint32 high = 0x10000 - 100 + 300 - 1;
    const int pages = int(high / 256) + 1;
    if (repeatedPage >= 0)
        QCOMPARE(lines.count(QString("Sending Page #%1").arg(repeatedPage)), 3);
    QVERIFY(rig.conn.IsConnected());
    QVERIFY(!rig.conn.Boot().UploadActive());
    if (completes) {
        QVERIFY(!answer.seen());
        QCOMPARE(lines.filter("Sending Page #").size(), pages + (repeatedPage >= 0 ? 2 : 0));
        QCOMPARE(lines.constLast(), QString("All done...."));
        QTRY_VERIFY(QFile::exists(written));
        QFile image(written);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(image.readAll(), Flash(spans).left(pages * 256));
    } else {
        QVERIFY(lines.contains("Flash Fail"));
        QVERIFY(!lines.contains("All done...."));
        QCOMPARE(answer.allTexts().size(), 1);
        QVERIFY(answer.text().startsWith("Firmware update failed"));
        QVERIFY(!QFile::exists(written));
    }
}

QTEST_MAIN(tst_upload)
#include "tst_upload.moc"
