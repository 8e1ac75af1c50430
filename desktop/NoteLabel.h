#pragma once

#include <QLabel>

// A note of the status bar: a framed label that asks for room for its whole
// text but gets by with less, losing the middle of the text (a path keeps
// its folder's start and its file name); then the whole text is its hint,
// ahead of the hint it was given.
class NoteLabel : public QLabel {
public:
    explicit NoteLabel(QWidget *parent = nullptr);

    // An empty text hides the note.
    void SetNote(const QString &text, const QString &hint = QString());
    QString Note() const { return m_text; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void fit();

    QString m_text;
    QString m_hint;
};
