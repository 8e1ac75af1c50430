#include "desktop/firmware/Upload.h"

#include "desktop/firmware/Remove.h"
#include "core/firmware/UpdateSession.h"
#include "core/links/SerialPortError.h"
#include "core/DevicePorts.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/Mnemonic.h"
#include "desktop/KeyPreview.h"
#include "core/ToolSettings.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

// The gap between two batches of message lines during a transfer.
constexpr int MessageBatchMs = 50;

const QString StopQuestion = QStringLiteral(
    "An update is running. Stop it? The device will stay in its boot loader until an update "
    "completes.");

QLabel *FieldLabel(const QString &text, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    buddy->setAccessibleName(text);
    return label;
}

QPushButton *Button(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    button->setAccessibleName(WithoutMnemonic(text));
    // Enter is no key of this dialog: no button may take it as default button.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

TUploadForm::TUploadForm(BootPort &port, SettingsStore &settings, TRemoveForm *remove,
                         QWidget *parent)
    : QDialog(parent), m_port(port), m_settings(settings), m_remove(remove),
      m_session(new UpdateSession(
          port,
          [this] {
              // Asked right before each read of the file: the device history
              // names the bytes of that read, not the file as it is later.
              const QString path = m_settings.Settings().BootFile;
              if (!ReadJobInput(path, HexFileMaxBytes, m_loaded)) {
                  // The load fails too: no transfer starts from it.
                  m_loaded = JobInput();
                  m_loaded.Path = path;
              }
              return path;
          },
          this))
{
    setObjectName(QStringLiteral("TUploadForm"));
    setWindowTitle(QStringLiteral("Update Mirto Firmware"));
    setAccessibleName(windowTitle());
    if (!m_remove)
        m_remove = new TRemoveForm(this);

    m_fileName = new QLineEdit(this);
    m_fileName->setObjectName(QStringLiteral("FlashFileName"));
    // A path from the settings file must never be cut short by the field.
    m_fileName->setMaxLength(int(MaxSettingsFileSize));
    m_fileName->setMinimumWidth(m_fileName->fontMetrics().averageCharWidth() * 50);
    m_browse = Button(QStringLiteral("BrowseButton"), QStringLiteral("&Browse"), this);

    m_status = new QLineEdit(this);
    m_status->setObjectName(QStringLiteral("StatusText"));
    m_status->setReadOnly(true);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("ProgressBar"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);

    m_speed = new QComboBox(this);
    m_speed->setObjectName(QStringLiteral("SpeedComboBox"));
    m_speed->addItems({QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("38400"),
                       QStringLiteral("115200")});

    m_messages = new QListWidget(this);
    m_messages->setObjectName(QStringLiteral("MessageList"));
    // A transfer logs thousands of lines; equal heights keep the list's
    // layout from measuring every one of them.
    m_messages->setUniformItemSizes(true);
    m_messages->setSelectionMode(QAbstractItemView::SingleSelection);

    m_start = Button(QStringLiteral("StartUploadButton"), QStringLiteral("&Start Update"), this);
    m_cancel = Button(QStringLiteral("CancelButton"), QStringLiteral("&Close"), this);

    m_openDialog = new QFileDialog(this);
    m_openDialog->setObjectName(QStringLiteral("OpenDialog"));
    m_openDialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_openDialog->setFileMode(QFileDialog::ExistingFile);
    m_openDialog->setOption(QFileDialog::DontUseNativeDialog);
    m_openDialog->setNameFilters(
        {QStringLiteral("Hex File (*.hex *.HEX)"), QStringLiteral("All files (*)")});

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(MessageBatchMs);

    auto *fields = new QGridLayout;
    fields->addWidget(FieldLabel(QStringLiteral("File to Upload"), m_fileName, this), 0, 0);
    fields->addWidget(m_fileName, 0, 1);
    fields->addWidget(m_browse, 0, 2);
    fields->addWidget(FieldLabel(QStringLiteral("Status"), m_status, this), 1, 0);
    fields->addWidget(m_status, 1, 1, 1, 2);
    fields->addWidget(FieldLabel(QStringLiteral("Progress"), m_progress, this), 2, 0);
    fields->addWidget(m_progress, 2, 1, 1, 2);
    fields->addWidget(FieldLabel(QStringLiteral("Upload Speed"), m_speed, this), 3, 0);
    fields->addWidget(m_speed, 3, 1, Qt::AlignLeft);
    fields->addWidget(FieldLabel(QStringLiteral("Message"), m_messages, this), 4, 0,
                      Qt::AlignTop);
    fields->addWidget(m_messages, 4, 1, 1, 2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_start);
    buttons->addWidget(m_cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    // A fixed dialog border.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_browse, &QPushButton::clicked, this, &TUploadForm::BrowseButtonClicked);
    connect(m_fileName, &QLineEdit::textChanged, this, &TUploadForm::FlashFileNameChange);
    connect(m_speed, &QComboBox::currentIndexChanged, this, &TUploadForm::SpeedComboBoxChanged);
    connect(m_start, &QPushButton::clicked, this, &TUploadForm::StartUploadButtonClicked);
    connect(m_cancel, &QPushButton::clicked, this, &TUploadForm::CancelButtonClicked);
    // What the session reports, shown; what needs the user, asked.
    connect(m_session, &UpdateSession::StateChanged, this, &TUploadForm::UpdateControls);
    connect(m_session, &UpdateSession::Message, this, &TUploadForm::AddMessage);
    connect(m_session, &UpdateSession::MessagesCleared, this, &TUploadForm::ClearMessages);
    connect(m_session, &UpdateSession::Status, this, &TUploadForm::SetStatus);
    connect(m_session, &UpdateSession::Progress, this, &TUploadForm::SetProgress);
    connect(m_session, &UpdateSession::Problem, this, &TUploadForm::ShowProblem);
    connect(m_session, &UpdateSession::PowerCycleNeeded, this, &TUploadForm::ShowPowerPrompt);
    connect(m_session, &UpdateSession::PowerCycleSeen, this, [this] {
        if (m_remove->isVisible())
            m_remove->done(QDialog::Accepted);
    });
    connect(m_session, &UpdateSession::StartAllowed, this, [this](bool allowed) {
        m_startAllowed = allowed;
        UpdateControls();
    });
    connect(m_session, &UpdateSession::TransferRunning, this, [this](bool running) {
        if (running && !m_transferRunning) {
            ++TransfersStarted;
            LastProblem.clear();
            // A transfer starts with the image its start token loaded.
            m_input = m_loaded;
        }
        m_transferRunning = running;
        UpdateControls();
    });
    connect(m_session, &UpdateSession::ReadFailed, this, [](const QString &error) {
        // A line that cannot be read ends the update as a lost one does; the
        // box waits for the event loop, outside the port's notification.
        QMetaObject::invokeMethod(
            qApp, [error] { ShowErrorMessage(error); }, Qt::QueuedConnection);
    });
    connect(m_session, &UpdateSession::BootLoaderDone, this, &TUploadForm::BootLoaderDone);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        // Keep batching while lines go on arriving.
        if (!m_pendingLines.isEmpty()) {
            FlushMessages();
            m_flushTimer.start();
        }
    });

    // The dialog sees every key before the control with the focus does.
    // Escape closes, from any control; Space starts only on the dialog
    // itself (on the Start button it is the button's own click, in a text
    // field a blank). Both act on the release of a press made here.
    const auto ours = [this](const QKeyEvent *key, const QWidget *target) {
        return key->key() == Qt::Key_Escape || (key->key() == Qt::Key_Space && target == this);
    };
    m_keys = new KeyPreview(
        this, [ours](QKeyEvent *key, QWidget *target) { return ours(key, target); },
        [this, ours](QKeyEvent *key, QWidget *target) {
            if (!ours(key, target))
                return false;
            // A held key's repeats do not act again.
            if (!key->isAutoRepeat())
                FormKeyUp(key->key(), target);
            return true;
        });
}

