#include "desktop/Commainform.h"

#include "core/config/ConfigFile.h"
#include "desktop/config/Configure.h"
#include "core/config/DeviceConfig.h"
#include "desktop/Advanced.h"
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
#include "desktop/SerialServers.h"
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
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

// How the main window is put together: toolbar, menus, terminal, command
// line and status panels, and how the panels fit their texts. What the
// window does lives in Commainform.cpp.

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
        // A picture alone says nothing to a screen reader: the hint names it.
        button->setAccessibleName(QLatin1String(design.hint));
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

    // Every entry has its Alt+letter key; the usual shortcuts of a desktop
    // program work besides the tool's own Ctrl+D.
    const auto addItem = [this](QMenu *menu, const char *name, const QString &caption,
                                void (TMainForm::*slot)(), const QList<QKeySequence> &keys = {}) {
        QAction *action = menu->addAction(caption, this, slot);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        return action;
    };
    QMenu *fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    addItem(fileMenu, "ExitItem", QStringLiteral("E&xit"), &TMainForm::ExitClicked,
            {QKeySequence(Qt::CTRL | Qt::Key_Q)});
    QMenu *editMenu = menuBar()->addMenu(QStringLiteral("&Edit"));
    editMenu->setObjectName(QStringLiteral("EditMenu"));
    QMenu *toolsMenu = menuBar()->addMenu(QStringLiteral("&Tools"));
    addItem(toolsMenu, "ConfigureItem", QStringLiteral("&Configure Mirto"), &TMainForm::ConfigureClicked);
    addItem(toolsMenu, "UpdateFirmwareItem", QStringLiteral("&Update Firmware"), &TMainForm::UploadClicked);
    addItem(toolsMenu, "ReadConfigurationItem", QStringLiteral("&Read Mirto configuration "),
            &TMainForm::InfoToolButtonClick);
    m_testAction = addItem(toolsMenu, "TestAndAnalysisItem", QStringLiteral("&Test and Analysis"),
                           &TMainForm::AdvancedClicked);
    toolsMenu->addSeparator();
    addItem(toolsMenu, "TerminalLinesItem", QStringLiteral("Terminal &Lines..."),
            &TMainForm::TerminalLinesClicked);
    m_logAction = addItem(toolsMenu, "LogToFileItem", QStringLiteral("Log to &File..."),
                          &TMainForm::LogToFileClicked);
    m_stopLogAction = addItem(toolsMenu, "StopLoggingItem", QStringLiteral("&Stop Logging"),
                              &TMainForm::StopLoggingClicked);
    m_stopLogAction->setEnabled(false);
    addItem(toolsMenu, "DeviceHistoryItem", QStringLiteral("Device &History..."), &TMainForm::DeviceHistoryClicked);
    QAction *serversAction = toolsMenu->addAction(QStringLiteral("Serial Ser&vers\u2026"), this, [this] {
        TSerialServersForm servers(this);
        servers.exec();
        // New numbers join the list, unless a link holds the one chosen.
        if (m_portComboBox->isEnabled()) {
            fillPortList();
            selectPortEntry();
        }
    });
    serversAction->setObjectName(QStringLiteral("SerialServersItem"));
    m_commandFileAction = addItem(toolsMenu, "SendCommandFileItem", QStringLiteral("Send Comma&nd File..."),
                                  &TMainForm::SendCommandFileClicked);
    m_reconnectAction = toolsMenu->addAction(QStringLiteral("Reconnect &Automatically"));
    m_reconnectAction->setObjectName(QStringLiteral("ReconnectItem"));
    m_reconnectAction->setCheckable(true);
    connect(m_reconnectAction, &QAction::toggled, this, [this](bool on) {
        m_connection->SetAutoReconnect(on);
        Preferences::SetAutoReconnect(on);
    });
    m_echoAction = toolsMenu->addAction(QStringLiteral("&Echo Sent Commands in Terminal"));
    m_echoAction->setObjectName(QStringLiteral("EchoCommandsItem"));
    m_echoAction->setCheckable(true);
    connect(m_echoAction, &QAction::toggled, this, [this](bool on) {
        m_echo->Echo = on;
        Preferences::SetLocalEcho(on);
    });
    m_stampsAction = toolsMenu->addAction(QStringLiteral("Time Stamps with &Milliseconds"));
    m_stampsAction->setObjectName(QStringLiteral("TimeStampsItem"));
    m_stampsAction->setCheckable(true);
    QMenu *viewMenu = menuBar()->addMenu(QStringLiteral("&View"));
    m_hexAction = viewMenu->addAction(QStringLiteral("Show Bytes as &Hex"));
    m_hexAction->setObjectName(QStringLiteral("ShowBytesAsHexItem"));
    m_hexAction->setCheckable(true);
    connect(m_hexAction, &QAction::toggled, this, &TMainForm::SetHexView);
    QMenu *windowMenu = menuBar()->addMenu(QStringLiteral("&Window"));
    addItem(windowMenu, "ClearTerminalItem", QStringLiteral("&Clear Terminal Window"),
            &TMainForm::ClearResponseClicked,
            {QKeySequence(Qt::CTRL | Qt::Key_D), QKeySequence(Qt::CTRL | Qt::Key_L)});
    addItem(windowMenu, "SaveTerminalItem", QStringLiteral("&Save Terminal Window"),
            &TMainForm::SaveResponseClicked, {QKeySequence(Qt::CTRL | Qt::Key_S)});
    QMenu *helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    addItem(helpMenu, "IndexItem", QStringLiteral("&Index"), &TMainForm::IndexClick,
            {QKeySequence(Qt::Key_F1)});
    helpMenu->addSeparator();
    addItem(helpMenu, "AboutItem", QStringLiteral("&About"), &TMainForm::AboutClicked);

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
    m_memo->setAccessibleName(QStringLiteral("Terminal Window"));
    m_memo->setAccessibleDescription(QStringLiteral("Everything the Mirto sends, newest line last"));
    // The designed size is the least; the terminal takes whatever room the
    // user gives the window.
    m_memo->setMinimumSize(780, 409);
    m_memo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_memo->SetLineLimit(Preferences::TerminalLineLimit());
    connect(m_memo, &TerminalView::LinesDropped, this, &TMainForm::showDroppedLines);
    layout->addWidget(m_memo, 1);
    m_findBar = new FindBar(m_memo, central);
    layout->addWidget(m_findBar);

    // The bottom row keeps its height while hidden so the window never jumps.
    auto *bottom = new QWidget(central);
    bottom->setObjectName(QStringLiteral("BottomRow"));
    auto *row = new QHBoxLayout(bottom);
    row->setContentsMargins(0, 0, 0, 0);
    m_searchLabel = new QLabel(bottom);
    m_searchLabel->setObjectName(QStringLiteral("HistorySearchLabel"));
    m_searchLabel->setAccessibleDescription(QStringLiteral("Searching the command history (Ctrl+R)"));
    m_searchLabel->setVisible(false);
    row->addWidget(m_searchLabel);
    m_commandEdit = new QComboBox(bottom);
    m_commandEdit->setObjectName(QStringLiteral("CommandEdit"));
    m_commandEdit->setEditable(true);
    m_commandEdit->setInsertPolicy(QComboBox::NoInsert);
    m_commandEdit->setAccessibleName(QStringLiteral("Direct command"));
    // A command and its line feed always fit one write to the device: a
    // longer paste is refused whole, never cut and sent.
    TypingLimit::Install(m_commandEdit->lineEdit(), DeviceConnection::PieceCapacity - 1);
    m_commandEdit->setMinimumWidth(597);
    m_commandEdit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_commandEdit->setVisible(false);
    row->addWidget(m_commandEdit, 1);
    row->addStretch();
    m_comportLabel = new QLabel(QStringLiteral("Comport"), bottom);
    m_comportLabel->setObjectName(QStringLiteral("ComportLabel"));
    m_comportLabel->setStyleSheet(QStringLiteral("font-weight: bold;"));
    m_comportLabel->setVisible(false);
    row->addWidget(m_comportLabel);
    m_portComboBox = new QComboBox(bottom);
    m_portComboBox->setObjectName(QStringLiteral("PortComboBox"));
    m_portComboBox->setAccessibleName(QStringLiteral("Comport"));
    m_portComboBox->setFixedWidth(95);
    m_portComboBox->setVisible(false);
    connect(m_portComboBox, &QComboBox::activated, this, &TMainForm::PortComboBoxChange);
    row->addWidget(m_portComboBox);
    bottom->setFixedHeight(m_commandEdit->sizeHint().height());
    layout->addWidget(bottom);

    m_statusComboBox = new QComboBox(central);
    m_statusComboBox->setObjectName(QStringLiteral("StatusComboBox"));
    m_statusComboBox->setAccessibleName(QStringLiteral("Status list"));
    m_statusComboBox->setVisible(false);
    setCentralWidget(central);

    auto *bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    const QString texts[4] = {QStringLiteral("  No Configuration File loaded"), QString(),
                              QStringLiteral("  Serial Number Not Available"),
                              QStringLiteral("  Not Connected")};
    // A screen reader reads each panel's text as its name; what the panel
    // is goes in its description.
    const QString meanings[4] = {QStringLiteral("Configuration file"),
                                 QStringLiteral("Direct command hint"),
                                 QStringLiteral("Device identification"),
                                 QStringLiteral("Connection state")};
    // Two rows: the notes, and below them the four panels. Notes are quiet,
    // not messages that interrupt: the log being written (always said, so
    // that the row keeps its place and the window its designed size), a
    // terminal just saved, old lines dropped.
    auto *rows = new QWidget(bar);
    rows->setObjectName(QStringLiteral("StatusRows"));
    auto *rowsLayout = new QVBoxLayout(rows);
    rowsLayout->setContentsMargins(0, 0, 0, 0);
    rowsLayout->setSpacing(2);
    auto *notesLayout = new QHBoxLayout;
    auto *panelsLayout = new QHBoxLayout;
    for (QHBoxLayout *row : {notesLayout, panelsLayout}) {
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(6);
        rowsLayout->addLayout(row);
    }
    const auto note = [&](const char *name, const char *meaning) {
        auto *label = new NoteLabel(rows);
        label->setObjectName(QString::fromLatin1(name));
        label->setAccessibleDescription(QString::fromLatin1(meaning));
        return label;
    };
    m_logLabel = note("LogFileLabel", "Terminal log");
    m_savedLabel = note("TerminalSavedLabel", "Where the terminal was saved");
    m_droppedLabel = note("DroppedLinesLabel", "Oldest terminal lines dropped");
    m_logLabel->SetNote(QStringLiteral("Not logging"));
    // A saved file's path takes the room the others leave.
    m_savedLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    notesLayout->addWidget(m_logLabel);
    notesLayout->addWidget(m_savedLabel, 1);
    notesLayout->addStretch();
    notesLayout->addWidget(m_droppedLabel);
    for (int i = 0; i < 4; ++i) {
        m_panels[i] = new QLabel(texts[i], rows);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setAccessibleName(texts[i].trimmed());
        m_panels[i]->setAccessibleDescription(meanings[i]);
        m_panels[i]->setFrameShape(QFrame::Panel);
        m_panels[i]->setFrameShadow(QFrame::Sunken);
        panelsLayout->addWidget(m_panels[i], i == 0 ? 1 : 0);
        // The room a wider window gives the bar is panel 0's.
        if (i == 0)
            m_panels[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    }
    // A command file's progress and its outcome, with the button that ends
    // the run, and what an automatic reconnect did last: notes too.
    m_commandFileLabel = note("CommandFileLabel", "Command file progress");
    m_reconnectLabel = note("ReconnectLabel", "Automatic reconnect");
    m_commandFileStop = new QPushButton(QStringLiteral("Stop"), rows);
    m_commandFileStop->setObjectName(QStringLiteral("CommandFileStopButton"));
    m_commandFileStop->setAccessibleName(QStringLiteral("Stop the command file"));
    m_commandFileStop->setAutoDefault(false);
    m_commandFileStop->setVisible(false);
    connect(m_commandFileStop, &QPushButton::clicked, this, [this] {
        m_commandFileRun.Stop();
        m_commandFileStop->setEnabled(false);
    });
    notesLayout->insertWidget(notesLayout->indexOf(m_savedLabel) + 1, m_commandFileLabel);
    notesLayout->insertWidget(notesLayout->indexOf(m_commandFileLabel) + 1, m_commandFileStop);
    notesLayout->insertWidget(notesLayout->indexOf(m_commandFileStop) + 1, m_reconnectLabel);
    sizeStatusPanels();
    bar->addWidget(rows, 1);
    setStatusBar(bar);
    buildTerminalMenu();
    m_help = new THelpForm(this);
    // The designed size is the default and the least that shows every
    // control whole.
    setMinimumSize(minimumSizeHint().expandedTo(sizeHint()));
    resize(minimumSize());
}

