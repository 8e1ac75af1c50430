#include "shell/Commainform.h"

#include "config/ConfigFile.h"
#include "config/Configure.h"
#include "config/DeviceConfig.h"
#include "diag/Advanced.h"
#include "firmware/Upload.h"
#include "links/ComPorts.h"
#include "links/UsbPortDetect.h"
#include "shell/About.h"
#include "shell/ErrorDisplay.h"
#include "shell/HelpForm.h"
#include "shell/Identification.h"
#include "shell/Resources.h"
#include "shell/TerminalView.h"

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
#include <QSaveFile>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr quint16 UsbVendor = 0x10C4;
constexpr quint16 UsbProduct = 0xEA60;
const char *const UsbSerial = "0001";

QString hintOpen(const QString &entry)
{
    return QStringLiteral("Open Connection ( ") + entry + QStringLiteral(")");
}

QString hintClose(const QString &entry)
{
    return QStringLiteral("Close Connection ( ") + entry + QStringLiteral(")");
}

} // namespace

TMainForm::TMainForm(QWidget *parent) : QMainWindow(parent)
{
    InitMirtoResources();
    setObjectName(QStringLiteral("MainForm"));
    StartDirectory = QDir::currentPath();
    HelpFile = StartDirectory + QStringLiteral("/MirtoHelp.hlp");

    buildWindow();

    m_vaComm.SetStopbits(QSerialPort::OneStop);
    m_vaComm.SetDatabits(QSerialPort::Data8);
    m_vaComm.SetParity(QSerialPort::NoParity);
    m_vaComm.SetFlowControl({});
    m_vaComm.SetPortNum(0);
    m_vaComm.SetBaudrate(115200);
    connect(&m_vaComm, &SerialPort::OnRxChar, this, &TMainForm::VaCommRxChar);
    connect(&m_vaComm, &SerialPort::DeviceLost, this, &TMainForm::VaCommDeviceLost);

    m_clientSocket.SetPort(9000);
    connect(&m_clientSocket, &TClientSocket::OnConnect, this, &TMainForm::ClientSocketConnect);
    connect(&m_clientSocket, &TClientSocket::OnRead, this, &TMainForm::ClientSocketRead);
    connect(&m_clientSocket, &TClientSocket::OnDisconnect, this,
            &TMainForm::ClientSocketDisconnect);
    connect(&m_clientSocket, &TClientSocket::OnError, this, &TMainForm::ClientSocketError,
            Qt::DirectConnection);

    m_toTimer.setObjectName(QStringLiteral("TOTimer"));
    m_toTimer.setSingleShot(true);
    m_toTimer.setInterval(ConnectTimeoutMs);
    connect(&m_toTimer, &QTimer::timeout, this, &TMainForm::TOTimerTimer);

    fillPortList();
    ResetConfig();
    UpdateConnectionStatus();
    qApp->installEventFilter(this);
}

TMainForm::~TMainForm()
{
    qApp->removeEventFilter(this);
    if (m_busy)
        QApplication::restoreOverrideCursor();
}

void TMainForm::SetDialogs(TAboutForm *about, TConfigForm *config, TUploadForm *upload,
                           TAdvancedForm *advanced)
{
    m_about = about;
    m_config = config;
    m_upload = upload;
    m_advanced = advanced;
}

