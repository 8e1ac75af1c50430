#include "desktop/fields/AcIPEdit.h"

#include "core/links/IpAddress.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>

namespace {

// The first octet in the lowest byte, as the socket functions hold an address.
quint32 LongOf(quint32 value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

} // namespace

TacOctetBox::TacOctetBox(QWidget *parent) : QLineEdit(parent)
{
    m_goodText = QStringLiteral("0");
    setText(m_goodText);
    m_goodCursor = cursorPosition();
    setAlignment(Qt::AlignCenter);
    connect(this, &QLineEdit::textEdited, this, &TacOctetBox::Edited);
    connect(this, &QLineEdit::cursorPositionChanged, this, &TacOctetBox::CursorMoved);
}

void TacOctetBox::ShowOctet(int value)
{
    m_goodText = QString::number(value);
    setText(m_goodText);
    m_goodCursor = cursorPosition();
}

void TacOctetBox::keyPressEvent(QKeyEvent *event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && !hasSelectedText()) {
        if (event->key() == Qt::Key_Left && cursorPosition() == 0) {
            Q_EMIT LeaveLeft();
            event->accept();
            return;
        }
        if (event->key() == Qt::Key_Right && cursorPosition() == text().size()) {
            Q_EMIT LeaveRight();
            event->accept();
            return;
        }
    }
    const QString typed = event->text();
    // Some layouts need Shift for '.'; Ctrl, Alt and Meta make it a shortcut.
    const bool commandKey =
        event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (typed == QLatin1String(".") && !commandKey) {
        // The last box has no next one: there '.' is refused like any other
        // character.
        Q_EMIT NextOctet();
        event->accept();
        return;
    }
    if (!typed.isEmpty() && typed.at(0).isPrint() && !typed.at(0).isDigit()) {
        event->accept(); // refused
        return;
    }
    m_deleting = event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete
                 || event->matches(QKeySequence::Cut)
                 || event->matches(QKeySequence::DeleteStartOfWord)
                 || event->matches(QKeySequence::DeleteEndOfWord)
                 || event->matches(QKeySequence::DeleteEndOfLine)
                 || event->matches(QKeySequence::DeleteCompleteLine);
    QLineEdit::keyPressEvent(event);
    m_deleting = false;
}

void TacOctetBox::CursorMoved(int, int newPos)
{
    // Only a caret move within the accepted text is a caret to go back to.
    if (text() == m_goodText)
        m_goodCursor = newPos;
}

void TacOctetBox::Edited(const QString &edited)
{
    // Pasted or dropped text arrives here without passing the key check.
    bool digitsOnly = true;
    for (QChar c : edited)
        digitsOnly = digitsOnly && c >= u'0' && c <= u'9';
    bool ok = true;
    const int value = edited.isEmpty() ? 0 : edited.toInt(&ok);
    if (!digitsOnly || !ok || value > 255) {
        setText(m_goodText);
        setCursorPosition(m_goodCursor);
        return;
    }
    if (!m_deleting && edited.size() > 1 && edited.at(0) == u'0') {
        const QString stripped = QString::number(value);
        const int cursor = qMax(0, cursorPosition() - int(edited.size() - stripped.size()));
        setText(stripped);
        setCursorPosition(cursor);
    }
    m_goodText = text();
    m_goodCursor = cursorPosition();
    Q_EMIT OctetEdited();
}

TacIPEdit::TacIPEdit(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        auto *box = new TacOctetBox(this);
        box->setObjectName(QStringLiteral("Octet%1").arg(i + 1));
        box->setAccessibleName(QStringLiteral("Octet %1").arg(i + 1));
        box->setMaximumWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12);
        layout->addWidget(box);
        m_boxes[size_t(i)] = box;
        connect(box, &TacOctetBox::OctetEdited, this, &TacIPEdit::BoxEdited);
    }
    for (size_t i = 1; i < 4; ++i) {
        TacOctetBox *previous = m_boxes[i - 1];
        connect(m_boxes[i], &TacOctetBox::LeaveLeft, previous, [previous] {
            previous->setFocus(Qt::OtherFocusReason);
            previous->setCursorPosition(int(previous->text().size()));
        });
    }
    for (size_t i = 0; i < 3; ++i) {
        TacOctetBox *next = m_boxes[i + 1];
        connect(m_boxes[i], &TacOctetBox::LeaveRight, next, [next] {
            next->setFocus(Qt::OtherFocusReason);
            next->setCursorPosition(0);
        });
        connect(m_boxes[i], &TacOctetBox::NextOctet, next, [next] {
            next->setFocus(Qt::OtherFocusReason);
            next->selectAll();
        });
    }
    setFocusProxy(m_boxes[0]);
}

void TacIPEdit::SetText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    // No address: the field looks as when new, and its text stays empty so
    // that an empty record field is never written back as 255.255.255.255.
    const quint32 value = text.isEmpty() ? 0 : ParseIpAddressOrAllOnes(text.toLatin1());
    if (LongOf(value) == IPLong)
        return;
    SetOctets(value);
    if (!text.isEmpty())
        RebuildText();
    Q_EMIT OnChange();
}

void TacIPEdit::SetOctets(quint32 value)
{
    IP1 = quint8(value >> 24);
    IP2 = quint8(value >> 16);
    IP3 = quint8(value >> 8);
    IP4 = quint8(value);
    IPLong = LongOf(value);
    const quint8 octets[4] = {IP1, IP2, IP3, IP4};
    for (size_t i = 0; i < 4; ++i)
        m_boxes[i]->ShowOctet(octets[i]);
}

void TacIPEdit::RebuildText()
{
    m_text = QStringLiteral("%1.%2.%3.%4").arg(IP1).arg(IP2).arg(IP3).arg(IP4);
}

void TacIPEdit::BoxEdited()
{
    IP1 = quint8(m_boxes[0]->Octet());
    IP2 = quint8(m_boxes[1]->Octet());
    IP3 = quint8(m_boxes[2]->Octet());
    IP4 = quint8(m_boxes[3]->Octet());
    IPLong = LongOf(quint32(IP1) << 24 | quint32(IP2) << 16 | quint32(IP3) << 8 | IP4);
    RebuildText();
    Q_EMIT OnChange();
}
