#include "desktop/Commainform.h"

#include "desktop/ErrorDisplay.h"
#include "desktop/FileDialogIcons.h"
#include "desktop/NoteLabel.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QPushButton>

// Tools - Send Command File: a file of commands sent one line at a time,
// its progress in the status bar.

void TMainForm::SendCommandFileClicked()
{
    QFileDialog dialog(this, QStringLiteral("Send a file of commands"), QDir::currentPath());
    dialog.setObjectName(QStringLiteral("CommandFileDialog"));
    ReadNoContents(dialog);
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