void TMainForm::buildWindow()
{
    setWindowTitle(QStringLiteral("Mirto Terminal Program"));
    setWindowIcon(QIcon(QStringLiteral(":/mirto-terminal.svg")));

    auto *toolBar = new QToolBar(this);
    toolBar->setObjectName(QStringLiteral("ToolBar"));
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    toolBar->setIconSize(QSize(32, 32));
    addToolBar(Qt::TopToolBarArea, toolBar);
    struct ButtonDesign {
        const char *name;
        const char *hint;
        const char *themeIcon;
        QStyle::StandardPixmap fallback;
        void (TMainForm::*slot)();
        bool groupEnds;
    };
    // Pictures come from the desktop's icon theme; the style's own serve
    // where the theme has none.
    static const ButtonDesign buttons[] = {
        {"ConfigureToolButton", "Configure Mirto", "preferences-system",
         QStyle::SP_FileDialogDetailedView, &TMainForm::ConfigureClicked, false},
        {"UploadToolButton", "Update Firmware", "system-software-update", QStyle::SP_ArrowUp,
         &TMainForm::UploadClicked, false},
        {"InfoToolButton", "Read Mirto configuration", "dialog-information",
         QStyle::SP_MessageBoxInformation, &TMainForm::InfoToolButtonClick, false},
        {"TestToolButton", "Test & Analysis", "utilities-system-monitor", QStyle::SP_ComputerIcon,
         &TMainForm::AdvancedClicked, true},
        {"OpenConToolButton", "Open Comport", "network-connect", QStyle::SP_MediaPlay, nullptr,
         false},
        {"CloseConToolButton", "Close Comport", "network-disconnect", QStyle::SP_MediaStop,
         &TMainForm::CloseConnectionClicked, true},
        {"SaveTermToolButton", "Save terminal window", "document-save",
         QStyle::SP_DialogSaveButton, &TMainForm::SaveResponseClicked, false},
        {"ClearTermToolButton", "Clear terminal window", "edit-clear",
         QStyle::SP_DialogResetButton, &TMainForm::ClearResponseClicked, true},
        {"HelpToolButton", "Help", "help-contents", QStyle::SP_DialogHelpButton,
         &TMainForm::HelpToolButtonClick, false},
    };
    for (const ButtonDesign &design : buttons) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1String(design.name));
        button->setToolTip(QLatin1String(design.hint));
        button->setIcon(QIcon::fromTheme(QLatin1String(design.themeIcon),
                                         style()->standardIcon(design.fallback)));
        button->setIconSize(QSize(32, 32));
        button->setAutoRaise(true);
        if (design.slot)
            connect(button, &QToolButton::clicked, this, [this, slot = design.slot] { (this->*slot)(); });
        QAction *action = toolBar->addWidget(button);
        // The toolbar shows and hides its buttons through their actions.
        button->setProperty("toolbarAction", QVariant::fromValue<QObject *>(action));
        if (design.groupEnds)
            toolBar->addSeparator();
    }
    m_testToolButton = findChild<QToolButton *>(QStringLiteral("TestToolButton"));
    m_openConToolButton = findChild<QToolButton *>(QStringLiteral("OpenConToolButton"));
    m_closeConToolButton = findChild<QToolButton *>(QStringLiteral("CloseConToolButton"));
    // The open button tells who opens: other windows call with no sender.
    connect(m_openConToolButton, &QToolButton::clicked, this,
            [this] { OpenConnectionClicked(m_openConToolButton); });
    m_closeConToolButton->setEnabled(false);

    QMenu *fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    fileMenu->addAction(QStringLiteral("E&xit"), this, &TMainForm::ExitClicked);
    QMenu *toolsMenu = menuBar()->addMenu(QStringLiteral("&Tools"));
    toolsMenu->addAction(QStringLiteral("Configure Mirto"), this, &TMainForm::ConfigureClicked);
    toolsMenu->addAction(QStringLiteral("Update Firmware"), this, &TMainForm::UploadClicked);
    toolsMenu->addAction(QStringLiteral("Read Mirto configuration "), this,
                         &TMainForm::InfoToolButtonClick);
    m_testAction = toolsMenu->addAction(QStringLiteral("Test and Analysis"), this,
                                        &TMainForm::AdvancedClicked);
    m_testAction->setObjectName(QStringLiteral("TestAndAnalysisItem"));
    QMenu *windowMenu = menuBar()->addMenu(QStringLiteral("&Window"));
    QAction *clear = windowMenu->addAction(QStringLiteral("Clear Terminal Window"), this,
                                           &TMainForm::ClearResponseClicked);
    clear->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    windowMenu->addAction(QStringLiteral("Save Terminal Window"), this,
                          &TMainForm::SaveResponseClicked);
    QMenu *helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    helpMenu->addAction(QStringLiteral("Index"), this, &TMainForm::HelpToolButtonClick);
    helpMenu->addSeparator();
    helpMenu->addAction(QStringLiteral("About"), this, &TMainForm::AboutClicked);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(7, 4, 7, 4);
    layout->setSpacing(4);
    auto *caption = new QLabel(QStringLiteral("Terminal Window"), central);
    caption->setObjectName(QStringLiteral("TerminalLabel"));
    caption->setStyleSheet(QStringLiteral("font-weight: bold; color: maroon;"));
    layout->addWidget(caption);
    m_memo = new TerminalView(central);
    m_memo->setObjectName(QStringLiteral("Memo"));
    m_memo->setFixedSize(780, 409);
    layout->addWidget(m_memo);

    // The bottom row keeps its height while hidden so the window never jumps.
    auto *bottom = new QWidget(central);
    bottom->setObjectName(QStringLiteral("BottomRow"));
    auto *row = new QHBoxLayout(bottom);
    row->setContentsMargins(0, 0, 0, 0);
    m_commandEdit = new QComboBox(bottom);
    m_commandEdit->setObjectName(QStringLiteral("CommandEdit"));
    m_commandEdit->setEditable(true);
    m_commandEdit->setInsertPolicy(QComboBox::NoInsert);
    m_commandEdit->setFixedWidth(597);
    m_commandEdit->setVisible(false);
    row->addWidget(m_commandEdit);
    row->addStretch();
    m_comportLabel = new QLabel(QStringLiteral("Comport"), bottom);
    m_comportLabel->setObjectName(QStringLiteral("ComportLabel"));
    m_comportLabel->setStyleSheet(QStringLiteral("font-weight: bold;"));
    m_comportLabel->setVisible(false);
    row->addWidget(m_comportLabel);
    m_portComboBox = new QComboBox(bottom);
    m_portComboBox->setObjectName(QStringLiteral("PortComboBox"));
    m_portComboBox->setFixedWidth(95);
    m_portComboBox->setVisible(false);
    connect(m_portComboBox, &QComboBox::activated, this, &TMainForm::PortComboBoxChange);
    row->addWidget(m_portComboBox);
    bottom->setFixedHeight(m_commandEdit->sizeHint().height());
    layout->addWidget(bottom);

    m_statusComboBox = new QComboBox(central);
    m_statusComboBox->setObjectName(QStringLiteral("StatusComboBox"));
    m_statusComboBox->setVisible(false);
    setCentralWidget(central);

    auto *bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    // Wide enough for the identification and the connection texts.
    const int widths[4] = {240, 230, 200, 50};
    const QString texts[4] = {QStringLiteral("  No Configuration File loaded"), QString(),
                              QStringLiteral("  Serial Number Not Available"),
                              QStringLiteral("  Not Connected")};
    for (int i = 0; i < 4; ++i) {
        m_panels[i] = new QLabel(texts[i], bar);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setFrameShape(QFrame::Panel);
        m_panels[i]->setFrameShadow(QFrame::Sunken);
        if (i < 3)
            m_panels[i]->setFixedWidth(widths[i]);
        bar->addWidget(m_panels[i], i == 3 ? 1 : 0);
    }
    setStatusBar(bar);
    m_help = new THelpForm(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // A fixed window: the terminal's size is part of the design.
    setFixedSize(sizeHint());
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
    return m_panels[panel]->text();
}

