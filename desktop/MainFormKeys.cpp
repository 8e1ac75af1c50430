#include "desktop/Commainform.h"

#include "desktop/CommandLineHistory.h"
#include "desktop/FindBar.h"
#include "desktop/TerminalView.h"
#include "desktop/TypingLimit.h"

#include "core/SendableText.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

// The main window's keys: the direct command line that Escape opens and
// typing at the terminal fills, Enter sending its command, and the history
// it walks and searches.

bool TMainForm::previewKey(QKeyEvent *key, QWidget *target)
{
    // The find bar's own keys: Enter finds, Escape closes the bar.
    if (m_findBar->isAncestorOf(target)
        && (key->key() == Qt::Key_Escape || key->key() == Qt::Key_Return
            || key->key() == Qt::Key_Enter))
        return false;
    if (UserLevel == 1) {
        const bool commandKey =
            key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
        const bool inCommandLine = target == m_commandEdit || m_commandEdit->isAncestorOf(target);
        // Ctrl+R at the terminal opens the command line and searches there,
        // as typing at the terminal opens it with the key typed.
        const bool atTerminal = target == m_memo && m_commandEdit->isHidden();
        if ((atTerminal || (inCommandLine && !m_commandEdit->isHidden())) && !key->isAutoRepeat()
            && key->key() == Qt::Key_R && key->modifiers() == Qt::ControlModifier) {
            if (atTerminal)
                showCommandLine(true);
            m_history->Search();
            return true;
        }
        if (m_history->Searching() && m_history->SearchKey(key))
            return true;
        if ((key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) && !commandKey
            && inCommandLine) {
            m_history->Recall(key->key() == Qt::Key_Up);
            return true;
        }
        // Typing at the terminal is typing a command: the command line opens
        // with the key in it. Shortcuts (Ctrl, Alt) stay shortcuts.
        // With the command line already open (the focus came back to the
        // terminal, say from the find bar), the key goes on into it.
        const QString typed = key->text();
        if (target == m_memo && !commandKey && !typed.isEmpty() && typed.at(0).isPrint()) {
            if (m_commandEdit->isHidden())
                showCommandLine(true);
            else
                m_commandEdit->setFocus(Qt::OtherFocusReason);
            m_commandEdit->lineEdit()->insert(typed);
            return true;
        }
    }
    return MainFormKeyPress(key->key(), key->isAutoRepeat());
}

void TMainForm::showCommandLine(bool show)
{
    if (m_history->Searching())
        m_history->EndSearch();
    // The focus leaving with the command line goes to the terminal, where
    // typing opens it again, not to whichever control comes next.
    const bool hadFocus = m_commandEdit->isAncestorOf(QApplication::focusWidget())
                          || QApplication::focusWidget() == m_commandEdit;
    m_commandEdit->setVisible(show);
    if (!show && hadFocus)
        m_memo->setFocus(Qt::OtherFocusReason);
    if (show) {
        SetStatusPanel(1, QStringLiteral("Type 'help' for a list of commands"));
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(QString());
        m_commandEdit->setFocus();
    } else {
        SetStatusPanel(1, QStringLiteral(" Press 'ESC' to enter direct commands"));
    }
}

bool TMainForm::MainFormKeyPress(int key, bool autoRepeat)
{
    if (UserLevel != 1 || autoRepeat)
        return false;
    if (key == Qt::Key_Escape) {
        showCommandLine(m_commandEdit->isHidden());
        return true;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !m_commandEdit->isHidden()) {
        const QString typed = m_commandEdit->currentText();
        // Typing cannot put such a character there, but a command recalled
        // from an older history can: it is not sent changed, nor dropped
        // without a word.
        if (const SendableFault fault = CheckSendableLine(typed); fault.IsFault()) {
            TypingLimit::ShowReason(m_commandEdit->lineEdit(), fault.Reason());
            return true;
        }
        m_history->Add(typed);
        m_commandEdit->setCurrentIndex(-1);
        m_commandEdit->setEditText(QString());
        m_connection->SendLines({SendableBytes(typed) + '\n'});
        return true;
    }
    return false;
}
