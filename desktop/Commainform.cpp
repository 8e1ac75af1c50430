#include "desktop/Commainform.h"

#include "core/config/ConfigFile.h"
#include "desktop/config/Configure.h"
#include "core/config/DeviceConfig.h"
#include "desktop/Advanced.h"
#include "desktop/DeviceHistory.h"
#include "desktop/firmware/Upload.h"
#include "core/links/RemotePorts.h"
#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"
#include "desktop/About.h"
#include "desktop/CommandLineHistory.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/FindBar.h"
#include "desktop/HelpForm.h"
#include "desktop/KeyPreview.h"
#include "core/Identification.h"
#include "desktop/Preferences.h"
#include "desktop/Resources.h"
#include "core/TerminalLog.h"
#include "desktop/NoteLabel.h"
#include "desktop/TerminalView.h"
#include "desktop/TypingLimit.h"
#include "desktop/WindowPlacement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QString hintOpen(const QString &entry)
{
    return QStringLiteral("Open Connection ( ") + entry + QStringLiteral(")");
}

QString hintClose(const QString &entry)
{
    return QStringLiteral("Close Connection ( ") + entry + QStringLiteral(")");
}

} // namespace

// The window as the connection and the dialogs see it.
class TMainForm::UserSide : public DeviceUser, public ConfigHost {
public:
    explicit UserSide(TMainForm &form) : m_form(form) {}

    // DeviceUser
    // Everything the connection tells this way is a failure.
    void TellUser(const QString &text) override { ShowError(&m_form, text); }
    void TellBusy(const QString &text) override { ShowNotice(&m_form, text); }
    void ShowLinkError(const std::exception &error) override { ShowException(error); }
    bool AskHostAddress(QString &address) override
    {
        bool ok = false;
        const QString typed = QInputDialog::getText(&m_form, QStringLiteral("Computer to connect to"),
                                                    QStringLiteral("IP-address:"), QLineEdit::Normal,
                                                    address, &ok);
        if (!ok)
            return false;
        address = typed;
        return true;
    }
    void SetBusyCursor() override { m_form.SetBusyCursor(); }
    void RestoreCursor() override { m_form.RestoreCursor(); }
    void AppendTerminal(const QByteArray &text) override { m_form.AppendTerminal(text); }
    void AddStatus(const QString &text) override { m_form.AddStatus(text); }
    void ShowIdentification(const QString &text) override { m_form.SetStatusPanel(2, text); }
    void ShowConnectionState(const ConnectionState &state) override { m_form.showConnectionState(state); }
    void ShowReconnect(const QString &text) override
    {
        m_form.AddStatus(text);
        m_form.m_reconnectLabel->SetNote(text);
    }
    void ShowReceived(const QByteArray &bytes, TerminalFormatter::Link link) override
    {
        if (m_form.HexView())
            m_form.AppendRawBytes(bytes);
        else
            m_form.AppendTerminal(m_formatter.Format(bytes, link));
    }
    bool ShowsRawBytes() const override { return m_form.HexView(); }
    void ShowRawBytes(const QByteArray &bytes) override { m_form.AppendRawBytes(bytes); }
    void PortsChanged() override
    {
        try {
            m_form.fillPortList();
        } catch (const std::exception &) {
            // The list keeps its entries; the next close reads it again.
        }
        m_form.selectPortEntry();
    }

    // ConfigHost
    ToolSettings &Settings() override { return m_form; }
    void WriteSettings() override { m_form.WriteSettings(); }
    QByteArray DeviceSerialNumber() const override { return m_form.SerialNumberText(); }
    void ConfigFileIsCurrent(const QString &path) override { m_form.MakeConfigFileCurrent(path); }
    bool ConfigFileLoaded() const override { return m_form.ConfigLoaded; }
    QString StartDirectory() const override { return m_form.StartDirectory; }
    QByteArray DeviceSoftwareVersion() const override { return m_form.SoftwareVersionText(); }
    QString DevicePlace() const override
    {
        if (m_form.InterfaceType == InterfaceNetwork)
            return m_form.HostAddress;
        return QStringLiteral("COM%1").arg(m_form.VaComm().PortNum());
    }

private:
    TMainForm &m_form;
    TerminalFormatter m_formatter;
};

