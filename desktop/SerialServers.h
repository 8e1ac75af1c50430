#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

// Tools - Serial Servers...: the COM numbers that stand for ports on serial
// servers (RFC 2217), listed, added and removed. The numbers live in the
// ports folder like every other; the port list shows them once the dialog
// is closed.
class TSerialServersForm : public QDialog {
    Q_OBJECT
public:
    explicit TSerialServersForm(QWidget *parent = nullptr);
    // Reads the ports folder again.
    void Refresh();

private:
    void AddClicked();
    void RemoveClicked();
    void say(const QString &text);

    QTableWidget *m_table;
    QSpinBox *m_numberSpin;
    QLineEdit *m_hostEdit;
    QSpinBox *m_portSpin;
    QPushButton *m_addButton;
    QPushButton *m_removeButton;
    QLabel *m_statusLabel;
};
