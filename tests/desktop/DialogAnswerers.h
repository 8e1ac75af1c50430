#pragma once

// Answer the tool's own modal boxes from the test, while the code under test
// runs the box's event loop.

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// Answers the next modal message box: when it shows, checks nothing itself but
// records its text and presses `button` (a QMessageBox::StandardButton).
// Call before the action that opens the box; read text() afterwards.
class ModalAnswerer {
public:
    explicit ModalAnswerer(int button = 0x00000400 /* QMessageBox::Ok */);
    ~ModalAnswerer();
    QString text() const { return *m_text; }
    bool seen() const { return !m_text->isNull(); }
    QStringList allTexts() const { return *m_all; }
    // The icon of each box answered (QMessageBox::Icon), in order.
    QList<int> allIcons() const { return *m_icons; }

private:
    std::shared_ptr<QString> m_text;
    std::shared_ptr<QStringList> m_all;
    std::shared_ptr<QList<int>> m_icons;
    std::shared_ptr<bool> m_stop;
};

// Answers the next input box: records what it proposed, then types `text`
// and presses OK, or cancels when `text` is null.
class InputAnswerer {
public:
    explicit InputAnswerer(const QString &text);
    ~InputAnswerer();
    QString proposed() const { return m_seen->proposed; }
    QString title() const { return m_seen->title; }
    QString label() const { return m_seen->label; }
    bool seen() const { return m_seen->seen; }

private:
    struct Seen {
        bool seen = false;
        bool stop = false;
        QString proposed, title, label;
    };
    std::shared_ptr<Seen> m_seen;
};
