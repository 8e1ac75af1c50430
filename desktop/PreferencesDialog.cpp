#include "desktop/PreferencesDialog.h"

#include "desktop/ErrorDisplay.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

PreferencesDialog::PreferencesDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("PreferencesDialog"));
    setWindowTitle(QStringLiteral("Preferences"));
    setAccessibleName(QStringLiteral("Preferences"));
    auto *layout = new QVBoxLayout(this);
    auto *tabs = new QTabWidget(this);
    layout->addWidget(tabs);

    auto *page = new QWidget(tabs);
    page->setObjectName(QStringLiteral("HighlightPage"));
    auto *pageLayout = new QVBoxLayout(page);
    auto *intro = new QLabel(
        QStringLiteral("Lines that a pattern (a regular expression) matches are shown in its "
                       "colour; the first rule that matches counts."),
        page);
    intro->setWordWrap(true);
    pageLayout->addWidget(intro);
    m_table = new QTableWidget(0, 2, page);
    m_table->setObjectName(QStringLiteral("HighlightRuleTable"));
    m_table->setAccessibleName(QStringLiteral("Highlight rules"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Pattern"), QStringLiteral("Colour")});
    m_table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_table->verticalHeader()->setVisible(false);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    pageLayout->addWidget(m_table, 1);

    auto *buttons = new QHBoxLayout;
    const auto addButton = [this, buttons, page](const char *name, const QString &text) {
        auto *button = new QPushButton(text, page);
        button->setObjectName(QLatin1String(name));
        // Enter in the table belongs to the dialog's OK, not to these.
        button->setAutoDefault(false);
        buttons->addWidget(button);
        return button;
    };
    connect(addButton("AddRuleButton", QStringLiteral("&Add Rule")), &QPushButton::clicked, this,
            [this] {
                addRow({QString(), QStringLiteral("Red")});
                m_table->setCurrentCell(m_table->rowCount() - 1, 0);
                m_table->editItem(m_table->item(m_table->rowCount() - 1, 0));
            });
    connect(addButton("RemoveRuleButton", QStringLiteral("&Remove Rule")), &QPushButton::clicked,
            this, [this] {
                if (m_table->currentRow() >= 0)
                    m_table->removeRow(m_table->currentRow());
            });
    connect(addButton("DefaultRulesButton", QStringLiteral("Restore &Defaults")),
            &QPushButton::clicked, this, [this] { SetRules(HighlightRules::Defaults()); });
    buttons->addStretch();
    pageLayout->addLayout(buttons);
    tabs->addTab(page, QStringLiteral("&Highlighting"));

    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    // Alt+O is OK, whatever the platform's button texts; a colour list that
    // has the focus must not take it as a letter to look for ("Orange").
    box->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&OK"));
    box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("OkButton"));
    box->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancel"));
    box->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("CancelButton"));
    connect(box, &QDialogButtonBox::accepted, this, &PreferencesDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &PreferencesDialog::reject);
    layout->addWidget(box);
    resize(520, 360);
}

void PreferencesDialog::addRow(const HighlightRules::Rule &rule)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    m_table->setItem(row, 0, new QTableWidgetItem(rule.pattern));
    auto *colors = new QComboBox(m_table);
    colors->setAccessibleName(QStringLiteral("Colour"));
    colors->installEventFilter(this);
    colors->addItems(HighlightRules::ColorNames());
    colors->setCurrentIndex(std::max<qsizetype>(0, HighlightRules::ColorNames().indexOf(rule.color)));
    m_table->setCellWidget(row, 1, colors);
}

bool PreferencesDialog::eventFilter(QObject *watched, QEvent *event)
{
    // A letter with Alt belongs to the dialog's buttons, which had their
    // chance before the key reached the list: the list must not pick a
    // colour by it.
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->modifiers() & Qt::AltModifier) && key->key() >= Qt::Key_0
            && key->key() <= Qt::Key_Z)
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

void PreferencesDialog::SetRules(const QList<HighlightRules::Rule> &rules)
{
    m_table->setRowCount(0);
    for (const HighlightRules::Rule &rule : rules)
        addRow(rule);
}

QList<HighlightRules::Rule> PreferencesDialog::Rules() const
{
    QList<HighlightRules::Rule> rules;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, 0);
        const auto *colors = qobject_cast<QComboBox *>(m_table->cellWidget(row, 1));
        rules.append({item ? item->text() : QString(), colors ? colors->currentText() : QString()});
    }
    return rules;
}

void PreferencesDialog::accept()
{
    const QList<HighlightRules::Rule> rules = Rules();
    for (int row = 0; row < rules.size(); ++row) {
        const QString problem = HighlightRules::Check(rules.at(row).pattern);
        if (!problem.isEmpty()) {
            m_table->setCurrentCell(row, 0);
            ShowErrorMessage(QStringLiteral("Rule %1 (\"%2\"): %3")
                                 .arg(row + 1)
                                 .arg(rules.at(row).pattern, problem));
            return;
        }
    }
    QDialog::accept();
}
