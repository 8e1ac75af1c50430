#include "firmware/Upload.h"

#include "firmware/Remove.h"
#include "shell/DevicePorts.h"
#include "shell/ErrorDisplay.h"
#include "shell/ToolSettings.h"

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
    button->setAccessibleName(text);
    // Enter is no key of this dialog: no button may take it as default button.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

TUploadForm::TUploadForm(BootPort &port, SettingsStore &settings, TRemoveForm *remove,
                         QWidget *parent)
    : QDialog(parent), m_port(port), m_settings(settings), m_remove(remove),
      m_protocol(
          m_image,
          [this] { return LoadHexFile(m_settings.Settings().BootFile, m_image); },
          [this](const QByteArray &bytes) { return WriteToDevice(bytes); })
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
    m_browse = Button(QStringLiteral("BrowseButton"), QStringLiteral("Browse"), this);

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

    m_start = Button(QStringLiteral("StartUploadButton"), QStringLiteral("Start Update"), this);
    m_cancel = Button(QStringLiteral("CancelButton"), QStringLiteral("Close"), this);

    m_openDialog = new QFileDialog(this);
    m_openDialog->setObjectName(QStringLiteral("OpenDialog"));
    m_openDialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_openDialog->setFileMode(QFileDialog::ExistingFile);
    m_openDialog->setOption(QFileDialog::DontUseNativeDialog);
    m_openDialog->setNameFilters(
        {QStringLiteral("Hex File (*.hex *.HEX)"), QStringLiteral("All files (*)")});

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setSingleShot(true);
    m_timer1->setInterval(BootProtocol::Timer1Ms);
    m_timer2 = new QTimer(this);
    m_timer2->setObjectName(QStringLiteral("Timer2"));
    m_timer2->setSingleShot(true);
    m_timer2->setInterval(BootProtocol::Timer2Ms);
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
    connect(m_timer1, &QTimer::timeout, this, &TUploadForm::TimerTimeOut);
    connect(m_timer2, &QTimer::timeout, this, &TUploadForm::Timer2Timer);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        // Keep batching while lines go on arriving.
        if (!m_pendingLines.isEmpty()) {
            FlushMessages();
            m_flushTimer.start();
        }
    });

    // The dialog sees every key before the control with the focus does.
    installEventFilter(this);
    for (QWidget *control : {static_cast<QWidget *>(m_fileName), static_cast<QWidget *>(m_browse),
                             static_cast<QWidget *>(m_status), static_cast<QWidget *>(m_progress),
                             static_cast<QWidget *>(m_speed), static_cast<QWidget *>(m_messages),
                             static_cast<QWidget *>(m_start), static_cast<QWidget *>(m_cancel)})
        control->installEventFilter(this);
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
    m_protocol.Activate();
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
    Arm();
}

void TUploadForm::Arm()
{
    if (m_port.Interface() == InterfaceNetwork) {
        ShowMessage(this,
                    QStringLiteral("Firmware update over TCP/IP not implemented yet.... Quitting...."));
        done(QDialog::Rejected);
        return;
    }
    m_port.SetUploadReceiver([form = QPointer<TUploadForm>(this)](int count) {
        if (form)
            form->ProcessBootBytes(count);
    });
    m_armed = true;
    if (!m_port.PortOpen()) {
        try {
            m_port.OpenPort();
        } catch (const std::exception &error) {
            ShowException(error);
            return;
        }
    }
    m_port.UpdateConnectionStatus();
    SetStatus(QStringLiteral("Ready, Waiting for device..."));
    // Whatever happened before the file became usable, the device is
    // awaited afresh.
    m_protocol.Activate();
}

void TUploadForm::done(int result)
{
    if (m_closing) {
        QDialog::done(result);
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
    m_spaceDown = false;
    m_escapeDown = false;
    Carry(m_protocol.Closed());
    if (m_remove->isVisible())
        m_remove->done(QDialog::Rejected);
    FlushMessages();
    m_flushTimer.stop();
    // Before the activation of this showing ran, nothing was taken over that
    // could be handed back.
    if (Activated) {
        m_port.SetUploadReceiver({});
        m_armed = false;
        try {
            m_port.ClosePort();
        } catch (const std::exception &error) {
            ShowException(error);
        }
        try {
            m_port.ReopenAfterUpdate(false);
        } catch (const std::exception &error) {
            ShowException(error);
        }
    }
    Activated = false;
    m_closing = false;
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
        if (Activated && !m_armed)
            Arm();
    }
}

void TUploadForm::StartUploadButtonClicked()
{
    // Resetting the device makes sense only when its boot loader is awaited:
    // a good file and an open port. A good name typed into the field since
    // the showing began readies the dialog now, as Browse would have.
    if (!m_armed && Activated && !m_transferRunning) {
        ClearMessages();
        const int result = LoadFlashImage();
        if (result == 0)
            Arm();
        else
            SetStatus(result == -2 ? QStringLiteral("Flash File too large")
                                   : QStringLiteral("Error in Flash File"));
    }
    if (!m_armed || !m_port.PortOpen()) {
        QApplication::beep();
        return;
    }
    Carry(m_protocol.Start(m_speed->currentIndex()));
}

void TUploadForm::CancelButtonClicked()
{
    Carry(m_protocol.CloseButtonPressed());
    done(QDialog::Rejected);
}

void TUploadForm::TimerTimeOut()
{
    m_timer1->stop();
    Carry(m_protocol.Timer1Expired());
}

void TUploadForm::Timer2Timer()
{
    m_timer2->stop();
    Carry(m_protocol.Timer2Expired());
}

// ---------------------------------------------------------------------------
// Keys

