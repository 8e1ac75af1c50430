#include "desktop/ErrorDisplay.h"

#include "core/links/SerialPortError.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QSpacerItem>

namespace {

int showBox(QMessageBox::Icon icon, QWidget *parent, const QString &caption, const QString &text,
            QMessageBox::StandardButtons buttons, QMessageBox::StandardButton byDefault)
{
    QMessageBox box(icon, caption.isEmpty() ? MessageCaption() : caption, text, buttons, parent);
    box.setDefaultButton(byDefault);
    PrepareMessageBox(box);
    return box.exec();
}

} // namespace

int TitleBarRoom(const QString &caption)
{
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const QFontMetrics metrics(font);
    // Window managers put an icon or menu on one side and up to three
    // buttons on the other, each about a line high with some spacing.
    return metrics.horizontalAdvance(caption) + 6 * metrics.height();
}

void PrepareMessageBox(QMessageBox &box)
{
    // Yes and No come with their keys already; OK does not.
    if (QAbstractButton *ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("&OK"));
    // The box sizes itself to its text when it shows; a spacer as wide as the
    // title needs keeps it from getting narrower than that.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        grid->addItem(new QSpacerItem(TitleBarRoom(box.windowTitle()), 0, QSizePolicy::Minimum,
                                      QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
}

void ShowMessage(QWidget *parent, const QString &text)
{
    showBox(QMessageBox::Information, parent, MessageCaption(), text, QMessageBox::Ok,
            QMessageBox::Ok);
}

void ShowMessage(QWidget *parent, const QString &text, const QString &caption)
{
    showBox(QMessageBox::Information, parent, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

void ShowError(QWidget *parent, const QString &text, const QString &caption)
{
    showBox(QMessageBox::Critical, parent, caption, text, QMessageBox::Ok, QMessageBox::Ok);
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
    PrepareMessageBox(*box);
    shown = box;
    box->show();
}

bool AskYesNo(QWidget *parent, const QString &text)
{
    return showBox(QMessageBox::Question, parent, MessageCaption(), text,
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

void ShowErrorMessage(const QString &message)
{
    ShowError(QApplication::activeWindow(), message);
}

void ShowException(const std::exception &error)
{
    if (const auto *port = dynamic_cast<const SerialPortError *>(&error))
        ShowErrorMessage(port->message());
    else
        ShowErrorMessage(QString::fromLocal8Bit(error.what()));
}
