#include "desktop/DeviceHistory.h"

#include "core/AuditTrail.h"
#include "core/DevicePorts.h"
#include "core/JobInput.h"
#include "core/ToolSettings.h"
#include "desktop/ErrorDisplay.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

void RecordWindowChange(QWidget *parent, const QString &action, int interfaceKind, const QString &place,
                        const QByteArray &serialBefore, const QByteArray &versionBefore,
                        const QByteArray &serialAfter, const QByteArray &versionAfter, const JobInput &input,
                        bool ok, const QString &reason)
{
    AuditEntry entry;
    entry.action = action;
    entry.interface = InterfaceName(interfaceKind);
    entry.port = place;
    entry.serialBefore = QString::fromLatin1(serialBefore).trimmed();
    entry.versionBefore = QString::fromLatin1(versionBefore).trimmed();
    entry.serialAfter = QString::fromLatin1(serialAfter).trimmed();
    entry.versionAfter = QString::fromLatin1(versionAfter).trimmed();
    entry.file = input.Path;
    if (!input.Path.isEmpty() || input.Edited)
        entry.sha256 = input.Sha256;
    entry.edited = input.Edited;
    entry.ok = ok;
    entry.reason = ok ? QString() : reason.simplified();
    QString problem;
    if (!AppendAuditEntry(entry, &problem))
        ShowError(parent, problem);
}

void RecordProgramming(QWidget *parent, ConfigHost &host, int interfaceKind, const QByteArray &serialBefore,
                       const QByteArray &versionBefore, const JobInput &input, bool ok, const QString &message)
{
    // Programming can give the device a new serial number; the window
    // identifies it again afterwards.
    RecordWindowChange(parent, QStringLiteral("program"), interfaceKind, host.DevicePlace(), serialBefore,
                       versionBefore, host.DeviceSerialNumber(), host.DeviceSoftwareVersion(), input, ok,
                       message.isEmpty() ? QStringLiteral("Programming failed") : message);
}

TDeviceHistoryForm::TDeviceHistoryForm(QWidget *parent)
    : QDialog(parent),
      m_filterEdit(new QLineEdit(this)),
      m_table(new QTableWidget(this)),
      m_countLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("TDeviceHistoryForm"));
    setWindowTitle(QStringLiteral("Device History"));
    setAccessibleName(QStringLiteral("Device History"));
    auto *layout = new QVBoxLayout(this);
    auto *filterLabel = new QLabel(QStringLiteral("&Serial number:"), this);
    filterLabel->setBuddy(m_filterEdit);
    m_filterEdit->setObjectName(QStringLiteral("SerialFilterEdit"));
    m_filterEdit->setAccessibleName(QStringLiteral("Serial number filter"));
    m_filterEdit->setClearButtonEnabled(true);
    m_filterEdit->setPlaceholderText(QStringLiteral("all devices"));
    auto *filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(m_filterEdit, 1);
    layout->addLayout(filterRow);

    m_table->setObjectName(QStringLiteral("HistoryTable"));
    m_table->setAccessibleName(QStringLiteral("Device history"));
    const QStringList columns {QStringLiteral("Time (UTC)"), QStringLiteral("Action"), QStringLiteral("Result"),
                               QStringLiteral("Serial before"), QStringLiteral("Serial after"),
                               QStringLiteral("Version before"), QStringLiteral("Version after"),
                               QStringLiteral("Interface"), QStringLiteral("Port"), QStringLiteral("File"),
                               QStringLiteral("Reason"), QStringLiteral("User"), QStringLiteral("Computer"),
                               QStringLiteral("SHA-256")};
    m_table->setColumnCount(int(columns.size()));
    m_table->setHorizontalHeaderLabels(columns);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table, 1);
    m_countLabel->setObjectName(QStringLiteral("HistoryCountLabel"));
    layout->addWidget(m_countLabel);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("CloseButton"));
    close->setAccessibleName(QStringLiteral("Close"));
    // Enter in the filter must not close the list.
    close->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    connect(m_filterEdit, &QLineEdit::textChanged, this, &TDeviceHistoryForm::Refresh);
    resize(900, 420);
    Refresh();
}

void TDeviceHistoryForm::Refresh()
{
    const QList<AuditEntry> entries = ReadAuditTrail(m_filterEdit->text());
    m_table->setRowCount(int(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        const AuditEntry &e = entries.at(row);
        const QStringList cells {e.time,          e.action,      e.ok ? QStringLiteral("OK") : QStringLiteral("FAILED"),
                                 e.serialBefore,  e.serialAfter, e.versionBefore,
                                 e.versionAfter,  e.interface,   e.port,
                                 e.file,          e.reason,      e.user,
                                 e.hostName,      e.sha256};
        for (int column = 0; column < cells.size(); ++column)
            m_table->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
    m_table->resizeColumnsToContents();
    const QString filter = m_filterEdit->text();
    if (!entries.isEmpty()) {
        m_countLabel->setText(QStringLiteral("%1 changes, newest first (%2)")
                                  .arg(entries.size())
                                  .arg(AuditTrailPath()));
        return;
    }
    // Nothing shown: because nothing is recorded, or because the filter
    // leaves nothing of what is.
    const qsizetype recorded = filter.isEmpty() ? 0 : ReadAuditTrail().size();
    m_countLabel->setText(recorded == 0
                              ? QStringLiteral("No changes recorded in %1").arg(AuditTrailPath())
                              : QStringLiteral("No change matches the serial number \"%1\" (%2 "
                                               "recorded in %3)")
                                    .arg(filter)
                                    .arg(recorded)
                                    .arg(AuditTrailPath()));
}
