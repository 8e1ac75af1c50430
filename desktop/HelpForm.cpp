#include "desktop/HelpForm.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

THelpForm::THelpForm(QWidget *parent) : QDialog(parent), m_browser(new QTextBrowser(this))
{
    setObjectName(QStringLiteral("HelpForm"));
    setWindowTitle(QStringLiteral("Mirto Terminal Help"));
    m_browser->setObjectName(QStringLiteral("HelpBrowser"));
    m_browser->setOpenExternalLinks(false);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    close->setText(QStringLiteral("&Close"));
    close->setAccessibleName(QStringLiteral("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_browser);
    layout->addWidget(buttons);
    resize(640, 560);
}

QString THelpForm::ResolveHelpFile(const QString &preferred)
{
    if (QFileInfo::exists(preferred))
        return preferred;
    const QString nextToBinary = QCoreApplication::applicationDirPath()
                                 + QStringLiteral("/../share/mirto-terminal/MirtoHelp.hlp");
    for (const QString &candidate :
         {QStringLiteral(MIRTO_DATADIR "/MirtoHelp.hlp"), nextToBinary}) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return QStringLiteral(":/MirtoHelp.hlp");
}

void THelpForm::ShowHelp(const QString &preferred)
{
    QFile file(ResolveHelpFile(preferred));
    const QString html = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll())
                                                        : QString();
    m_browser->setHtml(html);
    m_browser->moveCursor(QTextCursor::Start);
    m_browser->ensureCursorVisible();
    show();
    raise();
    activateWindow();
}