// The port is not touched here: the main window's connection goes before
// the windows it owns, and the receiver guards itself.
TUploadForm::~TUploadForm() = default;

// ---------------------------------------------------------------------------
// Showing and closing

void TUploadForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    // From the event loop: the activation may show a message box or close
    // the dialog again, which must not happen in the middle of showing it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isVisible())
                UploadFormActivate();
        },
        Qt::QueuedConnection);
}

void TUploadForm::UploadFormActivate()
{
    if (Activated)
        return;
    Activated = true;
    m_updated = false;
    // Looked at before anything else: over the network there is nothing to
    // load or to open, and the connection is not the dialog's to touch.
    if (m_port.Interface() == InterfaceNetwork) {
        ShowMessage(this, QStringLiteral("Firmware updates need the serial or USB cable. The "
                                         "network connection stays as it is."));
        done(QDialog::Rejected);
        return;
    }
    m_session->Activate();
    ClearMessages();

    // A value from a hand-edited settings file that is no position of the
    // list would select nothing, and be written back as a non-digit.
    const int speed = qBound(0, m_settings.Settings().UploadSpeed, MaxUploadSpeed);
    {
        const QSignalBlocker quiet(m_speed);
        m_speed->setCurrentIndex(speed);
    }
    SpeedComboBoxChanged(speed);

    const QString path = m_settings.Settings().BootFile;
    if (m_fileName->text() != path)
        m_fileName->setText(path);

    m_progress->setValue(0);
    m_start->setFocus();

    if (path.isEmpty()) {
        // No file yet is no error in a file.
        SetStatus(QStringLiteral("Choose a Flash File with Browse"));
        return;
    }
    const int result = LoadFlashImage();
    if (result == -1) {
        SetStatus(QStringLiteral("Error in Flash File"));
        m_fileName->clear();
        return;
    }
    if (result == -2) {
        SetStatus(QStringLiteral("Flash File too large"));
        return;
    }
    PrepareForStart();
}