TMainForm::TMainForm(QWidget *parent)
    : QMainWindow(parent),
      m_userSide(std::make_unique<UserSide>(*this)),
      m_connection(std::make_unique<DeviceConnection>(*this, *m_userSide, this)),
      HostAddress(m_connection->HostAddress),
      m_log(std::make_unique<TerminalLog>())
{
    InitMirtoResources();
    setObjectName(QStringLiteral("MainForm"));
    StartDirectory = QDir::currentPath();
    HelpFile = StartDirectory + QStringLiteral("/MirtoHelp.hlp");

    buildWindow();
    fillPortList();
    ResetConfig([this](const QString &t) { AddStatus(t); });
    UpdateConnectionStatus();
    m_echo = std::make_unique<CommandEcho>(
        [this](const QByteArray &text) { AppendTerminal(text); },
        [this] { return !m_memo->Buffer().Line(m_memo->Buffer().LineCount() - 1).isEmpty(); });
    m_echo->Echo = Preferences::LocalEcho();
    connect(m_connection.get(), &DeviceConnection::LineSent, this,
            [this](const QByteArray &line) { m_echo->Sent(line); });
    {
        // Showing the kept choice is no new choice to keep.
        const QSignalBlocker quiet(m_echoAction);
        m_echoAction->setChecked(m_echo->Echo);
    }
    m_connection->SetAutoReconnect(Preferences::AutoReconnect());
    {
        const QSignalBlocker quiet(m_reconnectAction);
        m_reconnectAction->setChecked(m_connection->AutoReconnect());
    }
    m_history = std::make_unique<CommandLineHistory>(*m_commandEdit, *m_searchLabel);
    m_history->Restore();
    new KeyPreview(this, [this](QKeyEvent *key, QWidget *target) { return previewKey(key, target); });
    // A sync that failed while the device was quiet is told like a failed
    // write.
    connect(m_log.get(), &TerminalLog::Failed, this, [this](const QString &error) {
        showLogging();
        QMetaObject::invokeMethod(this, [error] { ShowErrorMessage(error); }, Qt::QueuedConnection);
    });
}

TMainForm::~TMainForm()
{
    if (m_busy)
        QApplication::restoreOverrideCursor();
}

ConfigHost &TMainForm::ConfigHostPort()
{
    return *m_userSide;
}

SettingsStore &TMainForm::Settings()
{
    return *m_userSide;
}

void TMainForm::SetDialogs(TAboutForm *about, TConfigForm *config, TUploadForm *upload,
                           TAdvancedForm *advanced)
{
    m_about = about;
    m_config = config;
    m_upload = upload;
    m_advanced = advanced;
}

// ---------------------------------------------------------------------------
// Services

void TMainForm::AddStatus(const QString &text)
{
    if (!m_statusComboBox)
        return;
    m_statusComboBox->insertItem(0, text);
    m_statusComboBox->setCurrentIndex(0);
}

void TMainForm::SetBusyCursor(Qt::CursorShape cursor)
{
    // The override cursor shows at once on every window of the tool, so there
    // is no need to dispatch pending events (and run other handlers) here.
    // A second call while busy keeps the cursor of before the first: saving
    // the hourglass itself would leave it up for good.
    if (m_busy) {
        QApplication::changeOverrideCursor(QCursor(cursor));
    } else {
        QApplication::setOverrideCursor(QCursor(cursor));
        m_busy = true;
    }
    SavedCursor = qint16(Qt::ArrowCursor);
}

void TMainForm::RestoreCursor()
{
    if (SavedCursor != -1 && m_busy) {
        QApplication::restoreOverrideCursor();
        m_busy = false;
    }
    SavedCursor = -1;
}

QString TMainForm::ConfigFileStatusText(const QString &path)
{
    if (path.size() <= 40)
        return QStringLiteral("  Config File: ") + path;
    return QStringLiteral("  Config File: ...") + path.right(41);
}

QString TMainForm::StatusPanelText(int panel) const
{
    return m_panels[panel]->property("fullText").toString();
}

