#pragma once

#include <QLineEdit>
#include <QString>
#include <QWidget>

#include <array>

// One octet box of an address field: decimal digits only, at most 255; '.'
// goes on to the next box, so that an address can be typed as it is written.
class TacOctetBox : public QLineEdit {
    Q_OBJECT
public:
    explicit TacOctetBox(QWidget *parent = nullptr);
    // The box's value; an empty box counts as 0.
    int Octet() const { return text().toInt(); }
    // Shows `value` from the program.
    void ShowOctet(int value);

Q_SIGNALS:
    // The user changed the box (a refused change raises nothing).
    void OctetEdited();
    // Left at the start, Right at the end: the neighbouring box takes over.
    void LeaveLeft();
    void LeaveRight();
    // '.' typed: the next box takes the following digits, replacing its own.
    void NextOctet();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void Edited(const QString &text);
    void CursorMoved(int oldPos, int newPos);

    QString m_goodText;
    int m_goodCursor = 0;
    bool m_deleting = false;
};

// An IPv4 address in four octet boxes. Text() is what the configure dialog
// stores and sends. An empty text stands for "no address": the field then
// shows 0 in every box, as a new field does, and Text() stays empty until
// the user changes a box.
class TacIPEdit : public QWidget {
    Q_OBJECT
public:
    explicit TacIPEdit(QWidget *parent = nullptr);

    QString Text() const { return m_text; }
    // Same text: nothing. A text with the current value: kept as given,
    // nothing raised. Otherwise the octets and boxes follow the parsed value,
    // the text is rebuilt and OnChange is raised once. A text that is no
    // address reads as 255.255.255.255.
    void SetText(const QString &text);

    quint8 IP1 = 0;
    quint8 IP2 = 0;
    quint8 IP3 = 0;
    quint8 IP4 = 0;
    // The address as one value with IP1 in its lowest byte.
    quint32 IPLong = 0;

    TacOctetBox *Box(int index) const { return m_boxes.at(size_t(index)); }

Q_SIGNALS:
    void OnChange();

private:
    void BoxEdited();
    void SetOctets(quint32 value);
    void RebuildText();

    std::array<TacOctetBox *, 4> m_boxes {};
    QString m_text;
};