void TMainForm::SetStatusPanel(int panel, const QString &text)
{
    m_panels[panel]->setText(text);
}

QByteArray TMainForm::SerialNumberText() const
{
    return QByteArray(SerialNumber.constData());
}

QByteArray TMainForm::SoftwareVersionText() const
{
    return QByteArray(SoftwareVersion.constData());
}

// ---------------------------------------------------------------------------
// Settings

int TMainForm::ReadSettings()
{
    StoredSettings stored;
    static_cast<ToolSettings &>(stored) = *this;
    stored.PortNum = m_vaComm.PortNum();
    const int result = ReadSettingsFile(StartDirectory + QStringLiteral("/mirto.ini"), stored,
                                        [this](const QString &t) { AddStatus(t); });
    if (result != 0)
        return result;
    static_cast<ToolSettings &>(*this) = stored;
    m_vaComm.SetPortNum(stored.PortNum);
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
    if (e->type() == QEvent::WindowActivate && FirstActivation)
        MainFormActivate();
    // Without a window manager the window may never be activated; the first
    // showing then counts as the first activation.
    if (e->type() == QEvent::Show && FirstActivation)
        QTimer::singleShot(0, this, &TMainForm::MainFormActivate);
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

    if (ReadSettings() == -1)
        StartupError = 10;

    const bool expert = UserLevel == 1;
    if (auto *action = qobject_cast<QAction *>(
            m_testToolButton->property("toolbarAction").value<QObject *>()))
        action->setVisible(expert);
    m_testAction->setVisible(expert);
    if (expert)
        SetStatusPanel(1, QStringLiteral(" Press 'ESC' to enter direct commands"));

    if (ConfigFileNamed && ConfigFile.size() > 5) {
        if (ReadConfigFile(ConfigFile) == -1) {
            StartupError = 20;
        } else {
            SetStatusPanel(0, ConfigFileStatusText(ConfigFile));
            ConfigLoaded = true;
        }
    }

    if (StartupError == 10)
        QMessageBox::information(this, windowTitle(), QStringLiteral("Error opening 'mirto.ini'"),
                                 QMessageBox::Ok);
    else if (StartupError == 20)
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("Error opening configuration file\r\n")
                                     + ConfigFile,
                                 QMessageBox::Ok);

    if (InterfaceType == InterfaceNetwork) {
        m_openConToolButton->setToolTip(QStringLiteral("Open Network Connection"));
        m_closeConToolButton->setToolTip(QStringLiteral("Close Network Connection"));
    } else if (InterfaceType == InterfaceUsb) {
        const int port = FindUsbPort(UsbSysfsRoot, UsbVendor, UsbProduct,
                                     QString::fromLatin1(UsbSerial), ComPortFolder(), UsbDevRoot);
        if (port == -1) {
            InterfaceType = InterfaceSerial;
            m_comportLabel->setVisible(true);
            m_portComboBox->setVisible(true);
            QMessageBox::information(
                this, windowTitle(),
                QStringLiteral("Automatic detection of ComPort failed....\n\n"
                               "Please select your Comport from the list"),
                QMessageBox::Ok);
        } else {
            m_vaComm.SetPortNum(port);
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

    if (Bootload && m_upload)
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
        if (PortNumberOfEntry(m_portComboBox->itemText(i)) == m_vaComm.PortNum()) {
            m_portComboBox->setCurrentIndex(i);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Keys

bool TMainForm::eventFilter(QObject *watched, QEvent *e)
{
    if ((e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease)
        && watched->isWidgetType() && static_cast<QWidget *>(watched)->window() == this) {
        // A key that no control takes travels up to the window; the window
        // sees each press once, before the control that has the focus. The
        // press is over when a key is released.
        if (e->type() == QEvent::KeyRelease) {
            m_keyInFlight = nullptr;
        } else if (e != m_keyInFlight) {
            m_keyInFlight = e;
            MainFormKeyPress(static_cast<QKeyEvent *>(e)->key());
        }
    }
    return QMainWindow::eventFilter(watched, e);
}

void TMainForm::MainFormKeyPress(int key)
{
    if (UserLevel != 1)
        return;
    if (key == Qt::Key_Escape) {
        const bool show = m_commandEdit->isHidden();
        m_commandEdit->setVisible(show);
        if (show) {
            SetStatusPanel(1, QStringLiteral("Type 'help' for a list of commands"));
            m_commandEdit->setEditText(QString());
            m_commandEdit->setFocus();
        } else {
            SetStatusPanel(1, QStringLiteral(" Press 'ESC' to enter direct commands"));
        }
        return;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !m_commandEdit->isHidden()) {
        const QString typed = m_commandEdit->currentText();
        m_commandEdit->insertItem(0, typed);
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(QString());
        const QByteArray text = typed.toLatin1() + '\n';
        if (!Connected)
            OpenConnectionClicked(nullptr);
        if (Connected)
            SendCommand(text);
    }
}

// ---------------------------------------------------------------------------
// Command exchange

void TMainForm::SendCommand(const QByteArray &text)
{
    if (InterfaceType == InterfaceNetwork) {
        m_clientSocket.SendString(text);
        return;
    }
    if (m_vaComm.Active()) {
        try {
            m_vaComm.WriteBuf(text.constData(), int(qMin<qsizetype>(text.size(), PieceCapacity)));
        } catch (const SerialPortError &error) {
            ShowException(error);
        }
        return;
    }
    QMessageBox::information(
        this, windowTitle(),
        (InterfaceType == InterfaceUsb ? QStringLiteral("Error opening Virtual Comport: ")
                                       : QStringLiteral("Error opening Comport: "))
            + QString::number(m_vaComm.PortNum())
            + QStringLiteral(" (USB)\n\nDid you connect your USB cable?"),
        QMessageBox::Ok);
}

void TMainForm::ExchangeCommand(const QByteArray &text)
{
    PromptEvent.Reset();
    PromptSeen = false;
    ReplyBuffer.clear();
    SendCommand(text);
    WaitForPrompt();
}

bool TMainForm::linkAlive() const
{
    return InterfaceType == InterfaceNetwork ? m_clientSocket.Active() : m_vaComm.Active();
}

bool TMainForm::waitForLinkData(int msecs)
{
    if (InterfaceType == InterfaceNetwork)
        return m_clientSocket.WaitForData(msecs);
    return m_vaComm.WaitForData(msecs);
}

void TMainForm::WaitForPrompt()
{
    TMyWaitThread waitThread(PromptEvent, PromptSeen);
    m_inExchange = true;
    waitThread.start();
    // Only the link is served while we wait: its data may carry the prompt.
    // Input, painting, timers and everything else wait for the exchange.
    QDeadlineTimer deadline(TMyWaitThread::PromptTimeoutMs);
    // A link that went away (also while the command was being sent) cannot
    // bring a prompt: the wait ends at once instead of freezing the window.
    bool aborted = m_linkLost && !linkAlive();
    while (!aborted && linkAlive() && !waitThread.isFinished() && !PromptSeen) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        waitForLinkData(int(left));
        aborted = m_linkLost && !linkAlive();
    }
    if (aborted)
        PromptEvent.Set(); // the device is gone: no prompt can come
    waitThread.wait();
    if (aborted)
        PromptSeen = false;
    m_inExchange = false;
}

void TMainForm::collectReply(QByteArray piece)
{
    if (ReplyBuffer.size() + 40 > 100)
        ReplyBuffer.clear();
    ReplyBuffer += piece;
    // The buffer keeps the newest text: the prompt and the lines before it
    // are what an exchange reads.
    if (ReplyBuffer.size() > ReplyCapacity)
        ReplyBuffer.remove(0, ReplyBuffer.size() - ReplyCapacity);
    if (piece.contains('>')) {
        PromptSeen = true;
        PromptEvent.Set();
    }
}

void TMainForm::VaCommRxChar(SerialPort *sender, int count)
{
    if (UploadActive) {
        Q_EMIT UploadRxChar(sender, count);
        return;
    }
    char buffer[PieceCapacity + 1];
    // A large arrival is taken in parts that fit the receive buffer.
    while (count > 0) {
        const int n = sender->ReadBuf(buffer, qMin(count, PieceCapacity));
        if (n <= 0)
            break;
        count -= n;
        buffer[n] = '\0';
        QByteArray piece(buffer); // the text ends at the first zero byte
        collectReply(piece);
        QByteArray shown;
        shown.reserve(piece.size() + 16);
        for (char c : std::as_const(piece)) {
            if (c == '#')
                shown += TimeStamp();
            else
                shown += c;
        }
        m_memo->AppendText(shown);
    }
}

QByteArray TMainForm::TimeStamp()
{
    // The clock is read for every '#', but turning it into local time costs
    // a time-zone lookup; a device that marks every line would spend most of
    // its time there. Zone offsets are whole seconds, so once a second does.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != m_stampSecond) {
        m_stampSecond = now / 1000;
        m_stampText = '[' + QDateTime::fromMSecsSinceEpoch(now).time().toString(QStringLiteral("HH:mm:ss")).toLatin1()
                      + "] ";
    }
    return m_stampText;
}

void TMainForm::VaCommDeviceLost()
{
    m_linkLost = true;
    AddStatus(QStringLiteral("Device disconnected"));
    SetStatusPanel(2, QStringLiteral("Serial Number Not Available"));
    Connected = false;
    m_portComboBox->setEnabled(true);
    // The port that went away leaves the list until its device returns.
    try {
        fillPortList();
    } catch (const std::exception &) {
        // The list keeps its entries; the next close reads it again.
    }
    selectPortEntry();
    UpdateConnectionStatus();
}

void TMainForm::ClientSocketRead(TClientSocket *sender)
{
    char buffer[NetworkReadSize];
    const int n = sender->ReceiveBytes(buffer, NetworkReadSize);
    if (n <= 0)
        return;
    const QByteArray received(buffer, n);
    // Exchanges over the network see the prompt just as over the cable.
    collectReply(QByteArray(received.constData())); // text ends at a zero byte
    QByteArray shown;
    shown.reserve(n + 8);
    for (char c : received) {
        if (c == '\r')
            continue;
        if (c == '\n')
            shown += "\r\n";
        else
            shown += c;
    }
    m_memo->AppendText(shown);
}

// ---------------------------------------------------------------------------
// Connection management

void TMainForm::showPortOpenError(const QString &detail)
{
    QString text = (InterfaceType == InterfaceUsb ? QStringLiteral("Error opening Virtual Comport: ")
                                                  : QStringLiteral("Error opening Comport: "))
                   + QString::number(m_vaComm.PortNum())
                   + QStringLiteral(" (USB)\n\nDid you connect your USB cable?");
    if (!detail.isEmpty())
        text += QStringLiteral("\n\n") + detail;
    QMessageBox::information(this, windowTitle(), text, QMessageBox::Ok);
}

void TMainForm::OpenConnectionClicked(QObject *sender)
{
    if (InterfaceType == InterfaceNetwork) {
        if (m_clientSocket.Active())
            m_clientSocket.Close();
        HostAddress = QStringLiteral("192.168.0.100");
        bool ok = false;
        const QString typed = QInputDialog::getText(this, QStringLiteral("Computer to connect to"),
                                                    QStringLiteral("IP-address:"),
                                                    QLineEdit::Normal, HostAddress, &ok);
        if (!ok || typed.isEmpty())
            return;
        HostAddress = typed;
        SetStatusPanel(3, QStringLiteral("  trying ") + HostAddress + QStringLiteral("...."));
        SetBusyCursor();
        m_toTimer.start(ConnectTimeoutMs);
        try {
            m_clientSocket.SetHost(HostAddress);
            m_clientSocket.Open();
        } catch (const std::exception &error) {
            m_toTimer.stop();
            RestoreCursor();
            UpdateConnectionStatus();
            ShowException(error);
        }
        return;
    }

    Connected = false;
    if (!m_vaComm.Active()) {
        try {
            m_vaComm.Open();
        } catch (const SerialPortError &error) {
            // A missing device is what the main message says; for any other
            // refusal the system's reason tells the user what to do.
            const QString detail = error.message().startsWith(QLatin1String("Specified device"))
                                       ? QString()
                                       : error.message();
            showPortOpenError(detail);
            return;
        }
    }
    Connected = true;
    m_linkLost = false;
    m_portComboBox->setEnabled(false);
    const auto *senderWidget = qobject_cast<const QWidget *>(sender);
    const bool closingUpdate = senderWidget && m_upload && m_upload->isAncestorOf(senderWidget)
                               && sender->objectName() == QLatin1String("CancelButton");
    if (!closingUpdate) {
        SetBusyCursor();
        if (!identify()) {
            noResponse();
            return;
        }
    }
    RestoreCursor();
    UpdateConnectionStatus();
}

bool TMainForm::identify()
{
    ExchangeCommand("snum\n");
    if (!PromptSeen)
        return false;
    const IdentPart serial = ParseIdentPart(ReplyBuffer, "Serialnumber", 22);
    if (serial.store)
        SerialNumber.replace(0, serial.text.size(), serial.text);
    QByteArray ident = " SN: [" + serial.text;

    ExchangeCommand("ver\n");
    if (!PromptSeen)
        return false;
    const IdentPart version = ParseIdentPart(ReplyBuffer, "V:", 3);
    if (version.store)
        SoftwareVersion.replace(0, version.text.size(), version.text);
    ident += "]   SW: [" + version.text + "]";
    SetStatusPanel(2, QString::fromLatin1(ident));
    return true;
}

void TMainForm::noResponse()
{
    RestoreCursor();
    m_memo->AppendText("No response from Mirto");
    AddStatus(QStringLiteral("No response from Mirto"));
    UpdateConnectionStatus();
}

void TMainForm::CloseConnectionClicked()
{
    if (InterfaceType == InterfaceNetwork) {
        m_clientSocket.Close();
    } else {
        SetStatusPanel(2, QStringLiteral("Serial Number Not Available"));
        m_vaComm.Close();
    }
    Connected = false;
    m_portComboBox->setEnabled(true);
    try {
        fillPortList();
    } catch (const std::exception &error) {
        ShowException(error);
    }
    selectPortEntry();
    UpdateConnectionStatus();
}

void TMainForm::PortComboBoxChange(int index)
{
    if (index < 0)
        return;
    const QString numberText = m_portComboBox->itemText(index).mid(3, 2);
    try {
        m_vaComm.Close();
        m_vaComm.SetPortNum(numberText.toInt());
        m_vaComm.Open();
        m_linkLost = false;
    } catch (const SerialPortError &error) {
        ShowException(error);
        return;
    }
    m_openConToolButton->setToolTip(QStringLiteral("Open Connection (COM ") + numberText
                                    + QStringLiteral(")"));
    m_closeConToolButton->setToolTip(QStringLiteral("Close Connection (COM ") + numberText
                                     + QStringLiteral(")"));
    WriteSettings();
}

void TMainForm::UpdateConnectionStatus()
{
    QString panel = QStringLiteral(" Connect ") + HostAddress;
    if (InterfaceType == InterfaceSerial || InterfaceType == InterfaceUsb)
        Connected = m_vaComm.Active();
    if (InterfaceType == InterfaceUsb)
        panel.clear();
    SetStatusPanel(3, Connected ? panel : QStringLiteral("  Not Connected"));
    m_openConToolButton->setEnabled(!Connected);
    m_closeConToolButton->setEnabled(Connected);
}

void TMainForm::ClientSocketConnect(TClientSocket *)
{
    m_toTimer.stop();
    Connected = true;
    m_linkLost = false;
    UpdateConnectionStatus();
    RestoreCursor();
}

void TMainForm::ClientSocketDisconnect(TClientSocket *)
{
    m_linkLost = true;
    Connected = false;
    UpdateConnectionStatus();
    tellUser(QStringLiteral(" Socket Connection closed by Mirto"));
}

void TMainForm::tellUser(const QString &text)
{
    auto show = [this, text] { QMessageBox::information(this, windowTitle(), text, QMessageBox::Ok); };
    // A message box runs an event loop of its own, which must not start in
    // the middle of an exchange: the box waits for the exchange's end.
    if (m_inExchange)
        QTimer::singleShot(0, this, show);
    else
        show();
}

void TMainForm::ClientSocketError(TClientSocket *, ErrorEvent kind, int &errorCode)
{
    if (kind != ErrorEvent::Connect) {
        // An attempt that failed this way is over: its time-out must not
        // report the same failure a second time.
        m_toTimer.stop();
        m_clientSocket.Close();
        Connected = false;
        UpdateConnectionStatus();
        RestoreCursor();
        tellUser(QStringLiteral("Unexpected Clientsocket error...."));
    }
    errorCode = 0;
}

void TMainForm::TOTimerTimer()
{
    m_clientSocket.Close();
    m_toTimer.stop();
    UpdateConnectionStatus();
    RestoreCursor();
    QMessageBox::information(this, windowTitle(), QStringLiteral("Unable to connect...."),
                             QMessageBox::Ok);
}

// ---------------------------------------------------------------------------
// Commands

void TMainForm::InfoToolButtonClick()
{
    if (!Connected)
        OpenConnectionClicked(nullptr);
    if (!Connected)
        return;
    SendCommand("mode\n");
    SendCommand("isp\n");
    SendCommand("channel\n");
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
    if (QFileInfo::exists(path)
        && QMessageBox::question(this, windowTitle(), QStringLiteral("Overwrite existing File?"),
                                 QMessageBox::Yes | QMessageBox::No)
               != QMessageBox::Yes)
        return;
    const QString error = WriteTerminalFile(path, m_memo->Lines());
    if (!error.isEmpty())
        ShowErrorMessage(error);
}

QString WriteTerminalFile(const QString &path, const QStringList &lines)
{
    QByteArray text;
    for (const QString &line : lines)
        text += line.toLatin1() + "\r\n";
    QSaveFile file(path);
    // In a folder we may not create files in, the file itself may still be
    // writable: then it is written in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return file.errorString();
    return {};
}

void TMainForm::ClearResponseClicked()
{
    m_memo->Clear();
}

void TMainForm::ConfigureClicked()
{
    if (m_config)
        m_config->show();
}

void TMainForm::UploadClicked()
{
    if (m_upload)
        m_upload->exec();
}

void TMainForm::AdvancedClicked()
{
    if (m_advanced)
        m_advanced->show();
}

void TMainForm::HelpToolButtonClick()
{
    m_help->ShowHelp(HelpFile);
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
    m_toTimer.stop();
    m_clientSocket.Close();
    QMainWindow::closeEvent(e);
}
