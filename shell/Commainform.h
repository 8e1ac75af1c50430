#pragma once

#include "links/ClientSocket.h"
#include "links/SerialPort.h"
#include "shell/ToolSettings.h"
#include "shell/Waitthread.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <atomic>

class QAction;
class QComboBox;
class QLabel;
class QToolButton;
class TerminalView;
class TAboutForm;
class TConfigForm;
class TUploadForm;
class TAdvancedForm;
class THelpForm;

// Writes the terminal's lines to `path`, each ending in CR LF; replaces the
// file atomically. Returns the system's message on failure, else "".
QString WriteTerminalFile(const QString &path, const QStringList &lines);

// The tool's home: the terminal, the toolbar and menus that open the other
// windows, the direct command line for experts, and the status bar. It owns
// the links to the device and the command exchange that every window uses,
// and holds the tool settings as its own fields.
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
    void WriteSettings();
    int ReadSettings();

    // The command exchange.
    void SendCommand(const QByteArray &text);
    void ExchangeCommand(const QByteArray &text);
    void WaitForPrompt();

    void UpdateConnectionStatus();

    // Direct command mode; fed every key press of the window before the
    // focused control sees it.
    void MainFormKeyPress(int key);
    void MainFormActivate();

    // Status bar panels 0 to 3.
    QString StatusPanelText(int panel) const;
    void SetStatusPanel(int panel, const QString &text);

    TerminalView *Memo() const { return m_memo; }
    SerialPort &VaComm() { return m_vaComm; }
    TClientSocket &ClientSocket() { return m_clientSocket; }
    QTimer &TOTimer() { return m_toTimer; }
    QByteArray SerialNumberText() const;
    QByteArray SoftwareVersionText() const;

    // Where the USB bridge is looked for: the system's device records.
    QString UsbSysfsRoot = QStringLiteral("/sys");
    QString UsbDevRoot = QStringLiteral("/dev");

    // Shared state.
    QString StartDirectory;
    QString HelpFile;
    bool FirstActivation = true;
    int StartupError = 0;
    std::atomic<bool> PromptSeen {false};
    AutoResetEvent PromptEvent;
    bool Connected = false;
    bool UploadActive = false;
    bool ConfigLoaded = false;
    QByteArray ReplyBuffer;
    QByteArray SerialNumber = QByteArray(50, '\0');
    QByteArray SoftwareVersion = QByteArray(50, '\0');
    QString HostAddress;
    qint16 SavedCursor = 0;

    static constexpr int ReplyCapacity = 999;
    static constexpr int PieceCapacity = 1023;
    static constexpr int NetworkReadSize = 210;
    static constexpr int ConnectTimeoutMs = 2000;

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
    void HelpToolButtonClick();
    void AboutClicked();
    void ExitClicked();

Q_SIGNALS:
    // While UploadActive is set, received serial data belongs to the update
    // dialog, which reads the bytes itself.
    void UploadRxChar(SerialPort *sender, int count);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWindow();
    void VaCommRxChar(SerialPort *sender, int count);
    void VaCommDeviceLost();
    void ClientSocketConnect(TClientSocket *sender);
    void ClientSocketRead(TClientSocket *sender);
    void ClientSocketDisconnect(TClientSocket *sender);
    void ClientSocketError(TClientSocket *sender, ErrorEvent kind, int &errorCode);
    void TOTimerTimer();
    void collectReply(QByteArray piece);
    bool identify();
    void noResponse();
    void tellUser(const QString &text);
    QByteArray TimeStamp();
    void fillPortList();
    void selectPortEntry();
    void showPortOpenError(const QString &detail);
    bool waitForLinkData(int msecs);
    bool linkAlive() const;

    SerialPort m_vaComm;
    TClientSocket m_clientSocket;
    QTimer m_toTimer;
    TerminalView *m_memo = nullptr;
    QComboBox *m_commandEdit = nullptr;
    QLabel *m_comportLabel = nullptr;
    QComboBox *m_portComboBox = nullptr;
    QComboBox *m_statusComboBox = nullptr;
    QLabel *m_panels[4] = {};
    QToolButton *m_testToolButton = nullptr;
    QToolButton *m_openConToolButton = nullptr;
    QToolButton *m_closeConToolButton = nullptr;
    QAction *m_testAction = nullptr;
    QPointer<TAboutForm> m_about;
    QPointer<TConfigForm> m_config;
    QPointer<TUploadForm> m_upload;
    QPointer<TAdvancedForm> m_advanced;
    THelpForm *m_help = nullptr;
    bool m_inExchange = false;
    // The open link went away; cleared when a link opens again.
    bool m_linkLost = false;
    bool m_busy = false;
    const QEvent *m_keyInFlight = nullptr;
    qint64 m_stampSecond = -1;
    QByteArray m_stampText;
};
