#include "desktop/Commainform.h"

#include "core/config/ConfigFile.h"
#include "desktop/config/Configure.h"
#include "core/config/DeviceConfig.h"
#include "desktop/Advanced.h"
#include "desktop/DeviceHistory.h"
#include "desktop/firmware/Upload.h"
#include "core/links/ComPorts.h"
#include "core/links/UsbPortDetect.h"
#include "desktop/About.h"
#include "core/AtomicFile.h"
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
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
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
    m_echoPort = std::make_unique<EchoingCommandPort>(
        *m_connection, [this](const QByteArray &text) { AppendTerminal(text); },
        [this] { return !m_memo->Buffer().Line(m_memo->Buffer().LineCount() - 1).isEmpty(); });
    m_echoPort->Echo = Preferences::LocalEcho();
    {
        // Showing the kept choice is no new choice to keep.
        const QSignalBlocker quiet(m_echoAction);
        m_echoAction->setChecked(m_echoPort->Echo);
    }
    m_connection->SetAutoReconnect(Preferences::AutoReconnect());
    {
        const QSignalBlocker quiet(m_reconnectAction);
        m_reconnectAction->setChecked(m_connection->AutoReconnect());
    }
    // The commands of earlier sessions come back, newest first.
    m_commandEdit->addItems(Preferences::CommandHistory());
    m_commandEdit->setCurrentIndex(-1);
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
// Keys

bool TMainForm::previewKey(QKeyEvent *key, QWidget *target)
{
    // The find bar's own keys: Enter finds, Escape closes the bar.
    if (m_findBar->isAncestorOf(target)
        && (key->key() == Qt::Key_Escape || key->key() == Qt::Key_Return
            || key->key() == Qt::Key_Enter))
        return false;
    if (UserLevel == 1) {
        const bool commandKey =
            key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
        const bool inCommandLine = target == m_commandEdit || m_commandEdit->isAncestorOf(target);
        // Ctrl+R at the terminal opens the command line and searches there,
        // as typing at the terminal opens it with the key typed.
        const bool atTerminal = target == m_memo && m_commandEdit->isHidden();
        if ((atTerminal || (inCommandLine && !m_commandEdit->isHidden())) && !key->isAutoRepeat()
            && key->key() == Qt::Key_R && key->modifiers() == Qt::ControlModifier) {
            if (atTerminal)
                showCommandLine(true);
            if (!m_searching) {
                m_searching = true;
                m_searchText.clear();
                if (m_commandEdit->currentIndex() < 0)
                    m_historyDraft = m_commandEdit->currentText();
                searchHistory(0);
            } else {
                // Again: the next older entry that holds the same text.
                searchHistory(m_searchMatch + 1);
            }
            return true;
        }
        if (m_searching && searchKey(key))
            return true;
        if ((key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) && !commandKey
            && inCommandLine) {
            RecallCommand(key->key() == Qt::Key_Up);
            return true;
        }
        // Typing at the terminal is typing a command: the command line opens
        // with the key in it. Shortcuts (Ctrl, Alt) stay shortcuts.
        // With the command line already open (the focus came back to the
        // terminal, say from the find bar), the key goes on into it.
        const QString typed = key->text();
        if (target == m_memo && !commandKey && !typed.isEmpty() && typed.at(0).isPrint()) {
            if (m_commandEdit->isHidden())
                showCommandLine(true);
            else
                m_commandEdit->setFocus(Qt::OtherFocusReason);
            m_commandEdit->lineEdit()->insert(typed);
            return true;
        }
    }
    return MainFormKeyPress(key->key(), key->isAutoRepeat());
}

void TMainForm::showCommandLine(bool show)
{
    if (m_searching)
        endHistorySearch();
    // The focus leaving with the command line goes to the terminal, where
    // typing opens it again, not to whichever control comes next.
    const bool hadFocus = m_commandEdit->isAncestorOf(QApplication::focusWidget())
                          || QApplication::focusWidget() == m_commandEdit;
    m_commandEdit->setVisible(show);
    if (!show && hadFocus)
        m_memo->setFocus(Qt::OtherFocusReason);
    if (show) {
        SetStatusPanel(1, QStringLiteral("Type 'help' for a list of commands"));
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(QString());
        m_commandEdit->setFocus();
    } else {
        SetStatusPanel(1, QStringLiteral(" Press 'ESC' to enter direct commands"));
    }
}

