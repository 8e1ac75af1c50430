#pragma once

#include "core/JobInput.h"
#include "core/firmware/BootProtocol.h"
#include "core/firmware/HexImage.h"

#include <QDialog>
#include <QStringList>
#include <QTimer>

class BootPort;
class KeyPreview;
class SettingsStore;
class TRemoveForm;
class UpdateSession;
class QComboBox;
class QFileDialog;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

// The firmware update dialog: the HEX file, how the boot loader is entered,
// and what the boot loader conversation shows. The conversation and every
// one of its events is carried out by an UpdateSession, the same one the
// command line drives; this window shows what the session reports and asks
// the user what only the user can answer (whether to stop, the power cycle).
//
// The session holds the link only while the conversation listens: from Start
// until the start token's wait runs out, and from the token until the boot
// loader finishes or is stopped. A dialog that merely stands ready leaves
// the device's text to the terminal.
//
// Created hidden at start-up and kept for the whole run: the image, the page
// size and whether a transfer is done carry over from one showing to the next.
class TUploadForm : public QDialog {
    Q_OBJECT
public:
    // `remove` is the power-plug prompt; without one the dialog makes its own.
    TUploadForm(BootPort &port, SettingsStore &settings, TRemoveForm *remove,
                QWidget *parent = nullptr);
    ~TUploadForm() override;

    // The work of a new showing. Runs once per showing, from the event loop
    // right after the dialog appears; later calls in the same showing do nothing.
    void UploadFormActivate();
    // Loads the file named by "[Bootfile]" into the image; the loader's lines
    // go to the message list. 0, -1 (file error) or -2 (too large).
    int LoadFlashImage();
    // Makes `text` the newest line of the message list.
    void AddMessage(const QString &text);
    // `count` bytes from the device are waiting in the port.
    void ProcessBootBytes(int count);

    // The message list's lines, including those not drawn yet.
    QStringList MessageLines() const;
    const HexImage &Image() const;
    const BootProtocol &Protocol() const;
    TRemoveForm *PowerPrompt() const { return m_remove; }

    // The activation work of the current showing has been done.
    bool Activated = false;
    // For the device history: transfers begun so far, how the last update
    // ended and the last failure told.
    int TransfersStarted = 0;
    bool Updated() const { return m_updated; }
    QString LastProblem;
    // The HEX file as the last transfer read it at its start: its path and
    // the hash of its bytes then, whatever became of the file since.
    const JobInput &Input() const { return m_input; }

public Q_SLOTS:
    void BrowseButtonClicked();
    void SpeedComboBoxChanged(int index);
    void FlashFileNameChange(const QString &text);
    void StartUploadButtonClicked();
    void CancelButtonClicked();
    // Every way of closing the dialog ends here (the Close button, Escape,
    // the close box, the boot loader's finish byte, the network refusal).
    // In the middle of a transfer it asks first, and the dialog stays open.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    // A key released while the dialog is active (key code, as pressed here).
    void FormKeyUp(int key, QObject *target);
    void FormClose();
    // The rest of the activation once the file is good: the serial port is
    // opened, so that Start finds it ready.
    void PrepareForStart();
    // Opens the serial port for Start when it is closed; tells the user why
    // when it cannot be opened.
    bool PortReadyForStart();
    // Asks whether to stop the running transfer, and stops it on Yes.
    void AskToStop();
    // Shows the power-plug prompt until the start token closes it or the
    // user does.
    void ShowPowerPrompt();
    void ShowProblem(const QString &text);
    void BootLoaderDone(bool success);
    void SetStatus(const QString &text);
    void SetProgress(quint32 value, quint32 maximum);
    void ClearMessages();
    void FlushMessages();
    void UpdateControls();

    BootPort &m_port;
    SettingsStore &m_settings;
    TRemoveForm *m_remove = nullptr;

    // The boot loader conversation, for the whole run.
    UpdateSession *m_session = nullptr;

    QLineEdit *m_fileName = nullptr;
    // The file as the session last read it, and as the transfer under way
    // read it.
    JobInput m_loaded;
    JobInput m_input;
    QPushButton *m_browse = nullptr;
    QLineEdit *m_status = nullptr;
    QProgressBar *m_progress = nullptr;
    QComboBox *m_speed = nullptr;
    QListWidget *m_messages = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_cancel = nullptr;
    QFileDialog *m_openDialog = nullptr;
    // Lines wait here and reach the list in batches: a transfer logs a line
    // per page, and a list redrawn and scrolled per line would cost more than
    // the page itself.
    QStringList m_pendingLines;
    QTimer m_flushTimer;

    KeyPreview *m_keys = nullptr;

    // This showing has a usable file and has opened the serial port.
    bool m_preparedForStart = false;
    bool m_closing = false;
    bool m_transferRunning = false;
    // Start is allowed (not in the pause after a failed reload).
    bool m_startAllowed = true;
    // The stop question is open: the device's bytes wait in the port.
    bool m_stopQuestionOpen = false;
    // The boot loader finished a complete update in this showing.
    bool m_updated = false;
};
