#include "core/AuditTrail.h"
#include "desktop/config/Addch.h"
#include "core/config/ConfigFile.h"
#include "desktop/config/Configure.h"
#include "core/config/DeviceConfig.h"
#include "core/config/Programming.h"
#include "desktop/fields/AcIPEdit.h"
#include "core/DevicePorts.h"
#include "desktop/Mnemonic.h"
#include "core/ToolSettings.h"
#include "tests/TestHelpers.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolTip>
#include <QWindow>
#include <QCryptographicHash>
#include <QtTest>

#include <deque>
#include <memory>

namespace {

// The dialog's view of the link: every command counts as answered.
class FakePort : public CommandPort {
public:
    bool connected = true;
    QList<QByteArray> sent;

    bool IsConnected() const override { return connected; }
    int Interface() const override { return InterfaceSerial; }
    void OpenConnection() override {}
    bool SendCommand(const QByteArray &text) override
    {
        sent << text;
        return true;
    }
    bool ExchangeCommand(const QByteArray &text) override
    {
        sent << text;
        return true;
    }
    QByteArray Reply() const override { return QByteArrayLiteral(">"); }
};

// The main window as the dialog sees it.
class FakeHost : public ConfigHost {
public:
    ToolSettings settings;
    QStringList status;
    QStringList madeCurrent;
    bool loaded = false;

    ToolSettings &Settings() override { return settings; }
    void WriteSettings() override {}
    void AddStatus(const QString &text) override { status << text; }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    QByteArray DeviceSerialNumber() const override { return QByteArrayLiteral("1A2B3"); }
    bool ConfigFileLoaded() const override { return loaded; }
    QString StartDirectory() const override { return QDir::currentPath(); }
    void ConfigFileIsCurrent(const QString &path) override
    {
        madeCurrent << path;
        settings.ConfigFile = path;
        loaded = true;
    }
};

// Answers the modal windows that the code under test opens, one step per
// window in the order they come. Each action runs from a fresh event so that
// a window it opens in turn can be answered as well.
class ModalScript {
public:
    using Action = std::function<void(QWidget *)>;

    ModalScript() : m_state(std::make_shared<State>())
    {
        auto state = m_state;
        m_timer = new QTimer(qApp);
        m_timer->setInterval(5);
        QObject::connect(m_timer, &QTimer::timeout, m_timer, [state] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || modal == state->handled || state->steps.empty())
                return;
            state->handled = modal;
            Action action = state->steps.front();
            state->steps.pop_front();
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                state->texts << box->text();
            QPointer<QWidget> target(modal);
            QTimer::singleShot(0, modal, [target, action] {
                if (target)
                    action(target);
            });
        });
        m_timer->start();
    }
    ~ModalScript() { delete m_timer; }

    ModalScript &then(Action action)
    {
        m_state->steps.push_back(std::move(action));
        return *this;
    }
    // Presses a button of the next message box.
    ModalScript &press(QMessageBox::StandardButton button)
    {
        return then([button](QWidget *w) {
            if (auto *box = qobject_cast<QMessageBox *>(w))
                box->button(button)->click();
        });
    }
    ModalScript &key(Qt::Key key)
    {
        return then([key](QWidget *w) { QTest::keyClick(w, key); });
    }
    ModalScript &closeBox()
    {
        return then([](QWidget *w) { w->close(); });
    }
    QStringList texts() const { return m_state->texts; }
    bool done() const { return m_state->steps.empty(); }

private:
    struct State {
        std::deque<Action> steps;
        QPointer<QWidget> handled;
        QStringList texts;
    };
    std::shared_ptr<State> m_state;
    QTimer *m_timer = nullptr;
};

// Types `text` key by key, letters beyond ASCII included (keyClicks knows
// only ASCII keys).
void typeText(QWidget *widget, const QString &text)
{
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

void setChannels(DeviceConfigRecord &config, int count)
{
    for (int i = 0; i < count; ++i) {
        config.Channels[size_t(i)].Name.set("Name" + QByteArray::number(i + 1));
        config.Channels[size_t(i)].Url.set("http://h/" + QByteArray::number(i + 1));
    }
}

QByteArrayList channelNames(const DeviceConfigRecord &config)
{
    QByteArrayList names;
    for (const ConfigChannel &c : config.Channels)
        names << c.Name.value();
    while (!names.isEmpty() && names.last().isEmpty())
        names.removeLast();
    return names;
}

} // namespace

class TestConfigure : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<StartDirectoryEnv> m_env;
    std::unique_ptr<QWidget> m_mainWindow;
    std::unique_ptr<FakePort> m_port;
    std::unique_ptr<FakeHost> m_host;
    TAddChannelForm *m_add = nullptr;
    std::unique_ptr<TConfigForm> m_form;
    QStringList m_chosenFiles;

    template <class T>
    T *child(const char *name) const
    {
        T *w = m_form->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    QTabWidget *pages() const { return child<QTabWidget>("PageControl"); }
    QLineEdit *field(const char *name) const { return child<QLineEdit>(name); }

    // Opens the dialog as the main window does and waits until it is active.
    void open()
    {
        m_form->show();
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    }
    // Programs a record of mode 1 and type T, confirming the outcome's box;
    // what the boxes said.
    QStringList programModeOne()
    {
        DeviceConfig.Mode.set("1");
        DeviceConfig.Type.set("T");
        open();
        ModalScript script;
        script.press(QMessageBox::Ok);
        child<QPushButton>("Button2")->click();
        return script.texts();
    }
    void activate(QWidget *w)
    {
        w->activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), w->windowHandle());
    }

