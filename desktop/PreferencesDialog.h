#pragma once

#include "core/HighlightRules.h"

#include <QDialog>

class QTableWidget;

// Edit - Preferences: the user's own settings of the terminal. Its
// "Highlighting" page holds the highlight rules, a pattern (a regular
// expression) and a colour each, first match first.
class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreferencesDialog(QWidget *parent = nullptr);

    void SetRules(const QList<HighlightRules::Rule> &rules);
    QList<HighlightRules::Rule> Rules() const;
    QTableWidget *RuleTable() const { return m_table; }

    // Refuses to close with a pattern that is no regular expression, and
    // says which.
    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addRow(const HighlightRules::Rule &rule);

    QTableWidget *m_table;
};
