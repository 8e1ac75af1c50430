#include "desktop/KeyPreview.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

KeyPreview::KeyPreview(QWidget *window, Handler onPress, Handler onRelease)
    : QObject(window), m_window(window), m_onPress(std::move(onPress)),
      m_onRelease(std::move(onRelease))
{
    // On the application, not the window: a key reaches the focused control
    // before any filter on its window would see it.
    qApp->installEventFilter(this);
}

KeyPreview::~KeyPreview()
{
    qApp->removeEventFilter(this);
}

bool KeyPreview::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !watched->isWidgetType())
        return false;
    auto *widget = static_cast<QWidget *>(watched);
    auto *key = static_cast<QKeyEvent *>(event);
    const bool press = type == QEvent::KeyPress;

    // A key's press is over once any key is released: the next press may
    // come in an event at the same address with the same key and time.
    if (!press)
        m_current = {};
    if (widget->window() != m_window) {
        // The key went down elsewhere: its release here is not ours.
        if (press)
            m_down.remove(key->key());
        return false;
    }

    if (press) {
        const Delivery delivery {event, key->key(), key->timestamp()};
        if (delivery == m_current)
            return false; // the same key on its way up to the parents
        m_current = delivery;
        if (!key->isAutoRepeat())
            m_down.insert(key->key());
        return m_onPress && m_onPress(key, widget);
    }
    // An auto-repeated release is half of a repeated press, not the end of
    // the key: the handler sees it and decides.
    if (!key->isAutoRepeat() && !m_down.remove(key->key()))
        return false;
    return m_onRelease && m_onRelease(key, widget);
}
