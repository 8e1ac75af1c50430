#include "desktop/Commainform.h"

#include "core/TerminalLog.h"
#include "desktop/FindBar.h"
#include "desktop/Preferences.h"
#include "desktop/PreferencesDialog.h"
#include "desktop/TerminalView.h"

#include <QAction>
#include <QMenu>
#include <QSignalBlocker>

// The main window's Edit menu: copying from the terminal, finding in it,
// and the user's preferences for it (highlight rules, time stamps).

void TMainForm::buildTerminalMenu()
{
    auto *editMenu = findChild<QMenu *>(QStringLiteral("EditMenu"));
    const auto addItem = [this, editMenu](const char *name, const QString &caption,
                                          const QList<QKeySequence> &keys, auto handler) {
        QAction *action = editMenu->addAction(caption, this, handler);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        return action;
    };
    // Ctrl+C stays the command line's own; the terminal takes it when it
    // has the focus.
    addItem("CopyItem", QStringLiteral("&Copy"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)},
            [this] { m_memo->Copy(); });
    addItem("CopyWithoutStampsItem", QStringLiteral("Copy &without Stamps"), {},
            [this] { m_memo->CopyWithoutStamps(); });
    editMenu->addSeparator();
    addItem("FindItem", QStringLiteral("&Find..."), {QKeySequence(Qt::CTRL | Qt::Key_F)},
            [this] { m_findBar->Open(); });
    addItem("FindNextItem", QStringLiteral("Find &Next"), {QKeySequence(Qt::Key_F3)},
            [this] { m_findBar->Next(); });
    addItem("FindPreviousItem", QStringLiteral("Find &Previous"),
            {QKeySequence(Qt::SHIFT | Qt::Key_F3)}, [this] { m_findBar->Previous(); });
    editMenu->addSeparator();
    addItem("PreferencesItem", QStringLiteral("P&references..."), {},
            [this] { PreferencesClicked(); });

    m_memo->SetHighlightRules(Preferences::HighlightRuleList());
    {
        // Showing the kept choice is no new choice to keep.
        const QSignalBlocker quiet(m_stampsAction);
        m_stampsAction->setChecked(Preferences::TimeStamps());
    }
    setTimeStamps(m_stampsAction->isChecked());
    connect(m_stampsAction, &QAction::toggled, this, [this](bool on) {
        setTimeStamps(on);
        Preferences::SetTimeStamps(on);
    });
}

void TMainForm::setTimeStamps(bool on)
{
    m_memo->SetTimeStamps(on);
    m_log->SetMilliseconds(on);
}

void TMainForm::PreferencesClicked()
{
    PreferencesDialog dialog(this);
    dialog.SetRules(m_memo->Highlights().Rules());
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_memo->SetHighlightRules(dialog.Rules());
    Preferences::SetHighlightRuleList(dialog.Rules());
}
