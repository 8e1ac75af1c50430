#pragma once

#include <QObject>
#include <QSet>

#include <functional>

class QKeyEvent;
class QWidget;

// Lets a window see every key before the control with the focus, once per
// physical key, the way all of the tool's windows take their keys.
//
// A key press is delivered to the focused control and then travels up to its
// parents; the preview takes it at its first delivery. A press the handler
// takes goes no further, so it cannot come back to the window a second time,
// not even after a modal prompt that the key itself opened (keys typed into
// the prompt belong to the prompt's window and do not disturb this one).
// A press the handler leaves travels on to the controls as usual.
//
// Releases reach the release handler only for presses made in this window:
// a key pressed in another window (a message box closed by Escape, say) and
// released over this one is not taken for a key of this window.
class KeyPreview : public QObject {
    Q_OBJECT
public:
    // `target` is the control the key was delivered to first (the window
    // itself when no control has the focus). Returns true when the key is
    // taken: it then reaches no control.
    using Handler = std::function<bool(QKeyEvent *key, QWidget *target)>;

    KeyPreview(QWidget *window, Handler onPress, Handler onRelease = {});
    ~KeyPreview() override;

    // Keys pressed in the window and not released yet.
    bool IsDown(int key) const { return m_down.contains(key); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Delivery {
        const QEvent *event = nullptr;
        int key = 0;
        quint64 time = 0;
        bool operator==(const Delivery &) const = default;
    };

    QWidget *m_window;
    Handler m_onPress;
    Handler m_onRelease;
    // The key event being delivered: its deliveries to the parents of the
    // first receiver are the same key, not a new one.
    Delivery m_current;
    QSet<int> m_down;
};