void TUploadForm::PrepareForStart()
{
    // The link is claimed only by Start: until then the device's text,
    // prompts included, belongs to the terminal.
    m_preparedForStart = true;
    try {
        // Refused while another job holds the link: the user has been told.
        if (!m_port.OpenForUpdate())
            return;
    } catch (const std::exception &error) {
        ShowException(error);
        return;
    }
    m_port.UpdateConnectionStatus();
    SetStatus(QStringLiteral("Ready, Waiting for device..."));
    // Whatever happened before the file became usable, the device is
    // awaited afresh.
    m_session->Activate();
}

void TUploadForm::done(int result)
{
    if (m_closing) {
        QDialog::done(result);
        return;
    }
    if (m_stopQuestionOpen)
        return;
    // A device left in the middle of a transfer stays in its boot loader:
    // the user decides, and the dialog stays open either way.
    if (m_transferRunning) {
        AskToStop();
        return;
    }
    m_closing = true;
    // Hidden first: what closing hands back to the main window (a reopened
    // port, perhaps a question for the device's address) shows over it.
    QDialog::done(result);
    m_closing = false;
    FormClose();
}

void TUploadForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    // Hidden without done(), for instance with its parent.
    if (!event->spontaneous() && !m_closing)
        FormClose();
}

void TUploadForm::FormClose()
{
    if (m_closing)
        return;
    m_closing = true;
    m_stopQuestionOpen = false;
    // The session gives the link back; its timers stop.
    m_session->Closed();
    if (m_remove->isVisible())
        m_remove->done(QDialog::Rejected);
    FlushMessages();
    m_flushTimer.stop();
    m_preparedForStart = false;
    // Before the activation of this showing ran, nothing was taken over that
    // could be handed back; the network link was never the dialog's.
    if (Activated && m_port.Interface() != InterfaceNetwork) {
        try {
            // The owner closes the port and opens it again for the terminal,
            // unless another job holds the link. After a completed update
            // the device runs new firmware: it is identified again.
            m_port.ReopenAfterUpdate(m_updated);
        } catch (const std::exception &error) {
            ShowException(error);
        }
    }
    Activated = false;
    m_closing = false;
}

