#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TerminalView;

// The find bar under the terminal: a pattern, next and previous, match case
// and regular expression, and how many matches there are. Open while it is
// shown; Escape closes it and gives the terminal its focus back. Enter goes
// to the next match, Shift+Enter to the previous one.
class FindBar : public QWidget {
    Q_OBJECT
public:
    explicit FindBar(TerminalView *view, QWidget *parent = nullptr);

    // Shows the bar with its pattern selected, ready for typing.
    void Open();
    void Close();
    // Open the bar first when it is closed.
    void Next();
    void Previous();

    QLineEdit *Edit() const { return m_edit; }
    QString CountText() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void search();
    void found();
    void showCount();

    TerminalView *m_view;
    QLineEdit *m_edit;
    QCheckBox *m_matchCase;
    QCheckBox *m_regex;
    QLabel *m_count;
    QString m_error;
    // A new pattern's first match from where the user reads is still to be
    // made current: once the search is done.
    bool m_pickFirst = false;
};