bool TUploadForm::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return QDialog::eventFilter(watched, event);
    // A key goes to the control with the focus (or to the window when none
    // has it) and then travels up to its parents: it is taken where it
    // arrives, once.
    QWidget *target = QApplication::focusWidget();
    if (!target || target->window() != this)
        target = this;
    if (watched != target)
        return QDialog::eventFilter(watched, event);

    const auto *key = static_cast<QKeyEvent *>(event);
    const bool press = type == QEvent::KeyPress;
    if (key->key() == Qt::Key_Escape) {
        // Closing waits for the release, and only a release of a press made
        // here counts: Escape that closed a message box must not close the
        // dialog behind it as well.
        if (press) {
            if (!key->isAutoRepeat())
                m_escapeDown = true;
        } else if (!key->isAutoRepeat() && m_escapeDown) {
            m_escapeDown = false;
            FormKeyUp(Qt::Key_Escape, watched);
        }
        return true;
    }
    if (key->key() == Qt::Key_Space && target == this) {
        // On the Start button Space is the button's own click; in a text
        // field it is a blank; on the dialog itself it starts, once per
        // release of a press made here.
        if (press) {
            if (!key->isAutoRepeat())
                m_spaceDown = true;
        } else if (!key->isAutoRepeat() && m_spaceDown) {
            m_spaceDown = false;
            FormKeyUp(Qt::Key_Space, watched);
        }
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

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
    const HexLoadResult load = LoadHexFile(m_settings.Settings().BootFile, m_image);
    for (const QString &text : load.Messages)
        AddMessage(text);
    return load.Result;
}

bool TUploadForm::WriteToDevice(const QByteArray &bytes)
{
    if (!m_port.PortOpen())
        return false;
    m_port.WriteBytes(bytes);
    return true;
}

void TUploadForm::ProcessBootBytes(int count)
{
    // A negative count: the device went away under the update.
    if (count < 0) {
        Carry(m_protocol.LinkLost(QStringLiteral("Device disconnected")), true);
        return;
    }
    QList<BootEvent> events;
    bool finished = false;
    QString readError;
    try {
        // One byte at a time, and only while the machine takes bytes: what it
        // leaves (after the finish byte, or while it waits after a failed
        // reload) stays in the port for whoever reads next.
        for (int i = 0; i < count && !finished && m_protocol.AcceptBytes(); ++i) {
            char byte = 0;
            if (m_port.ReadBytes(&byte, 1) != 1)
                break;
            const BootFeed feed = m_protocol.ProcessBootBytes(&byte, 1);
            for (const BootEvent &event : feed.Events) {
                events << event;
                if (event.Type == BootEvent::Kind::Finished)
                    finished = true;
            }
        }
    } catch (const std::exception &error) {
        readError = QString::fromLocal8Bit(error.what());
    } catch (...) {
        readError = QStringLiteral("Unable to read from device");
    }
    // The boot loader is done: what the device says next is the terminal's.
    if (finished)
        m_port.SetUploadReceiver({});
    Carry(events, true);
    if (!readError.isEmpty()) {
        // A line that cannot be read ends the update as a lost one does.
        Carry(m_protocol.LinkLost(readError), true);
        QMetaObject::invokeMethod(
            this, [readError] { ShowErrorMessage(readError); }, Qt::QueuedConnection);
    }
}

void TUploadForm::Carry(const QList<BootEvent> &events, bool insideReceive)
{
    for (qsizetype i = 0; i < events.size(); ++i) {
        const BootEvent::Kind type = events[i].Type;
        const bool modal = type == BootEvent::Kind::MessageBox
                           || type == BootEvent::Kind::Finished
                           || type == BootEvent::Kind::ShowPowerPrompt;
        if (insideReceive && modal) {
            // The port does not announce data again while its own
            // notification runs: nested loops wait for the event loop.
            const QList<BootEvent> rest = events.mid(i);
            QMetaObject::invokeMethod(
                this, [this, rest] { Carry(rest); }, Qt::QueuedConnection);
            return;
        }
        Carry(events[i]);
    }
}

void TUploadForm::Carry(const BootEvent &event)
{
    using Kind = BootEvent::Kind;
    switch (event.Type) {
    case Kind::Message:
        AddMessage(event.Text);
        break;
    case Kind::ClearMessages:
        ClearMessages();
        break;
    case Kind::Status:
        SetStatus(event.Text);
        break;
    case Kind::MessageBox:
        FlushMessages();
        ShowMessage(this, event.Text);
        break;
    case Kind::Progress:
        SetProgress(event.Value, event.Maximum);
        break;
    case Kind::Command:
        try {
            m_port.SendCommand(event.Text.toLatin1());
        } catch (const std::exception &error) {
            ShowException(error);
        }
        break;
    case Kind::StartTimer:
        (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2)->start();
        break;
    case Kind::StopTimer:
        (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2)->stop();
        break;
    case Kind::ShowPowerPrompt:
        if (!m_remove->isVisible()) {
            FlushMessages();
            m_remove->exec();
        }
        break;
    case Kind::ClosePowerPrompt:
        if (m_remove->isVisible())
            m_remove->done(QDialog::Accepted);
        break;
    case Kind::StartEnabled:
        m_startAllowed = event.Flag;
        UpdateControls();
        break;
    case Kind::TransferStarted:
        m_transferRunning = true;
        UpdateControls();
        break;
    case Kind::TransferEnded:
        m_transferRunning = false;
        UpdateControls();
        break;
    case Kind::Finished:
        if (isVisible() && !m_closing)
            done(event.Flag ? QDialog::Accepted : QDialog::Rejected);
        break;
    }
}

void TUploadForm::UpdateControls()
{
    const bool idle = !m_transferRunning;
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