void TUploadForm::AskToStop()
{
    FlushMessages();
    m_stopQuestionOpen = true;
    // The question runs a loop of its own in which the device's bytes go on
    // arriving: the session keeps them in the port until it is answered,
    // and the update's clock stands still meanwhile.
    m_session->Pause();
    const bool stop = AskYesNo(this, StopQuestion);
    m_stopQuestionOpen = false;
    if (stop && m_session->Protocol().TransferRunning())
        m_session->Stop();
    m_session->Resume();
}

// ---------------------------------------------------------------------------
// Controls

void TUploadForm::SpeedComboBoxChanged(int index)
{
    if (index < 0)
        return;
    m_settings.Settings().UploadSpeed = index;
    m_port.UpdateConnectionStatus();
    m_settings.WriteSettings();
}

void TUploadForm::FlashFileNameChange(const QString &text)
{
    m_settings.Settings().BootFile = text;
    m_settings.WriteSettings();
}

void TUploadForm::BrowseButtonClicked()
{
    m_openDialog->selectNameFilter(m_openDialog->nameFilters().constFirst());
    const QFileInfo current(m_fileName->text());
    if (!m_fileName->text().isEmpty() && current.absoluteDir().exists())
        m_openDialog->setDirectory(current.absoluteDir());
    if (m_openDialog->exec() != QDialog::Accepted)
        return;
    const QString path = m_openDialog->selectedFiles().value(0);
    // The boot loader may have started while the file dialog was open: the
    // image of a running transfer stays as it is.
    if (path.isEmpty() || m_transferRunning || !isVisible())
        return;
    m_fileName->setText(path);
    m_settings.Settings().BootFile = path;
    m_settings.WriteSettings();

    ClearMessages();
    const int result = LoadFlashImage();
    if (result == -1) {
        SetStatus(QStringLiteral("Error in Flash File"));
        m_fileName->clear();
    } else if (result == -2) {
        SetStatus(QStringLiteral("Flash File too large"));
    } else {
        AddMessage(QStringLiteral("Flash File Selected"));
        SetStatus(QStringLiteral("Ready, Waiting for device"));
        // A showing that stopped at a bad file is ready now, as it would have
        // been had the file been good from the start.
        if (Activated && !m_preparedForStart)
            PrepareForStart();
    }
}

void TUploadForm::StartUploadButtonClicked()
{
    // Resetting the device makes sense only when its boot loader is awaited:
    // a good file and an open port. A good name typed into the field since
    // the showing began readies the dialog now, as Browse would have.
    if (!m_preparedForStart && Activated && !m_transferRunning) {
        ClearMessages();
        const int result = LoadFlashImage();
        if (result != 0) {
            SetStatus(result == -2 ? QStringLiteral("Flash File too large")
                                   : QStringLiteral("Error in Flash File"));
        } else {
            PrepareForStart();
            // A port that did not open has been reported by now.
            if (!m_port.PortOpen())
                return;
        }
    }
    if (!m_preparedForStart) {
        QApplication::beep();
        return;
    }
    if (m_transferRunning || m_session->Protocol().WaitingForToken() || !m_startAllowed)
        return;
    if (!PortReadyForStart())
        return;
    // Refused while another job holds the link: the user has been told.
    m_session->Begin(m_speed->currentIndex());
}

bool TUploadForm::PortReadyForStart()
{
    if (m_port.PortOpen())
        return true;
    QString reason;
    try {
        if (!m_port.OpenForUpdate())
            return false; // another job holds the link; the user has been told
    } catch (const SerialPortError &error) {
        reason = error.message();
    } catch (const std::exception &error) {
        reason = QString::fromLocal8Bit(error.what());
    }
    if (reason.isEmpty() && !m_port.PortOpen())
        reason = QStringLiteral("The port did not open.");
    m_port.UpdateConnectionStatus();
    if (reason.isEmpty())
        return true;
    const QString port = QStringLiteral("COM%1").arg(m_port.PortNumber());
    SetStatus(port + QStringLiteral(" cannot be opened"));
    FlushMessages();
    ShowError(this, port + QStringLiteral(" cannot be opened, so the update cannot start.\n\n")
                          + reason);
    return false;
}

