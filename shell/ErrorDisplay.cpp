#include "shell/ErrorDisplay.h"

#include "links/SerialPortError.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

void ShowMessage(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, MessageCaption(), text, QMessageBox::Ok);
}

void ShowMessage(QWidget *parent, const QString &text, const QString &caption)
{
    QMessageBox::information(parent, caption.isEmpty() ? MessageCaption() : caption, text,
                             QMessageBox::Ok);
}

void ShowNotice(QWidget *parent, const QString &text)
{
    // Over the window the user acted in, which need not be the parent.
    QWidget *over = QApplication::activeWindow() ? QApplication::activeWindow() : parent;
    static QPointer<QMessageBox> shown;
    if (shown && shown->isVisible()) {
        shown->setText(text);
        shown->raise();
        return;
    }
    delete shown;
    auto *box = new QMessageBox(QMessageBox::Information, MessageCaption(), text, QMessageBox::Ok, over);
    box->setObjectName(QStringLiteral("BusyNotice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    shown = box;
    box->show();
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
