#include "tests/desktop/DialogAnswerers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>

ModalAnswerer::ModalAnswerer(int button)
    : m_text(std::make_shared<QString>()), m_all(std::make_shared<QStringList>()),
      m_icons(std::make_shared<QList<int>>()), m_stop(std::make_shared<bool>(false))
{
    auto text = m_text;
    auto all = m_all;
    auto icons = m_icons;
    auto stop = m_stop;
    // A timer keeps looking for the modal box while the code under test runs
    // its own event loop (QMessageBox::exec).
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, text, all, icons, stop, button] {
        if (*stop) {
            timer->deleteLater();
            return;
        }
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            *text = box->text();
            all->append(box->text());
            icons->append(int(box->icon()));
            QAbstractButton *b = box->button(QMessageBox::StandardButton(button));
            if (!b)
                b = box->buttons().value(0);
            if (b)
                b->click();
        }
    });
    timer->start();
}

ModalAnswerer::~ModalAnswerer()
{
    *m_stop = true;
}

InputAnswerer::InputAnswerer(const QString &text) : m_seen(std::make_shared<Seen>())
{
    auto seen = m_seen;
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, seen, text] {
        if (seen->stop) {
            timer->deleteLater();
            return;
        }
        auto *box = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->seen = true;
        seen->proposed = box->textValue();
        seen->title = box->windowTitle();
        seen->label = box->labelText();
        if (text.isNull()) {
            box->reject();
        } else {
            box->setTextValue(text);
            box->accept();
        }
    });
    timer->start();
}

InputAnswerer::~InputAnswerer()
{
    m_seen->stop = true;
}