void TUploadForm::CancelButtonClicked()
{
    m_session->CloseButtonPressed();
    done(QDialog::Rejected);
}

// ---------------------------------------------------------------------------
// Keys

void TUploadForm::FormKeyUp(int key, QObject *target)
{
    Q_UNUSED(target);
    if (key == Qt::Key_Space)
        StartUploadButtonClicked();
    else if (key == Qt::Key_Escape)
        done(QDialog::Rejected);
}

// ---------------------------------------------------------------------------
// The image and the boot loader

int TUploadForm::LoadFlashImage()
{
    const HexLoadResult load = m_session->LoadImage();
    for (const QString &text : load.Messages)
        AddMessage(text);
    return load.Result;
}

const HexImage &TUploadForm::Image() const
{
    return m_session->Image();
}

const BootProtocol &TUploadForm::Protocol() const
{
    return m_session->Protocol();
}

void TUploadForm::ProcessBootBytes(int count)
{
    m_session->Received(count);
}

void TUploadForm::ShowPowerPrompt()
{
    if (m_remove->isVisible())
        return;
    FlushMessages();
    m_remove->exec();
    // The token closes the prompt; closed without one, the wait is over.
    m_session->PowerPromptClosed();
}

void TUploadForm::ShowProblem(const QString &text)
{
    LastProblem = text;
    // Every box of the conversation tells of a failure.
    FlushMessages();
    ShowError(this, text);
}

void TUploadForm::BootLoaderDone(bool success)
{
    m_updated = success;
    if (isVisible() && !m_closing)
        done(success ? QDialog::Accepted : QDialog::Rejected);
}

void TUploadForm::UpdateControls()
{
    // Locked from Start until the update ends, or until its start token's
    // wait runs out.
    const bool idle = !m_transferRunning && !m_session->Protocol().WaitingForToken();
    const bool startable = idle && m_startAllowed;
    // A control losing the focus by being disabled would pass it on to the
    // next one, the Close button, where the Space meant for Start closes.
    QWidget *focus = focusWidget();
    if ((focus == m_start && !startable) || (!idle && (focus == m_browse || focus == m_fileName)))
        setFocus();
    m_fileName->setEnabled(idle);
    m_browse->setEnabled(idle);
    m_start->setEnabled(startable);
    if (startable && isVisible() && (focusWidget() == nullptr || focusWidget() == this))
        m_start->setFocus();
}

void TUploadForm::SetStatus(const QString &text)
{
    m_status->setText(text);
}

void TUploadForm::SetProgress(quint32 value, quint32 maximum)
{
    // A maximum of 0 would show the busy animation.
    const int shownMaximum = int(qBound<quint32>(1, maximum, quint32(INT_MAX)));
    const int shownValue = int(qMin<quint32>(value, quint32(shownMaximum)));
    if (m_progress->maximum() != shownMaximum)
        m_progress->setMaximum(shownMaximum);
    if (m_progress->value() != shownValue)
        m_progress->setValue(shownValue);
}

// ---------------------------------------------------------------------------
// Message list

void TUploadForm::AddMessage(const QString &text)
{
    m_pendingLines << text;
    // A line after a quiet spell shows at once; a burst of lines is drawn in
    // batches.
    if (!m_flushTimer.isActive()) {
        FlushMessages();
        m_flushTimer.start();
    }
}

void TUploadForm::FlushMessages()
{
    if (m_pendingLines.isEmpty())
        return;
    m_messages->addItems(m_pendingLines);
    m_pendingLines.clear();
    m_messages->setCurrentRow(m_messages->count() - 1);
}

void TUploadForm::ClearMessages()
{
    m_pendingLines.clear();
    m_messages->clear();
}

QStringList TUploadForm::MessageLines() const
{
    QStringList lines;
    lines.reserve(m_messages->count() + m_pendingLines.size());
    for (int i = 0; i < m_messages->count(); ++i)
        lines << m_messages->item(i)->text();
    return lines + m_pendingLines;
}
