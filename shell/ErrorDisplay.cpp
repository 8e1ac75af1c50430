#include "shell/ErrorDisplay.h"

#include "links/SerialPortError.h"

#include <QApplication>
#include <QMessageBox>

void ShowMessage(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, MessageCaption(), text, QMessageBox::Ok);
}

void ShowMessage(QWidget *parent, const QString &text, const QString &caption)
{
    QMessageBox::information(parent, caption.isEmpty() ? MessageCaption() : caption, text,
                             QMessageBox::Ok);
}

bool AskYesNo(QWidget *parent, const QString &text)
{
    return QMessageBox::question(parent, MessageCaption(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No)
           == QMessageBox::Yes;
}

void ShowErrorMessage(const QString &message)
{
    QMessageBox::critical(QApplication::activeWindow(), MessageCaption(), message, QMessageBox::Ok);
}

void ShowException(const std::exception &error)
{
    if (const auto *port = dynamic_cast<const SerialPortError *>(&error))
        ShowErrorMessage(port->message());
    else
        ShowErrorMessage(QString::fromLocal8Bit(error.what()));
}
