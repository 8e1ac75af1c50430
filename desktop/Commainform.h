#pragma once

#include "core/CommandFile.h"
#include "core/DeviceConnection.h"
#include "core/HexDump.h"
#include "core/DevicePorts.h"
#include "desktop/EchoPort.h"
#include "core/ToolSettings.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>

class QAction;
class QComboBox;
class CommandLineHistory;
class QLabel;
class NoteLabel;
class QFontMetrics;
class QKeyEvent;
class QToolButton;
class QPushButton;
class TerminalLog;
class TerminalView;
class FindBar;
class TAboutForm;
class TConfigForm;
class TUploadForm;
class TAdvancedForm;
class THelpForm;

// Fits `text` into `width` pixels of `metrics`, dropping characters on the
// left: of a path, the file's name is what matters.
QString ElideLeft(const QString &text, const QFontMetrics &metrics, int width);
// Fits a status text such as "  Config File: /a/b.cfg" into `width` pixels:
// the label up to its ": " stays whole and the value after it gives way on
// the left. A text without a label is cut on the left as a whole.
QString ElideKeepingLabel(const QString &text, const QFontMetrics &metrics, int width);
// The width a label has for its text, inside its frame, indent and margin.
int LabelTextRoom(const QLabel &label);

// The tool's home: the terminal, the toolbar and menus that open the other
// windows, the direct command line for experts, and the status bar. The link
// to the device lives in its DeviceConnection; the window shows what the
// connection tells and keeps the names the other windows know it by.
class TMainForm : public QMainWindow, public ToolSettings {
    Q_OBJECT
public:
    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    void SetDialogs(TAboutForm *about, TConfigForm *config, TUploadForm *upload,
                    TAdvancedForm *advanced);

    // Services for the other windows.
    void AddStatus(const QString &text);
    void SetBusyCursor(Qt::CursorShape cursor = Qt::WaitCursor);
    void RestoreCursor();
    static QString ConfigFileStatusText(const QString &path);
    // The status bar's notes: where Ctrl+S put the terminal (shown for
    // SavedNoteMs), and the log being written or "Not logging".
    static QString TerminalSavedText(const QString &path);
    static QString LoggingText(const QString &path);
    static constexpr int SavedNoteMs = 15'000;
    // The whole text of a shown note ("TerminalSavedLabel", "LogFileLabel",
    // "DroppedLinesLabel"); empty when it is hidden.
    QString StatusNote(const char *name) const;
    void WriteSettings();
    int ReadSettings();
    // Panel 0, the loaded flag and the settings after a configuration file
    // was loaded or saved.
    void MakeConfigFileCurrent(const QString &path);

    // The device connection and its narrow views.
    DeviceConnection &Connection() { return *m_connection; }
    CommandPort &Commands() { return *m_connection; }
    // The connection as the test console and command files reach it; every
    // line sent, from any window, is echoed in the terminal when asked.
    CommandPort &ConsolePort() { return *m_connection; }
    BootPort &Boot() { return m_connection->Boot(); }
    ConfigHost &ConfigHostPort();
    SettingsStore &Settings();

    // The command exchange.
    bool SendCommand(const QByteArray &text) { return m_connection->SendCommand(text); }
    bool ExchangeCommand(const QByteArray &text) { return m_connection->ExchangeCommand(text); }
    void UpdateConnectionStatus() { m_connection->UpdateConnectionStatus(); }

    // Direct command mode; fed every key press of the window once, before
    // the focused control sees it. True when the key was taken.
    bool MainFormKeyPress(int key, bool autoRepeat = false);
    void MainFormActivate();

    // Size, place and state of the window as the user left it last time;
    // false when none was kept (the window keeps its default size).
    bool RestoreWindowPlacement();
    // Started from the desktop menu: the start directory is the user's
    // configuration folder for the tool, made when missing, and a first start
    // there writes the default settings instead of reporting the missing file.
    // Called before the first activation.
    void StartInConfigFolder();

    // Status bar panels 0 to 3.
    QString StatusPanelText(int panel) const;
    void SetStatusPanel(int panel, const QString &text);

    TerminalView *Memo() const { return m_memo; }
    FindBar *TerminalFindBar() const { return m_findBar; }
    // The device's text and the echoed commands: to the terminal, and to the
    // log file while there is one.
    void AppendTerminal(const QByteArray &text);
    // View - Show Bytes as Hex: what arrives shows as offset, hex and text
    // from now on; off shows text again.
    void SetHexView(bool on);
    bool HexView() const { return m_hexView; }
    void AppendRawBytes(const QByteArray &bytes);
    // The file the terminal is logged to; empty while it is not.
    QString LogFilePath() const;
    // What Tools - Terminal Lines offers.
    static constexpr qsizetype MinTerminalLines = 1'000;
    static constexpr qsizetype MaxTerminalLines = 2'000'000;
    SerialPort &VaComm() { return m_connection->VaComm(); }
    TClientSocket &ClientSocket() { return m_connection->ClientSocket(); }
    QTimer &TOTimer() { return m_connection->TOTimer(); }
    QByteArray SerialNumberText() const;
    QByteArray SoftwareVersionText() const;

