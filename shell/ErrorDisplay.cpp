#include "shell/ErrorDisplay.h"

#include "links/SerialPortError.h"

#include <QApplication>
#include <QMessageBox>

void ShowErrorMessage(const QString &message)
{
    QMessageBox::critical(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(),
                          message, QMessageBox::Ok);
}

void ShowException(const std::exception &error)
{
    if (const auto *port = dynamic_cast<const SerialPortError *>(&error))
        ShowErrorMessage(port->message());
    else
        ShowErrorMessage(QString::fromLocal8Bit(error.what()));
}