void TMainForm::SetStatusPanel(int panel, const QString &text)
{
    QLabel *label = m_panels[panel];
    label->setProperty("fullText", text);
    label->setAccessibleName(text.trimmed());
    // Panel 0 takes the room the others leave; a long path loses its start,
    // never the panel's label.
    // A host name typed for the network may be longer than panel 3 is wide:
    // it loses its middle. Either shows whole as the panel's hint.
    QString shown = text;
    const int room = LabelTextRoom(*label);
    if (panel == 0)
        shown = ElideKeepingLabel(text, label->fontMetrics(), room);
    else if (panel == 3 && room > 0)
        shown = label->fontMetrics().elidedText(text, Qt::ElideMiddle, room);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

bool TMainForm::RestoreWindowPlacement()
{
    const QByteArray geometry = Preferences::MainWindowGeometry();
    return !geometry.isEmpty() && restoreGeometry(geometry);
}

void TMainForm::StartInConfigFolder()
{
    // A folder that cannot be made shows as the settings file that cannot be
    // opened.
    const QString folder = ToolConfigFolder();
    QDir().mkpath(folder);
    StartDirectory = folder;
    HelpFile = StartDirectory + QStringLiteral("/MirtoHelp.hlp");
    InConfigFolder = true;
}

void TMainForm::MakeConfigFileCurrent(const QString &path)
{
    SetStatusPanel(0, ConfigFileStatusText(path));
    ConfigLoaded = true;
    ConfigFile = path;
    ConfigFileNamed = true;
    WriteSettings();
}

QByteArray TMainForm::SerialNumberText() const
{
    return m_connection->SerialNumber();
}

QByteArray TMainForm::SoftwareVersionText() const
{
    return m_connection->SoftwareVersion();
}

// ---------------------------------------------------------------------------
// Settings

int TMainForm::ReadSettings()
{
    StoredSettings stored;
    static_cast<ToolSettings &>(stored) = *this;
    stored.PortNum = VaComm().PortNum();
    const int result = ReadSettingsFile(StartDirectory + QStringLiteral("/mirto.ini"), stored,
                                        [this](const QString &t) { AddStatus(t); });
    if (result != 0)
        return result;
    static_cast<ToolSettings &>(*this) = stored;
    VaComm().SetPortNum(stored.PortNum);
    return 0;
}

void TMainForm::WriteSettings()
{
    const QString entry = m_portComboBox->currentIndex() >= 0 ? m_portComboBox->currentText()
                                                               : QString();
    WriteSettingsFile(StartDirectory + QStringLiteral("/mirto.ini"), *this, entry,
                      [this](const QString &t) { AddStatus(t); });
}

// ---------------------------------------------------------------------------
// Start-up

bool TMainForm::event(QEvent *e)
{
    const bool result = QMainWindow::event(e);
    // Without a window manager the window may never be activated; the first
    // showing then counts as the first activation. The work runs from the
    // event loop, not inside event delivery: it may show message boxes and
    // the update dialog, whose modal loops must not nest in an event.
    if ((e->type() == QEvent::WindowActivate || e->type() == QEvent::Show) && FirstActivation
        && !m_activationQueued) {
        m_activationQueued = true;
        QTimer::singleShot(0, this, &TMainForm::MainFormActivate);
    }
    if (e->type() == QEvent::Resize && m_panels[0])
        SetStatusPanel(0, StatusPanelText(0));
    return result;
}

void TMainForm::MainFormActivate()
{
    if (!FirstActivation)
        return;
    FirstActivation = false;
    StartupError = 0;
    UserLevel = 0;
    InterfaceType = InterfaceSerial;
    TypeRestriction = 'N';

    const QString settingsFile = StartDirectory + QStringLiteral("/mirto.ini");
    const bool firstStart = InConfigFolder && !QFileInfo::exists(settingsFile);
    if (ReadSettings() == -1) {
        // In its own folder a missing file is a first start, no fault; a
        // file that is there but cannot be read, or cannot be written, is.
        if (firstStart)
            WriteSettings();
        if (!firstStart || !QFileInfo::exists(settingsFile))
            StartupError = 10;
    }

    const bool expert = UserLevel == 1;
    if (auto *action = qobject_cast<QAction *>(
            m_testToolButton->property("toolbarAction").value<QObject *>()))
        action->setVisible(expert);
    m_testAction->setVisible(expert);
    if (expert)
        SetStatusPanel(1, QStringLiteral(" Press 'ESC' to enter direct commands"));

    QString configRefused;
    if (ConfigFileNamed && ConfigFile.size() > 5) {
        if (ReadConfigFile(ConfigFile, DeviceConfig, [this](const QString &t) { AddStatus(t); },
                           &configRefused)
            == -1) {
            StartupError = 20;
        } else {
            SetStatusPanel(0, ConfigFileStatusText(ConfigFile));
            ConfigLoaded = true;
        }
    }

    if (StartupError == 10)
        ShowError(this, QStringLiteral("Error opening 'mirto.ini'"));
    else if (StartupError == 20)
        ShowError(this, ConfigFileErrorText(ConfigFile, configRefused));

    if (InterfaceType == InterfaceNetwork) {
        m_openConToolButton->setToolTip(QStringLiteral("Open Network Connection"));
        m_closeConToolButton->setToolTip(QStringLiteral("Close Network Connection"));
    } else if (InterfaceType == InterfaceUsb) {
        const int port = FindMirtoUsbPort(UsbSysfsRoot, ComPortFolder(), UsbDevRoot);
        if (port == -1) {
            InterfaceType = InterfaceSerial;
            m_comportLabel->setVisible(true);
            m_portComboBox->setVisible(true);
            ShowError(this, QStringLiteral("Automatic detection of ComPort failed....\n\n"
                                           "Please select your Comport from the list"));
        } else {
            VaComm().SetPortNum(port);
            m_openConToolButton->setToolTip(QStringLiteral("Open USB Connection"));
            m_closeConToolButton->setToolTip(QStringLiteral("Close USB Connection"));
        }
    } else {
        m_comportLabel->setVisible(true);
        m_portComboBox->setVisible(true);
        selectPortEntry();
        const QString entry = m_portComboBox->currentIndex() >= 0
                                  ? m_portComboBox->currentText()
                                  : QString();
        m_openConToolButton->setToolTip(hintOpen(entry));
        m_closeConToolButton->setToolTip(hintClose(entry));
    }

    // The device's text is what the user came for: typing goes there first.
    m_memo->setFocus();
    if (Bootload && m_upload && m_connection->Boot().ReadyForUpdate())
        m_upload->exec();
}

void TMainForm::fillPortList()
{
    QStringList ports;
    EnumComPorts(ports);
    m_portComboBox->clear();
    m_portComboBox->addItems(ports);
    // A port on a serial server names its server.
    for (int i = 0; i < m_portComboBox->count(); ++i) {
        const QString hint = ComPortHint(PortNumberOfEntry(m_portComboBox->itemText(i)));
        if (!hint.isEmpty())
            m_portComboBox->setItemData(i, hint, Qt::ToolTipRole);
    }
    m_portComboBox->setCurrentIndex(-1);
}

void TMainForm::selectPortEntry()
{
    m_portComboBox->setCurrentIndex(-1);
    for (int i = 0; i < m_portComboBox->count(); ++i) {
        if (PortNumberOfEntry(m_portComboBox->itemText(i)) == VaComm().PortNum()) {
            m_portComboBox->setCurrentIndex(i);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Connection management

void TMainForm::OpenConnectionClicked(QObject *sender)
{
    // The update dialog's Close button hands the port back to the terminal:
    // no identification then.
    const auto *senderWidget = qobject_cast<const QWidget *>(sender);
    const bool closingUpdate = senderWidget && m_upload && m_upload->isAncestorOf(senderWidget)
                               && sender->objectName() == QLatin1String("CancelButton");
    m_connection->OpenConnectionClicked(!closingUpdate);
}

void TMainForm::CloseConnectionClicked()
{
    m_connection->CloseConnectionClicked();
}

void TMainForm::PortComboBoxChange(int index)
{
    if (index < 0)
        return;
    const int number = PortNumberOfEntry(m_portComboBox->itemText(index));
    const int before = VaComm().PortNum();
    if (number < 0 || !m_connection->ChangePort(number))
        return;
    // What a reconnect did last tells of the port left behind; on another
    // port it would name a device that is no longer the one worked on.
    if (number != before)
        m_reconnectLabel->SetNote(QString());
    const QString numberText = QString::number(number);
    m_openConToolButton->setToolTip(QStringLiteral("Open Connection (COM ") + numberText
                                    + QStringLiteral(")"));
    m_closeConToolButton->setToolTip(QStringLiteral("Close Connection (COM ") + numberText
                                     + QStringLiteral(")"));
    WriteSettings();
}

void TMainForm::showConnectionState(const ConnectionState &state)
{
    SetStatusPanel(3, state.ConnectionPanel);
    m_openConToolButton->setEnabled(state.OpenEnabled);
    m_closeConToolButton->setEnabled(state.CloseEnabled);
    m_portComboBox->setEnabled(state.PortListEnabled);
}

// ---------------------------------------------------------------------------
// Commands

void TMainForm::InfoToolButtonClick()
{
    m_connection->SendLines({"mode\n", "isp\n", "channel\n"});
}

void TMainForm::DeviceHistoryClicked()
{
    TDeviceHistoryForm history(this);
    history.exec();
}

void TMainForm::ConfigureClicked()
{
    if (!m_config)
        return;
    m_config->show();
    m_config->raise();
    m_config->activateWindow();
}

void TMainForm::UploadClicked()
{
    // While a job holds the link the dialog does not open: it would take the
    // port from under that job. The busy notice says which job it is.
    if (!m_upload || !m_connection->Boot().ReadyForUpdate())
        return;
    const QByteArray serialBefore = SerialNumberText();
    const QByteArray versionBefore = SoftwareVersionText();
    const int transfers = m_upload->TransfersStarted;
    m_upload->exec();
    // Closing the dialog identified the device again: the history gets both.
    if (m_upload->TransfersStarted != transfers)
        RecordWindowChange(this, QStringLiteral("update"), InterfaceType,
                           InterfaceType == InterfaceNetwork ? HostAddress
                                                             : QStringLiteral("COM%1").arg(VaComm().PortNum()),
                           serialBefore, versionBefore, SerialNumberText(), SoftwareVersionText(), m_upload->Input(),
                           m_upload->Updated(),
                           m_upload->LastProblem.isEmpty() ? QStringLiteral("Firmware update failed")
                                                           : m_upload->LastProblem);
}

void TMainForm::AdvancedClicked()
{
    if (!m_advanced)
        return;
    if (!m_consolePlaced && !m_advanced->isVisible()) {
        m_consolePlaced = true;
        placeConsole();
    }
    m_advanced->show();
    m_advanced->raise();
    m_advanced->activateWindow();
}

void TMainForm::placeConsole()
{
    const QScreen *screen = this->screen();
    if (!screen)
        return;
    m_advanced->adjustSize();
    // The console's frame will be as thick as the main window's.
    const QSize frame = frameGeometry().size() - size();
    // The newest lines of the terminal and the command line below it.
    const int lines = 8 * m_memo->fontMetrics().lineSpacing();
    const QRect terminal(m_memo->mapToGlobal(QPoint(0, 0)), m_memo->size());
    QRect keepClear = terminal;
    keepClear.setTop(std::max(terminal.top(), terminal.bottom() - lines));
    const QWidget *bottomRow = m_commandEdit->parentWidget();
    keepClear.setBottom(bottomRow->mapToGlobal(QPoint(0, bottomRow->height())).y());
    // The strip of the frame above the window's contents: the title bar.
    const QRect mainFrame = frameGeometry();
    const QRect titleBar(mainFrame.topLeft(),
                         QSize(mainFrame.width(), geometry().top() - mainFrame.top()));
    m_advanced->move(PlaceBeside(screen->availableGeometry(), mainFrame, titleBar, keepClear,
                                 m_advanced->size() + frame));
}

void TMainForm::HelpToolButtonClick()
{
    m_help->ShowHelp(HelpFile);
}

void TMainForm::IndexClick()
{
    HelpToolButtonClick();
}

void TMainForm::AboutClicked()
{
    if (m_about)
        m_about->exec();
}

void TMainForm::ExitClicked()
{
    close();
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    Preferences::SetMainWindowGeometry(saveGeometry());
    MainFormClose();
    QMainWindow::closeEvent(e);
}

void TMainForm::MainFormClose()
{
    // A command file under way ends with the link, without a message.
    m_commandFileRun.Stop();
    m_connection->Shutdown();
}
