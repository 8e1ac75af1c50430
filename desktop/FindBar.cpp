#include "desktop/FindBar.h"

#include "desktop/TerminalView.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

FindBar::FindBar(TerminalView *view, QWidget *parent) : QWidget(parent), m_view(view)
{
    setObjectName(QStringLiteral("FindBar"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto *label = new QLabel(QStringLiteral("Fi&nd:"), this);
    row->addWidget(label);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("FindEdit"));
    m_edit->setAccessibleName(QStringLiteral("Find in terminal"));
    m_edit->setClearButtonEnabled(true);
    label->setBuddy(m_edit);
    m_edit->installEventFilter(this);
    row->addWidget(m_edit, 1);

    // Tool buttons: never a default button that Enter would press.
    const auto addButton = [this, row](const char *name, const QString &text, const QString &tip,
                                       QStyle::StandardPixmap icon, void (FindBar::*slot)()) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setIcon(style()->standardIcon(icon));
        button->setText(text);
        button->setToolTip(tip);
        button->setAccessibleName(text);
        button->setAutoRaise(true);
        connect(button, &QToolButton::clicked, this, slot);
        row->addWidget(button);
        return button;
    };
    addButton("FindPreviousButton", QStringLiteral("Previous"),
              QStringLiteral("Previous match (Shift+F3)"), QStyle::SP_ArrowUp, &FindBar::Previous);
    addButton("FindNextButton", QStringLiteral("Next"), QStringLiteral("Next match (F3)"),
              QStyle::SP_ArrowDown, &FindBar::Next);
    m_matchCase = new QCheckBox(QStringLiteral("Match &case"), this);
    m_matchCase->setObjectName(QStringLiteral("FindMatchCase"));
    row->addWidget(m_matchCase);
    m_regex = new QCheckBox(QStringLiteral("Re&gular expression"), this);
    m_regex->setObjectName(QStringLiteral("FindRegularExpression"));
    row->addWidget(m_regex);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("FindCount"));
    m_count->setAccessibleName(QStringLiteral("Matches"));
    m_count->setMinimumWidth(m_count->fontMetrics().horizontalAdvance(QStringLiteral("100,000 of 100,000")));
    row->addWidget(m_count);
    addButton("FindCloseButton", QStringLiteral("Close"), QStringLiteral("Close the find bar (Escape)"),
              QStyle::SP_DialogCloseButton, &FindBar::Close);

    connect(m_edit, &QLineEdit::textChanged, this, &FindBar::search);
    connect(m_matchCase, &QCheckBox::toggled, this, &FindBar::search);
    connect(m_regex, &QCheckBox::toggled, this, &FindBar::search);
    connect(m_view, &TerminalView::FindChanged, this, &FindBar::found);
    setVisible(false);
}

void FindBar::Open()
{
    const bool wasOpen = isVisible();
    setVisible(true);
    // The terminal keeps its designed size: a window too small for the bar
    // grows by it.
    if (QWidget *host = parentWidget()) {
        host->layout()->activate();
        const int need = host->minimumSizeHint().height() - host->height();
        if (need > 0)
            window()->resize(window()->width(), window()->height() + need);
    }
    m_view->SetFindActive(true);
    if (!wasOpen)
        search();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
}

void FindBar::Close()
{
    if (!isVisible())
        return;
    const bool hadFocus = isAncestorOf(QApplication::focusWidget());
    setVisible(false);
    m_view->SetFindActive(false);
    if (hadFocus)
        m_view->setFocus(Qt::OtherFocusReason);
}

void FindBar::Next()
{
    if (!isVisible())
        Open();
    if (m_error.isEmpty())
        m_view->FindNext();
}

void FindBar::Previous()
{
    if (!isVisible())
        Open();
    if (m_error.isEmpty())
        m_view->FindPrevious();
}

void FindBar::search()
{
    if (!isVisible())
        return;
    m_error.clear();
    m_pickFirst = false;
    if (!m_view->SetFindPattern(m_edit->text(), m_matchCase->isChecked(), m_regex->isChecked()))
        m_error = m_view->Find().Error();
    else
        m_pickFirst = true;
    found();
}

void FindBar::found()
{
    // As the pattern is typed, the first match from where the user reads on
    // is made current and brought into view, once every line was searched.
    const TerminalFind &find = m_view->Find();
    if (m_pickFirst && find.Done()) {
        m_pickFirst = false;
        if (find.Count() > 0 && find.Current() < 0)
            m_view->FindNext(); // emits FindChanged again
    }
    showCount();
}

QString FindBar::CountText() const
{
    const TerminalFind &find = m_view->Find();
    if (!m_error.isEmpty())
        return QStringLiteral("Not a regular expression: %1").arg(m_error);
    if (find.Pattern().isEmpty())
        return {};
    if (!find.Done())
        return QStringLiteral("Searching: %L1 so far").arg(find.Count());
    if (find.Count() == 0 && find.MatchesEmpty())
        return QStringLiteral("No matches: the pattern matches only empty text");
    if (find.Count() == 0)
        return QStringLiteral("No matches");
    if (find.Full() && find.Current() < 0)
        return QStringLiteral("More than %L1 matches: the first %L1 are marked").arg(find.Count());
    if (find.Full())
        return QStringLiteral("%L1 of more than %L2").arg(find.Current() + 1).arg(find.Count());
    if (find.Current() < 0)
        return QStringLiteral("%L1 matches").arg(find.Count());
    return QStringLiteral("%L1 of %L2").arg(find.Current() + 1).arg(find.Count());
}

void FindBar::showCount()
{
    const QString text = CountText();
    m_count->setText(text);
    m_count->setAccessibleName(text.isEmpty() ? QStringLiteral("Matches") : text);
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                Previous();
            else
                Next();
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            Close();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