bool TMainForm::MainFormKeyPress(int key, bool autoRepeat)
{
    if (UserLevel != 1 || autoRepeat)
        return false;
    if (key == Qt::Key_Escape) {
        showCommandLine(m_commandEdit->isHidden());
        return true;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !m_commandEdit->isHidden()) {
        const QString typed = m_commandEdit->currentText();
        m_commandEdit->insertItem(0, typed);
        keepHistory();
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(QString());
        m_echoPort->SendLines({typed.toLatin1() + '\n'});
        return true;
    }
    return false;
}

int CommandHistoryStep(int current, int count, bool older)
{
    if (older)
        return current + 1 < count ? current + 1 : current;
    return current >= 0 ? current - 1 : -1;
}

void TMainForm::keepHistory()
{
    while (m_commandEdit->count() > Preferences::CommandHistoryLimit)
        m_commandEdit->removeItem(m_commandEdit->count() - 1);
    QStringList commands;
    commands.reserve(m_commandEdit->count());
    for (int i = 0; i < m_commandEdit->count(); ++i)
        commands << m_commandEdit->itemText(i);
    Preferences::SetCommandHistory(commands);
}

int CommandHistorySearch(const QStringList &history, const QString &needle, int from)
{
    for (int i = std::max(from, 0); i < history.size(); ++i) {
        if (history.at(i).contains(needle))
            return i;
    }
    return -1;
}

void TMainForm::searchHistory(int from)
{
    QStringList history;
    for (int i = 0; i < m_commandEdit->count(); ++i)
        history << m_commandEdit->itemText(i);
    const int found = CommandHistorySearch(history, m_searchText, from);
    // A search that finds nothing keeps the last match, as a shell does.
    if (found >= 0) {
        m_searchMatch = found;
        m_commandEdit->setCurrentIndex(found);
        m_commandEdit->lineEdit()->end(false);
    }
    const QString text = (found >= 0 || m_searchText.isEmpty() ? QStringLiteral("(reverse-i-search)")
                                                               : QStringLiteral("(failed reverse-i-search)"))
                         + QStringLiteral("`") + m_searchText + QStringLiteral("':");
    m_searchLabel->setText(text);
    m_searchLabel->setAccessibleName(text);
    m_searchLabel->setVisible(true);
}

bool TMainForm::searchKey(QKeyEvent *key)
{
    // Ctrl or Shift pressed on its way to Ctrl+R or a capital is no key of
    // its own: the search goes on.
    switch (key->key()) {
    case Qt::Key_Control:
    case Qt::Key_Shift:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_CapsLock:
        return false;
    default:
        break;
    }
    const bool commandKey =
        key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (key->key() == Qt::Key_Backspace) {
        m_searchText.chop(1);
        searchHistory(0);
        return true;
    }
    if (key->key() == Qt::Key_G && key->modifiers() == Qt::ControlModifier) {
        // Given up: the line being typed comes back.
        endHistorySearch();
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(m_historyDraft);
        return true;
    }
    if (key->key() == Qt::Key_Escape) {
        // The match stays in the line to be edited or sent.
        endHistorySearch();
        return true;
    }
    const QString typed = key->text();
    if (!commandKey && !typed.isEmpty() && typed.at(0).isPrint()) {
        m_searchText += typed;
        searchHistory(std::max(m_searchMatch, 0));
        return true;
    }
    // Any other key ends the search with the match in the line and then does
    // what it always does (Enter sends it, Up and Down walk on from it).
    endHistorySearch();
    return false;
}

void TMainForm::endHistorySearch()
{
    m_searching = false;
    m_searchMatch = -1;
    m_searchLabel->setVisible(false);
}