int LabelTextRoom(const QLabel &label)
{
    // A framed label without an indent of its own indents its text by half
    // an "x": that much of the inside is not room for text.
    int indent = label.indent();
    if (indent < 0)
        indent = label.frameWidth() > 0 ? label.fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 : 0;
    return label.contentsRect().width() - indent - 2 * label.margin();
}

QString ElideKeepingLabel(const QString &text, const QFontMetrics &metrics, int width)
{
    if (width <= 0 || metrics.horizontalAdvance(text) <= width)
        return text;
    const qsizetype colon = text.indexOf(QLatin1String(": "));
    if (colon < 0)
        return ElideLeft(text, metrics, width);
    const QString label = text.left(colon + 2);
    QString value = text.mid(colon + 2);
    const QString dots = QStringLiteral("...");
    // A long path comes already shortened: one mark is enough.
    if (value.startsWith(dots))
        value.remove(0, dots.size());
    qsizetype keep = value.size();
    while (keep > 0 && metrics.horizontalAdvance(label + dots + value.right(keep)) > width)
        --keep;
    return label + dots + value.right(keep);
}

QString ElideLeft(const QString &text, const QFontMetrics &metrics, int width)
{
    if (width <= 0 || metrics.horizontalAdvance(text) <= width)
        return text;
    const QString dots = QStringLiteral("...");
    int keep = int(text.size());
    while (keep > 0 && metrics.horizontalAdvance(dots + text.right(keep)) > width)
        --keep;
    return dots + text.right(keep);
}

void TMainForm::sizeStatusPanels()
{
    // Panels 1 to 3 are as wide as the longest text each can show; panel 0
    // gets the rest of the bar.
    static const char *const longest[4][2] = {
        {"  No Configuration File loaded", "  No Configuration File loaded"},
        {" Press 'ESC' to enter direct commands", "Type 'help' for a list of commands"},
        {" SN: [WWWWW]   SW: [WWWWW]", "  Serial Number Not Available"},
        {"  trying 255.255.255.255....", " Connect 255.255.255.255"},
    };
    for (int i = 0; i < 4; ++i) {
        QLabel *label = m_panels[i];
        const QFontMetrics metrics = label->fontMetrics();
        int width = 0;
        for (const char *text : longest[i])
            width = qMax(width, metrics.horizontalAdvance(QLatin1String(text)));
        const QMargins frame = label->contentsMargins();
        width += frame.left() + frame.right() + 2 * label->margin()
                 + metrics.horizontalAdvance(QLatin1Char('x')) / 2 + 2;
        if (i == 0)
            label->setMinimumWidth(width);
        else
            label->setFixedWidth(width);
        label->setProperty("fullText", label->text());
    }
}