private Q_SLOTS:
    void init()
    {
        m_env = std::make_unique<StartDirectoryEnv>();
        ResetConfigRecord(DeviceConfig);
        m_mainWindow = std::make_unique<QWidget>();
        m_mainWindow->setObjectName(QStringLiteral("MainForm"));
        m_mainWindow->resize(200, 100);
        m_mainWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_mainWindow.get()));
        m_port = std::make_unique<FakePort>();
        m_host = std::make_unique<FakeHost>();
        m_add = new TAddChannelForm(m_mainWindow.get());
        m_form = std::make_unique<TConfigForm>(*m_port, *m_host, m_add, m_mainWindow.get());
        m_chosenFiles.clear();
        m_form->ChooseFile = [this](QWidget *, const FileDialogRequest &) {
            return m_chosenFiles.isEmpty() ? QString() : m_chosenFiles.takeFirst();
        };
    }

    void cleanup()
    {
        m_form.reset();
        m_mainWindow.reset();
        m_port.reset();
        m_host.reset();
        m_env.reset();
    }

    // ---- Refresh and layouts ------------------------------------------

    void refreshLayout_data()
    {
        QTest::addColumn<char>("restriction");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("webMethod");
        QTest::addColumn<QByteArray>("network");
        QTest::addColumn<QString>("visiblePages"); // page indexes shown
        QTest::addColumn<QString>("ticked");       // type and mode buttons that are on
        QTest::addColumn<QByteArray>("storedType");
        QTest::addColumn<QByteArray>("storedWebMethod");
        QTest::addColumn<QByteArray>("storedNetwork");
        QTest::addColumn<QString>("channelCaption");
        QTest::addColumn<QString>("subPages"); // ISP, IP sub-pages shown

        // Every row is refreshed after a mode 2 / TE / DHCP / database
        // record, so buttons that are already on must still store their
        // value.
        QTest::newRow("reset record") << 'N' << QByteArray() << QByteArray("1") << QByteArray("D")
                                      << QByteArray() << "0145" << "Mode1" << QByteArray()
                                      << QByteArray("D") << QByteArray("D") << " Channels" << "II";
        QTest::newRow("restriction E over T") << 'E' << QByteArray("T") << QByteArray("1")
                                              << QByteArray("D") << QByteArray("F") << "1245"
                                              << "TypeE Mode1" << QByteArray("E") << QByteArray("D")
                                              << QByteArray("F") << " Channels" << "-I";
        QTest::newRow("mode 1 T") << 'N' << QByteArray("T") << QByteArray("1") << QByteArray("D")
                                  << QByteArray("D") << "0145" << "TypeT Mode1" << QByteArray("T")
                                  << QByteArray("D") << QByteArray("D") << " Channels" << "I-";
        QTest::newRow("mode 2 T web file") << 'N' << QByteArray("T") << QByteArray("2")
                                           << QByteArray("F") << QByteArray("D") << "01234567"
                                           << "TypeT Mode2" << QByteArray("T") << QByteArray("F")
                                           << QByteArray("D") << " Web File Channels" << "I-";
        QTest::newRow("mode 2 unknown web method") << 'N' << QByteArray("TE") << QByteArray("2")
                                                   << QByteArray("X") << QByteArray("D") << "012457"
                                                   << "TypeTE Mode2" << QByteArray("TE")
                                                   << QByteArray("D") << QByteArray("D")
                                                   << " Channels" << "II";
        QTest::newRow("mode 3 E fixed") << 'N' << QByteArray("E") << QByteArray("3")
                                        << QByteArray("D") << QByteArray("F") << "0123457"
                                        << "TypeE Mode3" << QByteArray("E") << QByteArray("D")
                                        << QByteArray("F") << " Channels" << "-I";
        QTest::newRow("mode 3x, empty network") << 'N' << QByteArray("TE") << QByteArray("3x")
                                                << QByteArray("D") << QByteArray() << "0123457"
                                                << "TypeTE Mode3" << QByteArray("TE")
                                                << QByteArray("D") << QByteArray("D") << " Channels"
                                                << "II";
        // A value no button stands for leaves every button of its group off.
        QTest::newRow("lower-case type") << 'N' << QByteArray("e") << QByteArray("2")
                                         << QByteArray("D") << QByteArray("D") << "012457"
                                         << "Mode2" << QByteArray("e") << QByteArray("D")
                                         << QByteArray("D") << " Channels" << "II";
        QTest::newRow("no valid mode") << 'N' << QByteArray("TE") << QByteArray("4")
                                       << QByteArray("D") << QByteArray("D") << "012457"
                                       << "TypeTE" << QByteArray("TE") << QByteArray("D")
                                       << QByteArray("D") << " Channels" << "II";
    }

    void refreshLayout()
    {
        QFETCH(char, restriction);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, webMethod);
        QFETCH(QByteArray, network);
        QFETCH(QString, visiblePages);
        QFETCH(QString, ticked);
        QFETCH(QByteArray, storedType);
        QFETCH(QByteArray, storedWebMethod);
        QFETCH(QByteArray, storedNetwork);
        QFETCH(QString, channelCaption);
        QFETCH(QString, subPages);

        DeviceConfig.Mode.set("2");
        DeviceConfig.Type.set("TE");
        DeviceConfig.Network.set("D");
        DeviceConfig.WebMethod.set("D");
        m_form->ConfigFormActivate();

        m_host->settings.TypeRestriction = restriction;
        DeviceConfig.Type.set(type);
        DeviceConfig.Mode.set(mode);
        DeviceConfig.WebMethod.set(webMethod);
        DeviceConfig.Network.set(network);
        m_form->ConfigFormActivate();

        QString shown;
        for (int i = 0; i < pages()->count(); ++i) {
            if (pages()->isTabVisible(i))
                shown += QString::number(i);
        }
        QCOMPARE(shown, visiblePages);

        QStringList on;
        for (const char *name : {"TypeERadioButton", "TypeTRadioButton", "TypeTERadioButton",
                                 "Mode1RadioButton", "Mode2RadioButton", "Mode3RadioButton"}) {
            if (child<QRadioButton>(name)->isChecked())
                on << QString::fromLatin1(name).remove(QStringLiteral("RadioButton"));
        }
        QCOMPARE(on.join(QLatin1Char(' ')), ticked);

        QCOMPARE(DeviceConfig.Type.value(), storedType);
        QCOMPARE(DeviceConfig.WebMethod.value(), storedWebMethod);
        QCOMPARE(DeviceConfig.Network.value(), storedNetwork);
        QCOMPARE(pages()->tabText(TConfigForm::ChannelPage), channelCaption);
        QCOMPARE(child<QGroupBox>("ChannelSettingsGroupBox")->title(),
                 channelCaption == " Web File Channels"
                     ? QStringLiteral("Channel Settings (will be stored in Web File)")
                     : QStringLiteral("Channel Settings"));
        const bool webMethodShown = !child<QGroupBox>("WebMethodRadioGroup")->isHidden();
        // Without a valid mode the layout stays as it was (mode 2 here).
        QCOMPARE(webMethodShown, ValidMode(DeviceConfig) == 2 || ValidMode(DeviceConfig) == 0);
        if (webMethodShown) {
            QCOMPARE(child<QCheckBox>("UseWebFileCheckBox")->isChecked(), storedWebMethod == "F");
            QCOMPARE(child<QCheckBox>("UseWebDBCheckBox")->isChecked(), storedWebMethod == "D");
        }
        auto *sub = child<QTabWidget>("SubPageControl");
        const QString subShown = QString(sub->isTabVisible(TConfigForm::IspSubPage) ? u'I' : u'-')
                                 + QString(sub->isTabVisible(TConfigForm::IpSubPage) ? u'I' : u'-');
        QCOMPARE(subShown, subPages);
        QCOMPARE(child<QRadioButton>("DHCPRadioButton")->isChecked(), storedNetwork == "D");
        QCOMPARE(child<QRadioButton>("IPAddressRadioButton")->isChecked(), storedNetwork == "F");
        QCOMPARE(m_form->findChild<TacIPEdit *>(QStringLiteral("IPacIPEdit"))->isEnabled(),
                 storedNetwork == "F");
    }

    void opensOnProgramPageWithCaption()
    {
        open();
        QCOMPARE(pages()->currentIndex(), int(TConfigForm::ProgramPage));
        QCOMPARE(child<QTabWidget>("SubPageControl")->currentIndex(), int(TConfigForm::IpSubPage));
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Configure Mirto (no configuration file loaded)"));
        QCOMPARE(child<QLabel>("ConfigFileStaticText")->text(),
                 QStringLiteral(" No configuration file loaded "));
        QVERIFY(child<QTextEdit>("AllRichEdit")->toPlainText().contains("Mode is set to 1"));
        m_host->loaded = true;
        m_host->settings.ConfigFile = QStringLiteral("/x/a.cfg");
        m_form->ConfigFormActivate();
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Configure Mirto"));
        QCOMPARE(child<QLabel>("ConfigFileStaticText")->text(), QStringLiteral(" /x/a.cfg"));
    }

    void everyControlHasAnAccessibleName()
    {
        auto widgets = m_form->findChildren<QWidget *>();
        widgets += m_add->findChildren<QWidget *>();
        for (QWidget *w : std::as_const(widgets)) {
            if (qobject_cast<QAbstractButton *>(w) || qobject_cast<QLineEdit *>(w)
                || qobject_cast<QTextEdit *>(w) || qobject_cast<TacIPEdit *>(w)) {
                if (qobject_cast<TacIPEdit *>(w->parentWidget()))
                    continue;
                QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
            }
        }
        auto buttons = m_form->findChildren<QPushButton *>();
        buttons += m_add->findChildren<QPushButton *>();
        for (QPushButton *b : std::as_const(buttons))
            QVERIFY2(!b->autoDefault() && !b->isDefault(), qPrintable(b->objectName()));
    }

    // ---- Handlers --------------------------------------------------------

    void typeAndWebMethodClicks()
    {
        m_form->ConfigFormActivate();
        // Mode 1: a telephone-only device has no network page.
        child<QRadioButton>("TypeTRadioButton")->click();
        QVERIFY(!pages()->isTabVisible(TConfigForm::NetworkPage));
        child<QRadioButton>("Mode2RadioButton")->click();
        QCOMPARE(DeviceConfig.Mode.value(), QByteArray("2"));
        QVERIFY(pages()->isTabVisible(TConfigForm::NetworkPage));
        child<QRadioButton>("TypeERadioButton")->click();
        child<QRadioButton>("TypeTRadioButton")->click();
        auto *sub = child<QTabWidget>("SubPageControl");
        QVERIFY(sub->isTabVisible(TConfigForm::IspSubPage));
        QVERIFY(!sub->isTabVisible(TConfigForm::IpSubPage));
        QVERIFY(child<QRadioButton>("DHCPRadioButton")->isHidden());

        auto *file = child<QCheckBox>("UseWebFileCheckBox");
        auto *db = child<QCheckBox>("UseWebDBCheckBox");
        file->click();
        QVERIFY(file->isChecked() && !db->isChecked());
        QCOMPARE(DeviceConfig.WebMethod.value(), QByteArray("F"));
        QVERIFY(pages()->isTabVisible(TConfigForm::WebFilePage));
        QCOMPARE(pages()->tabText(TConfigForm::ChannelPage), QStringLiteral(" Web File Channels"));
        // Clicking the box that is on keeps it on.
        file->click();
        QVERIFY(file->isChecked() && !db->isChecked());
        db->click();
        QVERIFY(db->isChecked() && !file->isChecked());
        QCOMPARE(DeviceConfig.WebMethod.value(), QByteArray("D"));
        QVERIFY(!pages()->isTabVisible(TConfigForm::WebFilePage));
        QVERIFY(!pages()->isTabVisible(TConfigForm::ChannelPage));

        auto *enable = child<QCheckBox>("EnableUpdateCheckBox");
        enable->click();
        QCOMPARE(DeviceConfig.IspUdEnable.value(), QByteArray("T"));
        QVERIFY(field("UpdateURLEdit")->isEnabled());
        enable->click();
        QCOMPARE(DeviceConfig.IspUdEnable.value(), QByteArray("F"));
        QVERIFY(!field("UpdateURLEdit")->isEnabled());

        child<QCheckBox>("CheckBox3")->click();
        for (int i = 1; i <= 5; ++i)
            QVERIFY(child<QCheckBox>(qPrintable(QStringLiteral("CheckBox%1").arg(i)))->isChecked());
        auto *serialBox = child<QCheckBox>("SerialNumCheckBox");
        QWidget *serial = m_form->findChild<QWidget *>(QStringLiteral("SerialAbNumEdit"));
        QVERIFY(serial->isEnabled());
        serialBox->click();
        QVERIFY(serial->isEnabled());
        serialBox->click();
        QVERIFY(!serial->isEnabled());
    }

    void fieldsWriteThroughAndRefuseControlCharacters()
    {
        m_form->ConfigFormActivate();
        QLineEdit *name = field("IspNameEdit");
        QTest::keyClicks(name, QStringLiteral("abc"));
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("abc"));
        name->insert(QStringLiteral("x\ny"));
        QCOMPARE(name->text(), QStringLiteral("abc"));
        QTest::keyClicks(name, QStringLiteral("defghijkl"));
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("abcdefghijk")); // typing stops at 11
        name->insert(QString(QChar(0x20AC)));                           // no single byte for it
        QCOMPARE(name->text(), QStringLiteral("abcdefghijk"));
    }

    void longIspNameSurvivesOpening()
    {
        DeviceConfig.IspName.set("TwelveChars!");
        open();
        QCOMPARE(field("IspNameEdit")->text(), QStringLiteral("TwelveChars!"));
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("TwelveChars!"));
        // It can be shortened, not lengthened.
        QLineEdit *name = field("IspNameEdit");
        name->end(false);
        QTest::keyClick(name, Qt::Key_X);
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("TwelveChars!"));
        QTest::keyClick(name, Qt::Key_Backspace);
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("TwelveChars"));
    }

    void summaryShowsValuesAsText()
    {
        DeviceConfig.Mode.set("3");
        DeviceConfig.Channels[0].Name.set("<b>x</b>");
        DeviceConfig.Channels[0].Url.set("http://a/?x=1&y=2");
        m_form->ConfigFormActivate();
        const QString summary = child<QTextEdit>("AllRichEdit")->toPlainText();
        QVERIFY(summary.contains(QStringLiteral("Name: <b>x</b>")));
        QVERIFY(summary.contains(QStringLiteral("Url:  http://a/?x=1&y=2")));
        QCOMPARE(child<QTextEdit>("WebFileRichEdit")->toPlainText(),
                 QStringLiteral("ch1name=<b>x</b>\nch1url=http://a/?x=1&y=2"));
    }

    // ---- Closing -----------------------------------------------------

    void closingRestores_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("keeps");
        QTest::newRow("Cancel") << "cancel" << false;
        QTest::newRow("Escape") << "escape" << false;
        QTest::newRow("close box") << "close" << false;
        QTest::newRow("OK") << "ok" << true;
    }

    void closingRestores()
    {
        QFETCH(QString, how);
        QFETCH(bool, keeps);
        DeviceConfig.IspName.set("Old");
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 2);
        open();
        field("IspNameEdit")->setText(QStringLiteral("New"));
        m_form->AddChannel("Three", "http://3");
        QCOMPARE(m_form->ChannelCount, 3);

        if (how == "cancel")
            child<QPushButton>("Button3")->click();
        else if (how == "escape")
            QTest::keyClick(m_form.get(), Qt::Key_Escape);
        else if (how == "close")
            m_form->close();
        else
            child<QPushButton>("OKButton")->click();

        QVERIFY(!m_form->isVisible());
        QCOMPARE(DeviceConfig.IspName.value(), keeps ? QByteArray("New") : QByteArray("Old"));
        QCOMPARE(m_form->ChannelCount, keeps ? 3 : 2);
        QCOMPARE(ChannelsInUse(DeviceConfig), keeps ? 3 : 2);
    }

    void okWithIncompleteChannelStaysOpen()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 2);
        DeviceConfig.Channels[1].Url.clear();
        open();
        ModalScript script;
        script.press(QMessageBox::Ok);
        child<QPushButton>("OKButton")->click();
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Channel 2 has no URL")});
        QVERIFY(m_form->isVisible());
        QVERIFY(!m_form->OkPressed);
        QVERIFY(m_host->status.contains(QStringLiteral("empty URL string")));
    }

    void enterInAFieldPressesNothing()
    {
        DeviceConfig.Mode.set("1");
        DeviceConfig.Type.set("T");
        open();
        for (const char *name : {"IspNameEdit", "IspDbUrlEdit", "ChannelNameEdit"}) {
            QLineEdit *f = field(name);
            f->setEnabled(true);
            f->setFocus();
            QTest::keyClick(f, Qt::Key_Return);
            QTest::keyClick(f, Qt::Key_Enter);
        }
        QTest::keyClick(child<QPushButton>("Button2"), Qt::Key_Return);
        QVERIFY(m_port->sent.isEmpty());
        QVERIFY(m_form->isVisible());
    }

    // ---- Refresh on activation -----------------------------------------

    void refreshOnlyOnReturnFromToolWindow()
    {
        DeviceConfig.IspName.set("Old");
        open();
        field("IspNameEdit")->setText(QStringLiteral("Edited"));

        // Own popups: a message box and the add-channel dialog.
        {
            ModalScript script;
            script.press(QMessageBox::Ok);
            QMessageBox::information(m_form.get(), QStringLiteral("t"), QStringLiteral("x"));
        }
        {
            DeviceConfig.Mode.set("3");
            ModalScript script;
            script.key(Qt::Key_Escape);
            child<QPushButton>("AddButton")->click();
        }
        activate(m_form.get());
        QCOMPARE(m_form->SavedConfig.IspName.value(), QByteArray("Old"));
        // Another program took the focus and gave it back.
        Q_EMIT qGuiApp->focusWindowChanged(nullptr);
        Q_EMIT qGuiApp->focusWindowChanged(m_form->windowHandle());
        QCOMPARE(m_form->SavedConfig.IspName.value(), QByteArray("Old"));

        // Back from the main window: the edit is now the saved state.
        activate(m_mainWindow.get());
        activate(m_form.get());
        QCOMPARE(m_form->SavedConfig.IspName.value(), QByteArray("Edited"));
        child<QPushButton>("Button3")->click();
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("Edited"));
    }

    // ---- Files ---------------------------------------------------------

    void loadReplacesRecord()
    {
        m_env->writeFile(QStringLiteral("a.cfg"),
                         "mode=3\r\nispname=Loaded\r\nch1name=One\r\nch1url=u1\r\nch2name=Two\r\n"
                         "ch2url=u2\r\n");
        DeviceConfig.IspName.set("Before");
        open();
        m_form->SelectChannel(0);
        m_chosenFiles << m_env->filePath(QStringLiteral("a.cfg"));
        child<QPushButton>("LoadConfigFileButton")->click();
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("Loaded"));
        QCOMPARE(m_form->ChannelCount, 2);
        QCOMPARE(m_host->madeCurrent, QStringList {m_env->filePath(QStringLiteral("a.cfg"))});
        QCOMPARE(child<QLabel>("ConfigFileStaticText")->text(),
                 QStringLiteral(" ") + m_env->filePath(QStringLiteral("a.cfg")));
        QCOMPARE(field("IspNameEdit")->text(), QStringLiteral("Loaded"));
        QVERIFY(child<QRadioButton>("Mode3RadioButton")->isChecked());
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Configure Mirto"));
        // Cancel returns to the loaded record.
        child<QPushButton>("Button3")->click();
        QCOMPARE(DeviceConfig.IspName.value(), QByteArray("Loaded"));
    }

    // A file that cannot be loaded is refused with a message naming it and
    // the reason; the fields, the record and the current file stay as they
    // were, and nothing is kept for the next start.
    void refusedLoadChangesNothing_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no such file
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray() << QStringLiteral("There is no such file.");
        QTest::newRow("garbage") << QByteArray("qwertz\r\n!!\r\n")
                                 << QStringLiteral("Not one of its lines is a setting (key=value): "
                                                   "it is not a configuration file.");
        QTest::newRow("binary") << QByteArray("GIF89a\x01\0\x01\0\x80\0\0", 13)
                                << QStringLiteral("It holds bytes of value zero: it is a binary "
                                                  "file, not a configuration file.");
        QTest::newRow("oversized") << "mode=3\r\n" + QByteArray(ConfigFileMaxBytes, ' ')
                                   << QStringLiteral("It is larger than 1024 KB; a configuration "
                                                     "file is a few hundred bytes.");
        // Loaded garbled, it would be programmed with "Programming OK".
        QTest::newRow("text Mirto cannot take")
            << QByteArray("mode=3\r\nch1name=\"Radio \xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC\"\r\nch1url=http://h/1\r\n")
            << QStringLiteral("Line 2, Ch1Name, character 7: \"\u65e5\" (U+65E5) is not a single-byte (Latin-1) "
                              "character; Mirto cannot take it. Nothing was loaded.");
        QTest::newRow("prompt mark") << QByteArray("mode=3\r\nch1name=Jazz\r\nch1url=http://h/1\r\nch2name=Rock>Pop\r\n")
                                     << QStringLiteral("Line 4, Ch2Name, character 5: \">\" cannot be sent to Mirto: "
                                                       "it would be taken for the end of Mirto's answer. Nothing was "
                                                       "loaded.");
    }

    void refusedLoadChangesNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString path = m_env->filePath(QStringLiteral("other.cfg"));
        if (!content.isNull())
            m_env->writeFile(QStringLiteral("other.cfg"), content);
        DeviceConfig.IspName.set("Before");
        DeviceConfig.Mode.set("2");
        open();
        field("IspNameEdit")->setText(QStringLiteral("Edited"));
        const DeviceConfigRecord before = DeviceConfig;
        m_chosenFiles << path;
        ModalScript script;
        // The edit is not saved: the load asks first.
        script.press(QMessageBox::Yes).press(QMessageBox::Ok);
        child<QPushButton>("LoadConfigFileButton")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(script.texts(), (QStringList{TConfigForm::UnsavedEditsQuestion(), ConfigFileErrorText(path, reason)}));
        QVERIFY(script.texts().constLast().contains(path));
        QVERIFY(DeviceConfig == before);
        QCOMPARE(field("IspNameEdit")->text(), QStringLiteral("Edited"));
        QVERIFY(child<QRadioButton>("Mode2RadioButton")->isChecked());
        QVERIFY(m_host->madeCurrent.isEmpty());
        QCOMPARE(child<QLabel>("ConfigFileStaticText")->text(),
                 QStringLiteral(" No configuration file loaded "));
        QVERIFY(m_port->sent.isEmpty());
        // A file with only some of the settings still loads.
        m_env->writeFile(QStringLiteral("some.cfg"), "ispname=Some\r\n");
        m_chosenFiles << m_env->filePath(QStringLiteral("some.cfg"));
        script.press(QMessageBox::Yes);
        child<QPushButton>("LoadConfigFileButton")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(field("IspNameEdit")->text(), QStringLiteral("Some"));
        QCOMPARE(m_host->madeCurrent.size(), 1);
    }

    // Edits not saved in a file are not dropped by a load without asking;
    // what the configuration was loaded or saved as is no edit.
    void loadAsksBeforeDroppingEdits_data()
    {
        QTest::addColumn<QString>("before"); // what happens before the load
        QTest::addColumn<int>("answer");     // to the question; 0: none asked
        QTest::addColumn<bool>("loaded");
        QTest::newRow("nothing edited") << "nothing" << 0 << true;
        QTest::newRow("edited, No") << "edit" << int(QMessageBox::No) << false;
        QTest::newRow("edited, Yes") << "edit" << int(QMessageBox::Yes) << true;
        QTest::newRow("edited and saved") << "edit and save" << 0 << true;
        QTest::newRow("edited, then Cancel") << "edit and cancel" << 0 << true;
        QTest::newRow("a file loaded") << "load" << 0 << true;
    }

    void loadAsksBeforeDroppingEdits()
    {
        QFETCH(QString, before);
        QFETCH(int, answer);
        QFETCH(bool, loaded);
        m_env->writeFile(QStringLiteral("a.cfg"), "mode=2\r\nispname=Loaded\r\n");
        DeviceConfig.IspName.set("Before");
        open();
        if (before.startsWith("edit"))
            field("IspNameEdit")->setText(QStringLiteral("Edited"));
        if (before == "edit and save") {
            m_chosenFiles << m_env->filePath(QStringLiteral("saved.cfg"));
            child<QPushButton>("SaveConfigFileButton")->click();
            QVERIFY(QFile::exists(m_env->filePath(QStringLiteral("saved.cfg"))));
        } else if (before == "edit and cancel") {
            child<QPushButton>("Button3")->click();
            open();
        } else if (before == "load") {
            m_chosenFiles << m_env->filePath(QStringLiteral("a.cfg"));
            child<QPushButton>("LoadConfigFileButton")->click();
        }
        const QString kept = field("IspNameEdit")->text();
        m_chosenFiles << m_env->filePath(QStringLiteral("a.cfg"));
        ModalScript script;
        if (answer != 0)
            script.press(QMessageBox::StandardButton(answer));
        child<QPushButton>("LoadConfigFileButton")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(script.texts(), answer != 0 ? QStringList {TConfigForm::UnsavedEditsQuestion()} : QStringList());
        QCOMPARE(field("IspNameEdit")->text(), loaded ? QStringLiteral("Loaded") : kept);
        QCOMPARE(DeviceConfig.IspName.value(), loaded ? QByteArray("Loaded") : kept.toLatin1());
        // Answered No, not even the file was asked for.
        QCOMPARE(m_chosenFiles.size(), loaded ? 0 : 1);
    }

    // A file the settings name but that failed to load is not shown as the
    // current configuration file.
    void failedFileIsNotCurrent()
    {
        m_host->settings.ConfigFile = m_env->filePath(QStringLiteral("missing.cfg"));
        m_host->loaded = false;
        open();
        QCOMPARE(child<QLabel>("ConfigFileStaticText")->text(), QStringLiteral(" No configuration file loaded "));
        child<QPushButton>("Button3")->click();
        QVERIFY(m_host->madeCurrent.isEmpty());
    }

    // Every button of the dialog has an Alt+letter key of its own, and a
    // screen reader reads its caption without the marker.
    void buttonsHaveTheirKeys()
    {
        QList<QChar> keys;
        for (const QPushButton *button : m_form->findChildren<QPushButton *>()) {
            if (button->window() != m_form.get())
                continue;
            const QChar key = MnemonicOf(button->text());
            QVERIFY2(!key.isNull() && !keys.contains(key), qPrintable(button->text()));
            keys << key;
            QCOMPARE(button->accessibleName(), WithoutMnemonic(button->text()).trimmed());
        }
        for (const QPushButton *button : m_add->findChildren<QPushButton *>())
            QVERIFY2(!MnemonicOf(button->text()).isNull(), qPrintable(button->text()));
    }

    void saveAsksBeforeOverwriting_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("written");
        QTest::newRow("Yes") << int(QMessageBox::Yes) << true;
        QTest::newRow("No") << int(QMessageBox::No) << false;
    }

    void saveAsksBeforeOverwriting()
    {
        QFETCH(int, answer);
        QFETCH(bool, written);
        const QString path = m_env->filePath(QStringLiteral("b.cfg"));
        m_env->writeFile(QStringLiteral("b.cfg"), "old");
        DeviceConfig.IspName.set("Saved");
        open();
        m_chosenFiles << m_env->filePath(QStringLiteral("b")); // the default extension is added
        ModalScript script;
        script.press(QMessageBox::StandardButton(answer));
        child<QPushButton>("SaveConfigFileButton")->click();
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Overwrite existing File?")});
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QCOMPARE(text.contains("ispname=Saved\r\n"), written);
        QCOMPARE(text.startsWith("1A2B3\r\n"), written);
        QCOMPARE(m_host->madeCurrent.size(), written ? 1 : 0);
    }

    void saveFailureIsShownWithReason()
    {
        open();
        m_chosenFiles << m_env->filePath(QStringLiteral("no/such/folder/c.cfg"));
        ModalScript script;
        script.press(QMessageBox::Ok);
        child<QPushButton>("SaveConfigFileButton")->click();
        QCOMPARE(script.texts().size(), 1);
        QVERIFY(script.texts().first().startsWith(QStringLiteral("Unable to create config file ")));
        QVERIFY(script.texts().first().count(QLatin1Char('\n')) == 1);
        QVERIFY(m_host->madeCurrent.isEmpty());
    }

    void webFileSave()
    {
        DeviceConfig.Mode.set("2");
        DeviceConfig.WebMethod.set("F");
        setChannels(DeviceConfig, 2);
        open();
        m_chosenFiles << m_env->filePath(QStringLiteral("web"));
        FileDialogRequest seen;
        auto choose = m_form->ChooseFile;
        m_form->ChooseFile = [&](QWidget *parent, const FileDialogRequest &r) {
            seen = r;
            return choose(parent, r);
        };
        child<QPushButton>("Button1")->click();
        QCOMPARE(seen.Filter, QStringLiteral("Web File (*.txt *.TXT)"));
        QFile file(m_env->filePath(QStringLiteral("web.TXT")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("ch1name=\"Name1\"\r\nch1url=http://h/1\r\n"
                                            "ch2name=\"Name2\"\r\nch2url=http://h/2\r\n"));
        QVERIFY(m_host->madeCurrent.isEmpty());
    }

    void webFileNotWritten_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("told");
        QTest::newRow("overwrite refused") << "web" << int(QMessageBox::No) << "Overwrite existing File?";
        QTest::newRow("folder missing") << "no/such/folder/web" << int(QMessageBox::Ok)
                                        << "Unable to create web file ";
    }

    // The old web file stays as it was, and a failure says why.
    void webFileNotWritten()
    {
        QFETCH(QString, chosen);
        QFETCH(int, answer);
        QFETCH(QString, told);
        m_env->writeFile(QStringLiteral("web.TXT"), "old");
        DeviceConfig.Mode.set("2");
        DeviceConfig.WebMethod.set("F");
        setChannels(DeviceConfig, 2);
        open();
        m_chosenFiles << m_env->filePath(chosen);
        ModalScript script;
        script.press(QMessageBox::StandardButton(answer));
        child<QPushButton>("Button1")->click();
        QCOMPARE(script.texts().size(), 1);
        QVERIFY2(script.texts().first().startsWith(told), qPrintable(script.texts().first()));
        if (answer == QMessageBox::Ok)
            QCOMPARE(script.texts().first().count(QLatin1Char('\n')), 1); // the system's reason
        QFile file(m_env->filePath(QStringLiteral("web.TXT")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("old"));
    }

    // ---- Programming -------------------------------------------------

    void programSendsTheRecord()
    {
        QCOMPARE(programModeOne(), QStringList {QStringLiteral("Programming OK")});
        QCOMPARE(m_port->sent, (QList<QByteArray> {"mode 1\n", "mode\n"}));
        QCOMPARE(m_form->SavedConfig.IspName.value(), DeviceConfig.IspName.value());
    }

    // A '>' in a value would be taken for the device's prompt when it comes
    // back in a read-back. A file holding one is refused at load; a value the
    // program put into the record is refused by programming, naming the
    // channel, before anything goes out.
    void programRefusesAPromptMark()
    {
        DeviceConfig.Mode.set("3");
        DeviceConfig.Type.set("T");
        setChannels(DeviceConfig, 2);
        DeviceConfig.Channels[1].Name.set("Rock>Pop");
        open();
        QCOMPARE(m_form->ChannelCount, 2);
        ModalScript script;
        script.press(QMessageBox::Ok);
        child<QPushButton>("Button2")->click();
        QCOMPARE(m_port->sent, QList<QByteArray> {});
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Channel Name on Channel 2: \">\" cannot be sent to Mirto: "
                                                             "it would be taken for the end of Mirto's answer; nothing "
                                                             "was sent")});
        QCOMPARE(m_host->status.last(), QStringLiteral("Programming failed"));
    }

    // Typed or pasted, a character the device cannot take does not get into
    // a field whose text is sent to the device, and the field says why.
    void fieldsRefuseWhatCannotBeSent_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("paste");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("typed"); // what typing leaves
        QTest::addColumn<QString>("reason");
        const QString prompt = PromptMarkReason();
        const QString euro = QStringLiteral("\"\u20ac\" (U+20AC) is not a single-byte (Latin-1) character; Mirto "
                                            "cannot take it");
        QTest::newRow("channel name, typed") << "ChannelNameEdit" << int(TConfigForm::ChannelPage) << false
                                             << "Rock>Pop" << "RockPop" << prompt;
        QTest::newRow("channel URL, pasted") << "ChannelUrlEdit" << int(TConfigForm::ChannelPage) << true
                                             << "Rock>Pop" << QString() << prompt;
        QTest::newRow("ISP name, typed") << "IspNameEdit" << int(TConfigForm::NetworkPage) << false << "Rock>Pop"
                                         << "RockPop" << prompt;
        QTest::newRow("ISP password, pasted") << "IspPasswordEdit" << int(TConfigForm::NetworkPage) << true
                                              << "Rock>Pop" << QString() << prompt;
        QTest::newRow("web URL, typed") << "IspDbUrlEdit" << int(TConfigForm::ModePage) << false << "Rock>Pop"
                                        << "RockPop" << prompt;
        QTest::newRow("update URL, pasted") << "UpdateURLEdit" << int(TConfigForm::RemoteUpdatePage) << true
                                            << "Rock>Pop" << QString() << prompt;
        QTest::newRow("euro in a channel name, typed") << "ChannelNameEdit" << int(TConfigForm::ChannelPage) << false
                                                       << "Radio \u20acuro" << "Radio uro" << euro;
        QTest::newRow("CJK in the ISP name, pasted")
            << "IspNameEdit" << int(TConfigForm::NetworkPage) << true << "Radio \u65e5" << QString()
            << QStringLiteral("\"\u65e5\" (U+65E5) is not a single-byte (Latin-1) character; Mirto cannot take it");
    }

    void fieldsRefuseWhatCannotBeSent()
    {
        QFETCH(QString, name);
        QFETCH(int, page);
        QFETCH(bool, paste);
        QFETCH(QString, text);
        QFETCH(QString, typed);
        QFETCH(QString, reason);
        DeviceConfig.Mode.set("3");
        DeviceConfig.WebMethod.set("D");
        setChannels(DeviceConfig, 1);
        open();
        pages()->setCurrentIndex(page);
        QLineEdit *edit = field(qPrintable(name));
        edit->setFocus();
        edit->selectAll();
        edit->del();
        QToolTip::hideText();
        if (paste)
            edit->insert(text);
        else
            typeText(edit, text);
        QCOMPARE(edit->text(), typed);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), reason);
        QToolTip::hideText();
    }

    void addChannelRefusesAPromptMark()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 1);
        open();
        bool stayedOpen = false;
        QString typed;
        ModalScript script;
        script.then([&](QWidget *w) {
            auto *add = qobject_cast<TAddChannelForm *>(w);
            add->NameEdit()->clear();
            add->UrlEdit()->setText(QStringLiteral("http://192.0.2.7/rock"));
            QTest::keyClicks(add->NameEdit(), QStringLiteral("Rock>Pop"));
            typed = add->NameEdit()->text();
            // Text the program put there is refused at OK.
            add->NameEdit()->setText(QStringLiteral("Rock>Pop"));
            QToolTip::hideText();
            add->findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
            stayedOpen = add->isVisible() && QToolTip::isVisible() && QToolTip::text() == PromptMarkReason()
                         && add->NameEdit()->hasFocus();
            QToolTip::hideText();
            add->findChild<QPushButton *>(QStringLiteral("CancelButton"))->click();
        });
        child<QPushButton>("AddButton")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(typed, QStringLiteral("RockPop"));
        QVERIFY(stayedOpen);
        QCOMPARE(m_form->ChannelCount, 1);
    }

    // The device history names what the device got: the file it was
    // loaded from while the record still holds it, else the configuration
    // as programmed (in the file's form), marked edited. It is written as
    // the run ends, before "Programming OK" is dismissed.
    void programWritesTheDeviceHistory_data()
    {
        QTest::addColumn<bool>("load");
        QTest::addColumn<QString>("editedName"); // typed after the load; empty: none
        QTest::newRow("file as loaded") << true << QString();
        QTest::newRow("edited after the load") << true << QStringLiteral("Radio Two");
        QTest::newRow("no file loaded") << false << QStringLiteral("Radio Two");
    }

    void programWritesTheDeviceHistory()
    {
        QFETCH(bool, load);
        QFETCH(QString, editedName);
        const QByteArray fileText = "mode=3\r\ntype=T\r\nch1name=\"Radio One\"\r\nch1url=http://h/1\r\n";
        const QString path = m_env->filePath(QStringLiteral("studio.cfg"));
        m_env->writeFile(QStringLiteral("studio.cfg"), fileText);
        if (!load) {
            DeviceConfig.Mode.set("3");
            DeviceConfig.Type.set("T");
            setChannels(DeviceConfig, 1);
        }
        open();
        if (load) {
            m_chosenFiles << path;
            child<QPushButton>("LoadConfigFileButton")->click();
            QCOMPARE(m_host->madeCurrent, QStringList {path});
        }
        if (!editedName.isEmpty()) {
            m_form->SelectChannel(0);
            field("ChannelNameEdit")->setText(editedName);
        }
        const QByteArray programmed = FormatConfigFile(DeviceConfig, m_form->ChannelCount, "1A2B3");
        int recordedWhileBoxOpen = -1;
        ModalScript script;
        script.then([&](QWidget *box) {
            recordedWhileBoxOpen = int(ReadAuditTrail().size());
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        child<QPushButton>("Button2")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Programming OK")});
        QCOMPARE(recordedWhileBoxOpen, 1);

        const QList<AuditEntry> entries = ReadAuditTrail();
        QCOMPARE(entries.size(), 1);
        const AuditEntry &e = entries[0];
        QCOMPARE(e.action, QStringLiteral("program"));
        QVERIFY(e.ok);
        QCOMPARE(e.serialBefore, QStringLiteral("1A2B3"));
        QVERIFY(e.reason.isEmpty());
        const bool edited = !editedName.isEmpty();
        QCOMPARE(e.edited, edited);
        QCOMPARE(e.file, load ? path : QString());
        const QByteArray named = edited ? programmed : fileText;
        QCOMPARE(e.sha256, QString::fromLatin1(QCryptographicHash::hash(named, QCryptographicHash::Sha256).toHex()));
        if (edited)
            QVERIFY(programmed.contains("ch1name=\"" + editedName.toLatin1() + '"'));
    }

    // ---- Channels ----------------------------------------------------

    void channelPageState_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("addEnabled");
        QTest::newRow("none") << 0 << " No Channels " << true;
        QTest::newRow("three") << 3 << " Channel 1 " << true;
        QTest::newRow("sixteen") << 16 << " Channel 1 " << false;
    }

    void channelPageState()
    {
        QFETCH(int, count);
        QFETCH(QString, label);
        QFETCH(bool, addEnabled);
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, count);
        m_form->ConfigFormActivate();
        QCOMPARE(m_form->ChannelCount, count);
        for (int i = 0; i < 16; ++i) {
            auto *b = child<QRadioButton>(qPrintable(QStringLiteral("RadioButton%1").arg(i)));
            QCOMPARE(b->text(), QString::number(i + 1));
            QCOMPARE(!b->isHidden(), i < count);
        }
        QCOMPARE(child<QLabel>("ChannelStaticText")->text(), label);
        QCOMPARE(child<QPushButton>("AddButton")->isEnabled(), addEnabled);
        QCOMPARE(child<QPushButton>("DeleteButton")->isEnabled(), count > 0);
        QCOMPARE(field("ChannelNameEdit")->isEnabled(), count > 0);
        QCOMPARE(field("ChannelUrlEdit")->isEnabled(), count > 0);
        QCOMPARE(field("ChannelNameEdit")->text(), count ? QStringLiteral("Name1") : QString());
    }

    void emptyNameEndsChannelsInUse()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 4);
        m_form->ConfigFormActivate();
        m_form->SelectChannel(3);
        DeviceConfig.Channels[1].Name.clear();
        m_form->ConfigFormActivate();
        QCOMPARE(m_form->ChannelCount, 1);
        QCOMPARE(m_form->SelectedChannel(), 0);
        // Typing goes to the slot in use that is shown, never to slot 4.
        field("ChannelNameEdit")->setText(QStringLiteral("Typed"));
        QCOMPARE(DeviceConfig.Channels[0].Name.value(), QByteArray("Typed"));
        QCOMPARE(DeviceConfig.Channels[3].Name.value(), QByteArray("Name4"));
    }

    void noChannelTakesNoText()
    {
        DeviceConfig.Mode.set("3");
        m_form->ConfigFormActivate();
        field("ChannelNameEdit")->setText(QStringLiteral("Typed"));
        QVERIFY(DeviceConfig.Channels[0].Name.isEmpty());
        QCOMPARE(m_form->ChannelCount, 0);
    }

    void deleteChannel_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("answer"); // 0: Escape, -1: close box
        QTest::addColumn<QByteArrayList>("names");
        QTest::addColumn<int>("selectedAfter");
        QTest::addColumn<QString>("label");
        QTest::newRow("3 of 5") << 5 << 2 << int(QMessageBox::Yes)
                                << QByteArrayList {"Name1", "Name2", "Name4", "Name5"} << 2
                                << " Channel 3 ";
        QTest::newRow("5 of 5") << 5 << 4 << int(QMessageBox::Yes)
                                << QByteArrayList {"Name1", "Name2", "Name3", "Name4"} << 3
                                << " Channel 4 ";
        QTest::newRow("1 of 1") << 1 << 0 << int(QMessageBox::Yes) << QByteArrayList {} << 0
                                << " No Channels ";
        QTest::newRow("No") << 3 << 1 << int(QMessageBox::No)
                            << QByteArrayList {"Name1", "Name2", "Name3"} << 1 << " Channel 2 ";
        QTest::newRow("Escape") << 3 << 1 << 0 << QByteArrayList {"Name1", "Name2", "Name3"} << 1
                                << " Channel 2 ";
        QTest::newRow("close box") << 3 << 1 << -1 << QByteArrayList {"Name1", "Name2", "Name3"}
                                   << 1 << " Channel 2 ";
    }

    void deleteChannel()
    {
        QFETCH(int, count);
        QFETCH(int, selected);
        QFETCH(int, answer);
        QFETCH(QByteArrayList, names);
        QFETCH(int, selectedAfter);
        QFETCH(QString, label);
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, count);
        open();
        m_form->SelectChannel(selected);
        ModalScript script;
        if (answer == 0)
            script.key(Qt::Key_Escape);
        else if (answer == -1)
            script.closeBox();
        else
            script.press(QMessageBox::StandardButton(answer));
        child<QPushButton>("DeleteButton")->click();
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Delete Channel %1 ?").arg(selected + 1)});
        QCOMPARE(channelNames(DeviceConfig), names);
        QCOMPARE(m_form->ChannelCount, names.size());
        QVERIFY(DeviceConfig.Channels[size_t(count - 1)].Url.isEmpty() == (names.size() < count));
        QCOMPARE(m_form->SelectedChannel(), selectedAfter);
        QCOMPARE(child<QLabel>("ChannelStaticText")->text(), label);
        QCOMPARE(child<QPushButton>("DeleteButton")->isEnabled(), !names.isEmpty());
        QCOMPARE(field("ChannelNameEdit")->text(), QString::fromLatin1(names.value(selectedAfter)));
    }

    void addChannel()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 3);
        open();
        QString title;
        ModalScript script;
        script
            .then([&title](QWidget *w) {
                title = w->windowTitle();
                auto *add = qobject_cast<TAddChannelForm *>(w);
                add->NameEdit()->setText(QStringLiteral("Four"));
                add->UrlEdit()->clear();
                add->findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
            })
            .press(QMessageBox::Ok)
            .then([](QWidget *w) {
                auto *add = qobject_cast<TAddChannelForm *>(w);
                add->UrlEdit()->setText(QStringLiteral("http://4"));
                // Enter acts as OK once, whichever control has the focus.
                QTest::keyClick(add->UrlEdit(), Qt::Key_Return);
                QTest::keyClick(add->UrlEdit(), Qt::Key_Return);
            });
        child<QPushButton>("AddButton")->click();
        QTRY_VERIFY(script.done());
        QCOMPARE(title, QStringLiteral("Add Channel 4"));
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Please fill in BOTH fields....  ")});
        QCOMPARE(m_form->ChannelCount, 4);
        QCOMPARE(channelNames(DeviceConfig), (QByteArrayList {"Name1", "Name2", "Name3", "Four"}));
        QCOMPARE(DeviceConfig.Channels[3].Url.value(), QByteArray("http://4"));
        QCOMPARE(m_form->SelectedChannel(), 3);
        QCOMPARE(child<QLabel>("ChannelStaticText")->text(), QStringLiteral(" Channel 4 "));
        QVERIFY(!child<QRadioButton>("RadioButton3")->isHidden());
        // The fields keep their text for the next use.
        QCOMPARE(m_add->NameEdit()->text(), QStringLiteral("Four"));
    }

    void addCancelledChangesNothing()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 2);
        open();
        m_add->NameEdit()->setText(QStringLiteral("X"));
        ModalScript script;
        script.then([](QWidget *w) {
            w->findChild<QPushButton *>(QStringLiteral("CancelButton"))->click();
        });
        child<QPushButton>("AddButton")->click();
        QCOMPARE(m_form->ChannelCount, 2);
        QCOMPARE(ChannelsInUse(DeviceConfig), 2);
    }

    void addNeverPassesSlot16()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 16);
        m_form->ConfigFormActivate();
        child<QPushButton>("AddButton")->setEnabled(true);
        ModalScript script;
        script.key(Qt::Key_Escape);
        child<QPushButton>("AddButton")->click();
        QVERIFY(!m_form->AddChannel("Seventeen", "u"));
        QCOMPARE(m_form->ChannelCount, 16);
        QVERIFY(!script.done()); // the add-channel dialog never showed
    }

    // Add a channel, Cancel the dialog, open it again and delete: the channel
    // asked about is the one that goes.
    void deleteAfterCancelledAdd()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 3);
        open();
        m_form->AddChannel("Four", "http://4");
        QCOMPARE(m_form->SelectedChannel(), 3);
        child<QPushButton>("Button3")->click();
        open();
        QCOMPARE(m_form->ChannelCount, 3);
        QCOMPARE(m_form->SelectedChannel(), 2);
        ModalScript script;
        script.press(QMessageBox::Yes);
        child<QPushButton>("DeleteButton")->click();
        QCOMPARE(script.texts(), QStringList {QStringLiteral("Delete Channel 3 ?")});
        QCOMPARE(channelNames(DeviceConfig), (QByteArrayList {"Name1", "Name2"}));
    }

    void leavingAChannelField_data()
    {
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("leaving");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("focusBackTo");
        // The URL of channel 3 is missing.
        QTest::newRow("the channel at fault, its empty field") << 2 << "ChannelUrlEdit" << true
                                                              << "ChannelUrlEdit";
        // Moving from the name to the URL is how the gap gets filled.
        QTest::newRow("the channel at fault, name to URL") << 2 << "ChannelNameEdit" << false
                                                          << "ChannelUrlEdit";
        QTest::newRow("another channel") << 0 << "ChannelUrlEdit" << true << "";
    }

    void leavingAChannelField()
    {
        QFETCH(int, selected);
        QFETCH(QString, leaving);
        QFETCH(bool, checked);
        QFETCH(QString, focusBackTo);
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 3);
        DeviceConfig.Channels[2].Url.clear();
        pages()->setCurrentIndex(TConfigForm::ChannelPage);
        open();
        m_form->SelectChannel(selected);
        QLineEdit *from = field(leaving.toLatin1().constData());
        from->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(from->hasFocus());
        ModalScript script;
        script.press(QMessageBox::Ok);
        QTest::keyClick(from, Qt::Key_Tab);
        QCOMPARE(script.texts(), checked ? QStringList {QStringLiteral("Channel 3 has no URL")} : QStringList {});
        QCoreApplication::processEvents();
        // The field that lacks its text takes the focus as soon as the window
        // has it again; never when another channel is selected.
        if (focusBackTo.isEmpty())
            QVERIFY(m_form->focusWidget() != field("ChannelUrlEdit") && m_form->focusWidget() != field("ChannelNameEdit"));
        else
            QCOMPARE(m_form->focusWidget(), field(focusBackTo.toLatin1().constData()));
    }

    void leavingForCancelOrAnotherWindowChecksNothing()
    {
        DeviceConfig.Mode.set("3");
        setChannels(DeviceConfig, 2);
        DeviceConfig.Channels[1].Url.clear();
        pages()->setCurrentIndex(TConfigForm::ChannelPage);
        open();
        m_form->SelectChannel(1);
        QLineEdit *name = field("ChannelNameEdit");
        name->setFocus(Qt::MouseFocusReason);
        QTRY_VERIFY(name->hasFocus());
        const int checks = int(m_host->status.count(QStringLiteral("checking for empty Channel strings")));
        activate(m_mainWindow.get());
        activate(m_form.get());
        ModalScript script;
        script.press(QMessageBox::Ok);
        child<QPushButton>("Button3")->setFocus(Qt::MouseFocusReason);
        QVERIFY(script.texts().isEmpty());
        QCOMPARE(m_host->status.count(QStringLiteral("checking for empty Channel strings")), checks);
    }
};

QTEST_MAIN(TestConfigure)
#include "tst_configure.moc"
