#pragma once

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QList>
#include <QPointer>

class CommandPort;
class QLineEdit;
class QPushButton;
class TAbNumEdit;

// The service console: buttons that send diagnostic commands, a free command
// line and the serial number programming. It shows no answers of its own; the
// device's answers arrive in the main window's terminal. Created hidden at
// start-up and kept for the whole run; shown without blocking the main window.
class TAdvancedForm : public QDialog {
    Q_OBJECT
public:
    explicit TAdvancedForm(CommandPort &port, QWidget *parent = nullptr);
    ~TAdvancedForm() override;

    // One write to the link carries at most 1023 bytes; a command line longer
    // than this would lose its line feed and run into the next command.
    static constexpr int CommandLineCapacity = 1022;

    // Every button except Close: opens the link when needed and sends the
    // sender's command line(s). `sender` is one of this window's buttons.
    void CommandButtonClick(QObject *sender);
    // A character typed anywhere in the window; Enter (13) sends the command
    // line whichever control has the focus.
    void KeyPressed(int key);
    void CloseButtonClick();

    // Asked before a serial number is programmed.
    static QString SerialNumberQuestion(const QString &serial);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QPushButton *addButton(QWidget *group, const char *name, const char *caption,
                           QList<QByteArray> commands);

    CommandPort &m_port;
    QHash<QObject *, QList<QByteArray>> m_commands;
    TAbNumEdit *m_serialEdit = nullptr;
    QPushButton *m_programButton = nullptr;
    QLineEdit *m_commandLine = nullptr;
    QPushButton *m_sendButton = nullptr;
};
