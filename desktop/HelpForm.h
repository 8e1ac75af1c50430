#pragma once

#include <QDialog>

class QTextBrowser;

// The tool's own help viewer: shows the help file's rich text at its first page.
class THelpForm : public QDialog {
    Q_OBJECT
public:
    explicit THelpForm(QWidget *parent = nullptr);
    // Opens `preferred` when it exists, else the copy installed with the tool.
    void ShowHelp(const QString &preferred);
    static QString ResolveHelpFile(const QString &preferred);

private:
    QTextBrowser *m_browser;
};
