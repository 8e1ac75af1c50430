#include "desktop/CommandLineHistory.h"

#include "core/CommandHistory.h"
#include "desktop/Preferences.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

CommandLineHistory::CommandLineHistory(QComboBox &edit, QLabel &searchLabel)
    : m_edit(edit), m_searchLabel(searchLabel)
{
}

void CommandLineHistory::Restore()
{
    m_edit.addItems(Preferences::CommandHistory());
    m_edit.setCurrentIndex(-1);
}

void CommandLineHistory::Add(const QString &command)
{
    // What is stored now, not this window's list: another window may have
    // written since.
    const QStringList history = CommandHistoryAdd(Preferences::CommandHistory(), command,
                                                  Preferences::CommandHistoryLimit);
    Preferences::SetCommandHistory(history);
    m_edit.clear();
    m_edit.addItems(history);
    m_edit.setCurrentIndex(-1);
}

QStringList CommandLineHistory::entries() const
{
    QStringList commands;
    commands.reserve(m_edit.count());
    for (int i = 0; i < m_edit.count(); ++i)
        commands << m_edit.itemText(i);
    return commands;
}

void CommandLineHistory::Search()
{
    if (!m_searching) {
        m_searching = true;
        m_searchText.clear();
        if (m_edit.currentIndex() < 0)
            m_draft = m_edit.currentText();
        searchFrom(0);
    } else {
        // Again: the next older entry that holds the same text.
        searchFrom(m_searchMatch + 1);
    }
}

void CommandLineHistory::searchFrom(int from)
{
    const int found = CommandHistorySearch(entries(), m_searchText, from);
    // A search that finds nothing keeps the last match, as a shell does.
    if (found >= 0) {
        m_searchMatch = found;
        m_edit.setCurrentIndex(found);
        m_edit.lineEdit()->end(false);
    }
    const QString text = (found >= 0 || m_searchText.isEmpty() ? QStringLiteral("(reverse-i-search)")
                                                               : QStringLiteral("(failed reverse-i-search)"))
                         + QStringLiteral("`") + m_searchText + QStringLiteral("':");
    m_searchLabel.setText(text);
    m_searchLabel.setAccessibleName(text);
    m_searchLabel.setVisible(true);
}

bool CommandLineHistory::SearchKey(QKeyEvent *key)
{
    // Ctrl or Shift pressed on its way to Ctrl+R or a capital is no key of
    // its own: the search goes on.
    switch (key->key()) {
    case Qt::Key_Control:
    case Qt::Key_Shift:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_CapsLock:
        return false;
    default:
        break;
    }
    const bool commandKey =
        key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (key->key() == Qt::Key_Backspace) {
        m_searchText.chop(1);
        searchFrom(0);
        return true;
    }
    if (key->key() == Qt::Key_G && key->modifiers() == Qt::ControlModifier) {
        // Given up: the line being typed comes back.
        EndSearch();
        m_edit.setCurrentIndex(-1);
        m_edit.setEditText(m_draft);
        return true;
    }
    if (key->key() == Qt::Key_Escape) {
        // The match stays in the line to be edited or sent.
        EndSearch();
        return true;
    }
    const QString typed = key->text();
    if (!commandKey && !typed.isEmpty() && typed.at(0).isPrint()) {
        m_searchText += typed;
        searchFrom(std::max(m_searchMatch, 0));
        return true;
    }
    // Any other key ends the search with the match in the line and then does
    // what it always does (Enter sends it, Up and Down walk on from it).
    EndSearch();
    return false;
}

void CommandLineHistory::EndSearch()
{
    m_searching = false;
    m_searchMatch = -1;
    m_searchLabel.setVisible(false);
}

void CommandLineHistory::Recall(bool older)
{
    const int current = m_edit.currentIndex();
    const int next = CommandHistoryStep(current, m_edit.count(), older);
    if (next == current)
        return;
    // What was being typed comes back after the newest command.
    if (current < 0)
        m_draft = m_edit.currentText();
    m_edit.setCurrentIndex(next);
    if (next < 0)
        m_edit.setEditText(m_draft);
    m_edit.lineEdit()->end(false);
}
