#pragma once

#include <QStringList>

class QComboBox;
class QKeyEvent;
class QLabel;

// The direct command line's history: the commands sent, newest first, kept
// across sessions; Up and Down walking them; and Ctrl+R searching them
// backwards while the user types, as a shell does, with the search shown in
// `searchLabel`. The window owns it and routes the keys to it.
class CommandLineHistory {
public:
    CommandLineHistory(QComboBox &edit, QLabel &searchLabel);

    // The commands of earlier sessions come back, newest first.
    void Restore();
    // A command sent: the newest entry, kept for the next session. The
    // commands other windows sent meanwhile come into the list with it; an
    // empty command is not kept.
    void Add(const QString &command);
    // Up (`older`) and Down: shows the next older or newer command.
    void Recall(bool older);

    // Ctrl+R: starts a search, or while one runs, goes on to the next older
    // entry that holds the same text.
    void Search();
    bool Searching() const { return m_searching; }
    // A key while searching; true when the search took it.
    bool SearchKey(QKeyEvent *key);
    void EndSearch();

private:
    void searchFrom(int from);
    // The commands in the line's list, newest first.
    QStringList entries() const;

    QComboBox &m_edit;
    QLabel &m_searchLabel;
    // The line being typed while Up and Down show the history.
    QString m_draft;
    bool m_searching = false;
    QString m_searchText;
    int m_searchMatch = -1;
};