void TMainForm::RecallCommand(bool older)
{
    const int current = m_commandEdit->currentIndex();
    const int next = CommandHistoryStep(current, m_commandEdit->count(), older);
    if (next == current)
        return;
    // What was being typed comes back after the newest command.
    if (current < 0)
        m_historyDraft = m_commandEdit->currentText();
    m_commandEdit->setCurrentIndex(next);
    if (next < 0)
        m_commandEdit->setEditText(m_historyDraft);
    m_commandEdit->lineEdit()->end(false);
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
    if (number < 0 || !m_connection->ChangePort(number))
        return;
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

void TMainForm::SaveResponseClicked()
{
    QFileDialog dialog(this, QStringLiteral("Save the contents of the response field"),
                       QDir::currentPath());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("*.txt"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    if (QFileInfo::exists(path) && !AskYesNo(this, QStringLiteral("Overwrite existing File?")))
        return;
    const QString error = WriteTerminalFile(path, m_memo->Buffer());
    if (!error.isEmpty()) {
        // An earlier save's note must not stand beside this failure.
        m_savedLabel->SetNote(QString());
        ShowErrorMessage(error);
        return;
    }
    // Said where the user looks while working on; it goes again after a
    // while, and stays in the status list.
    const QString saved = TerminalSavedText(QFileInfo(path).absoluteFilePath());
    AddStatus(saved);
    m_savedLabel->SetNote(saved);
    if (!m_savedNoteTimer) {
        m_savedNoteTimer = new QTimer(this);
        m_savedNoteTimer->setSingleShot(true);
        connect(m_savedNoteTimer, &QTimer::timeout, this,
                [this] { m_savedLabel->SetNote(QString()); });
    }
    m_savedNoteTimer->start(SavedNoteMs);
}

QString TMainForm::TerminalSavedText(const QString &path)
{
    return QStringLiteral("Terminal saved to ") + path;
}

QString TMainForm::LoggingText(const QString &path)
{
    return QStringLiteral("Logging to ") + QFileInfo(path).fileName();
}

QString TMainForm::StatusNote(const char *name) const
{
    const auto *label = findChild<NoteLabel *>(QString::fromLatin1(name));
    return label && !label->isHidden() ? label->Note() : QString();
}

QString WriteTerminalFile(const QString &path, const TerminalBuffer &buffer)
{
    // In a folder we may not create files in, the file itself may still be
    // writable: then it is written in place.
    AtomicFileWriter file(path, true);
    if (!file.Open())
        return file.ErrorString();
    // The lines go straight from the terminal's store into the file: a
    // terminal of many megabytes is never copied whole. An empty line after
    // the final line break is left out, so the file ends with that break.
    qsizetype count = buffer.LineCount();
    if (count > 0 && buffer.Line(count - 1).isEmpty())
        --count;
    for (qsizetype i = 0; i < count; ++i) {
        if (!file.Write(buffer.Line(i)) || !file.Write("\r\n"))
            return file.ErrorString();
    }
    if (!file.Commit())
        return file.ErrorString();
    return {};
}

void TMainForm::ClearResponseClicked()
{
    m_memo->Clear();
    showDroppedLines(0);
}

void TMainForm::AppendTerminal(const QByteArray &text)
{
    // The tool's own text and echoed commands start on a line of their own
    // below the bytes shown as hex.
    if (m_hexView && m_hexDump.LineOpen())
        showTerminalText(m_hexDump.Break() + text);
    else
        showTerminalText(text);
}

void TMainForm::AppendRawBytes(const QByteArray &bytes)
{
    if (!m_hexView) {
        showTerminalText(bytes);
        return;
    }
    m_hexText.clear();
    m_hexDump.Feed(bytes, m_hexText);
    showTerminalText(m_hexText);
}

void TMainForm::SetHexView(bool on)
{
    if (on == m_hexView)
        return;
    if (m_hexAction && m_hexAction->isChecked() != on) {
        const QSignalBlocker quiet(m_hexAction);
        m_hexAction->setChecked(on);
    }
    QByteArray text = m_hexDump.Break();
    // Each view starts on a line of its own; the offsets count from the
    // moment the hex view was switched on.
    const qsizetype last = m_memo->Buffer().LineCount() - 1;
    if (text.isEmpty() && !m_memo->Buffer().Line(last).isEmpty())
        text = "\n";
    m_hexDump.Reset();
    m_hexView = on;
    if (!text.isEmpty())
        showTerminalText(text);
}

void TMainForm::showTerminalText(const QByteArray &text)
{
    m_memo->AppendText(text);
    if (m_log->Append(text))
        return;
    showLogging();
    // Told once the text has been taken in, not from inside the receive path.
    QMetaObject::invokeMethod(
        this, [error = m_log->Error()] { ShowErrorMessage(error); }, Qt::QueuedConnection);
}

void TMainForm::showDroppedLines(qsizetype total)
{
    if (total <= 0) {
        m_droppedLabel->SetNote(QString());
        return;
    }
    m_droppedLabel->SetNote(
        QStringLiteral("%L1 old lines dropped").arg(total),
        QStringLiteral("The terminal keeps the newest %L1 lines (Tools - Terminal Lines)")
            .arg(m_memo->LineLimit()));
}

void TMainForm::TerminalLinesClicked()
{
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("TerminalLinesDialog"));
    dialog.setWindowTitle(QStringLiteral("Terminal Lines"));
    dialog.setLabelText(QStringLiteral("&Lines the terminal keeps (the oldest go first):"));
    dialog.setInputMode(QInputDialog::IntInput);
    dialog.setIntRange(int(MinTerminalLines), int(MaxTerminalLines));
    dialog.setIntStep(10'000);
    dialog.setIntValue(int(std::clamp(m_memo->LineLimit(), MinTerminalLines, MaxTerminalLines)));
    dialog.setAccessibleName(QStringLiteral("Terminal Lines"));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const qsizetype lines = dialog.intValue();
    m_memo->SetLineLimit(lines);
    Preferences::SetTerminalLineLimit(lines);
    if (m_memo->DroppedLines() > 0)
        showDroppedLines(m_memo->DroppedLines());
}

void TMainForm::DeviceHistoryClicked()
{
    TDeviceHistoryForm history(this);
    history.exec();
}

void TMainForm::LogToFileClicked()
{
    QFileDialog dialog(this, QStringLiteral("Log the terminal to a file"), QDir::currentPath());
    dialog.setObjectName(QStringLiteral("LogFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.selectFile(QStringLiteral("*.log"));
    // The log is appended to, never overwritten: nothing to confirm.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    if (!m_log->Start(path))
        ShowErrorMessage(m_log->Error());
    else
        AddStatus(QStringLiteral("Logging to ") + path);
    showLogging();
}

void TMainForm::StopLoggingClicked()
{
    const bool whole = m_log->Stop();
    AddStatus(QStringLiteral("Logging stopped"));
    showLogging();
    if (!whole)
        ShowErrorMessage(m_log->Error());
}

void TMainForm::SendCommandFileClicked()
{
    QFileDialog dialog(this, QStringLiteral("Send a file of commands"), QDir::currentPath());
    dialog.setObjectName(QStringLiteral("CommandFileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Command files (*.txt *.cmd)"), QStringLiteral("All files (*)")});
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    SendCommandFile(dialog.selectedFiles().constFirst());
}

void TMainForm::SendCommandFile(const QString &path)
{
    if (m_commandFileRun.Running())
        return;
    QList<CommandFileLine> lines;
    const QString error = ReadCommandFile(path, lines);
    if (!error.isEmpty()) {
        ShowError(this, path + QStringLiteral(":\n\n") + error + QStringLiteral("\n\nNothing was sent."));
        return;
    }
    const auto show = [this](const QString &text) {
        m_commandFileLabel->SetNote(text);
    };
    m_commandFileRun.Progress = [show](int index, int total, const CommandFileLine &line) {
        show(QStringLiteral("Command file: line %1 of %2: %3")
                 .arg(index + 1)
                 .arg(total)
                 .arg(QString::fromLatin1(line.Text)));
    };
    m_commandFileAction->setEnabled(false);
    m_commandFileStop->setEnabled(true);
    m_commandFileStop->setVisible(true);
    const CommandFileRun::Outcome outcome = m_commandFileRun.Run(ConsolePort(), lines);
    m_commandFileStop->setVisible(false);
    m_commandFileAction->setEnabled(true);
    const QString summary = outcome.Summary();
    show(summary);
    AddStatus(summary);
    // A refused run has been told already (busy, or the link would not open).
    if (outcome.Ending == CommandFileRun::End::NoPrompt || outcome.Ending == CommandFileRun::End::LinkClosed)
        ShowError(this, summary);
}

void TMainForm::showLogging()
{
    m_stopLogAction->setEnabled(m_log->Active());
    m_logLabel->SetNote(m_log->Active() ? LoggingText(m_log->Path()) : QStringLiteral("Not logging"),
                        m_log->Active() ? m_log->Path() : QString());
    m_stopLogAction->setText(m_log->Active() ? QStringLiteral("&Stop Logging to %1")
                                                   .arg(QFileInfo(m_log->Path()).fileName())
                                             : QStringLiteral("&Stop Logging"));
}

QString TMainForm::LogFilePath() const
{
    return m_log->Active() ? m_log->Path() : QString();
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
                           serialBefore, versionBefore, SerialNumberText(), SoftwareVersionText(), BootFile,
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