    // Where the USB bridge is looked for: the system's device records.
    QString UsbSysfsRoot = QStringLiteral("/sys");
    QString UsbDevRoot = QStringLiteral("/dev");

    // Shared state.
    QString StartDirectory;
    QString HelpFile;
    bool FirstActivation = true;
    bool InConfigFolder = false;
    int StartupError = 0;
    bool ConfigLoaded = false;
    qint16 SavedCursor = 0;

private:
    class UserSide;
    std::unique_ptr<UserSide> m_userSide;
    std::unique_ptr<DeviceConnection> m_connection;

public:
    // The device's network address under the name the other windows know.
    QString &HostAddress;

    static constexpr int ReplyCapacity = DeviceConnection::ReplyCapacity;
    static constexpr int PieceCapacity = DeviceConnection::PieceCapacity;
    static constexpr int NetworkReadSize = DeviceConnection::NetworkReadSize;
    static constexpr int ConnectTimeoutMs = DeviceConnection::ConnectTimeoutMs;

public Q_SLOTS:
    void OpenConnectionClicked(QObject *sender = nullptr);
    void CloseConnectionClicked();
    void PortComboBoxChange(int index);
    void ConfigureClicked();
    void UploadClicked();
    void AdvancedClicked();
    void InfoToolButtonClick();
    void SaveResponseClicked();
    void ClearResponseClicked();
    void TerminalLinesClicked();
    void LogToFileClicked();
    void DeviceHistoryClicked();
    void StopLoggingClicked();
    // Tools - Send Command File: its lines one at a time, each after the
    // prompt of the one before.
    void SendCommandFileClicked();
    void SendCommandFile(const QString &path);
    void HelpToolButtonClick();
    void IndexClick();
    void AboutClicked();
    void ExitClicked();

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // The window is closing: the open link goes with it.
    void MainFormClose();

private:
    void buildWindow();
    void sizeStatusPanels();
    bool previewKey(QKeyEvent *key, QWidget *target);
    void showCommandLine(bool show);
    void placeConsole();
    void showConfigPanel(const QString &path);
    void fillPortList();
    void selectPortEntry();
    void showConnectionState(const ConnectionState &state);
    void showLogging();
    void showDroppedLines(qsizetype total);
    // Find, highlighting, time stamps and copying in the terminal.
    void buildTerminalMenu();
    void PreferencesClicked();
    void setTimeStamps(bool on);

    TerminalView *m_memo = nullptr;
    FindBar *m_findBar = nullptr;
    QAction *m_stampsAction = nullptr;
    QComboBox *m_commandEdit = nullptr;
    QLabel *m_comportLabel = nullptr;
    QComboBox *m_portComboBox = nullptr;
    QComboBox *m_statusComboBox = nullptr;
    QLabel *m_panels[4] = {};
    QToolButton *m_testToolButton = nullptr;
    QToolButton *m_openConToolButton = nullptr;
    QToolButton *m_closeConToolButton = nullptr;
    QAction *m_testAction = nullptr;
    QAction *m_echoAction = nullptr;
    QAction *m_logAction = nullptr;
    QAction *m_stopLogAction = nullptr;
    NoteLabel *m_droppedLabel = nullptr;
    NoteLabel *m_logLabel = nullptr;
    NoteLabel *m_savedLabel = nullptr;
    QTimer *m_savedNoteTimer = nullptr;

    NoteLabel *m_commandFileLabel = nullptr;
    QPushButton *m_commandFileStop = nullptr;
    QAction *m_commandFileAction = nullptr;
    CommandFileRun m_commandFileRun;
    QAction *m_hexAction = nullptr;
    QAction *m_reconnectAction = nullptr;
    NoteLabel *m_reconnectLabel = nullptr;
    bool m_hexView = false;
    HexDump m_hexDump;
    QByteArray m_hexText;
    void showTerminalText(const QByteArray &text);
    std::unique_ptr<TerminalLog> m_log;
    std::unique_ptr<CommandEcho> m_echo;
    QLabel *m_searchLabel = nullptr;
    // The commands sent, Up and Down, Ctrl+R.
    std::unique_ptr<CommandLineHistory> m_history;
    bool m_consolePlaced = false;
    QPointer<TAboutForm> m_about;
    QPointer<TConfigForm> m_config;
    QPointer<TUploadForm> m_upload;
    QPointer<TAdvancedForm> m_advanced;
    THelpForm *m_help = nullptr;
    bool m_busy = false;
    bool m_activationQueued = false;
};
