#include "desktop/Commainform.h"

#include "core/TerminalFile.h"
#include "core/TerminalLog.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/FileDialogIcons.h"
#include "desktop/NoteLabel.h"
#include "desktop/Preferences.h"
#include "desktop/TerminalView.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>

// Where the terminal's text goes: the view, as text or as hex; the log file
// while there is one; a copy saved at the user's request; and the status
// notes that tell of them.

namespace {

// The file the user names to write to; empty when the dialog was cancelled.
// Whether a file that is there may be overwritten is the caller's question.
// It offers a name of the date and time in the folder last used for `kind`
// (the start directory the first time, or when that folder is gone).
QString askSavePath(QWidget *parent, const QString &title, const QString &objectName,
                    const QString &suffix, const QString &kind)
{
    QString folder = Preferences::LastFolder(kind);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::currentPath();
    QFileDialog dialog(parent, title, folder);
    ReadNoContents(dialog);
    if (!objectName.isEmpty())
        dialog.setObjectName(objectName);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(TerminalFileName(QDateTime::currentDateTime(), suffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path = dialog.selectedFiles().constFirst();
    Preferences::SetLastFolder(kind, QFileInfo(path).absolutePath());
    return path;
}

} // namespace

void TMainForm::SaveResponseClicked()
{
    const QString path = askSavePath(this, QStringLiteral("Save the contents of the response field"),
                                     QStringLiteral("TerminalSaveDialog"), QStringLiteral("txt"),
                                     QStringLiteral("terminal"));
    if (path.isEmpty())
        return;
    // Saving over the log would replace its file while the log goes on
    // into the one replaced: refused, the log and its file stay as they are.
    if (m_log->Holds(path)) {
        ShowErrorMessage(QStringLiteral("Not saved: the terminal is being logged to %1. Choose "
                                        "another name, or stop logging first.")
                             .arg(QDir::toNativeSeparators(path)));
        return;
    }
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
    // One arrival time for both: the log stamps a line as the terminal does.
    const int arrivalMs = m_memo->AppendText(text);
    if (m_log->Append(text, arrivalMs))
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

void TMainForm::LogToFileClicked()
{
    // The log is appended to, never overwritten: nothing to confirm.
    const QString path = askSavePath(this, QStringLiteral("Log the terminal to a file"),
                                     QStringLiteral("LogFileDialog"), QStringLiteral("log"),
                                     QStringLiteral("log"));
    if (path.isEmpty())
        return;
    // The line the terminal shows unfinished (the prompt waiting for the
    // next command) begins the log, with its stamp.
    const TerminalBuffer &shown = m_memo->Buffer();
    const qsizetype open = shown.LineCount() - 1;
    if (!m_log->Start(path, shown.Line(open), shown.Stamp(open)))
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
