#include "desktop/SerialServers.h"

#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

template <class Widget>
Widget *named(Widget *widget, const char *name, const QString &accessible)
{
    widget->setObjectName(QLatin1String(name));
    widget->setAccessibleName(accessible);
    return widget;
}

// The lowest number no entry of the ports folder holds.
int lowestFreeNumber()
{
    const QString folder = ComPortFolder();
    for (int n = 1; n < 16; ++n) {
        const QFileInfo entry(folder + QStringLiteral("/COM%1").arg(n));
        if (!entry.isSymLink() && !entry.exists())
            return n;
    }
    return 16;
}

} // namespace

TSerialServersForm::TSerialServersForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("SerialServersForm"));
    setWindowTitle(QStringLiteral("Serial Servers"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("A COM number here stands for a serial port on a serial server "
                                            "(RFC 2217, for example ser2net with telnet(rfc2217)). "
                                            "It opens like any other port."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(named(intro, "IntroLabel", intro->text()));

    m_table = named(new QTableWidget(0, 2, this), "ServerList", QStringLiteral("Serial server ports"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Serial server")});
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(m_table);

    auto *form = new QFormLayout;
    m_numberSpin = named(new QSpinBox(this), "PortNumberSpin", QStringLiteral("COM number"));
    // mirto.ini keeps the ports COM1 to COM16: a higher number could not
    // stay chosen in the window (the command line takes any).
    m_numberSpin->setRange(1, 16);
    m_numberSpin->setPrefix(QStringLiteral("COM"));
    m_hostEdit = named(new QLineEdit(this), "HostEdit", QStringLiteral("Server address"));
    m_hostEdit->setPlaceholderText(QStringLiteral("address or host name"));
    m_portSpin = named(new QSpinBox(this), "TcpPortSpin", QStringLiteral("Server TCP port"));
    m_portSpin->setRange(1, 65535);
    m_portSpin->setValue(2217);
    auto *numberLabel = new QLabel(QStringLiteral("&Number:"), this);
    numberLabel->setBuddy(m_numberSpin);
    auto *hostLabel = new QLabel(QStringLiteral("Server &address:"), this);
    hostLabel->setBuddy(m_hostEdit);
    auto *portLabel = new QLabel(QStringLiteral("TCP &port:"), this);
    portLabel->setBuddy(m_portSpin);
    form->addRow(numberLabel, m_numberSpin);
    form->addRow(hostLabel, m_hostEdit);
    form->addRow(portLabel, m_portSpin);
    layout->addLayout(form);

    auto *buttons = new QHBoxLayout;
    m_addButton = named(new QPushButton(QStringLiteral("A&dd"), this), "AddButton", QStringLiteral("Add"));
    m_removeButton = named(new QPushButton(QStringLiteral("&Remove"), this), "RemoveButton",
                           QStringLiteral("Remove"));
    auto *closeButton = named(new QPushButton(QStringLiteral("&Close"), this), "CloseButton", QStringLiteral("Close"));
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_removeButton);
    buttons->addStretch();
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);
    m_statusLabel = named(new QLabel(this), "StatusLabel", QString());
    m_statusLabel->setWordWrap(true);
    layout->addWidget(m_statusLabel);

    connect(m_addButton, &QPushButton::clicked, this, &TSerialServersForm::AddClicked);
    connect(m_removeButton, &QPushButton::clicked, this, &TSerialServersForm::RemoveClicked);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_hostEdit, &QLineEdit::returnPressed, this, &TSerialServersForm::AddClicked);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
            [this] { m_removeButton->setEnabled(!m_table->selectedItems().isEmpty()); });
    resize(480, 360);
    Refresh();
    m_hostEdit->setFocus();
}

void TSerialServersForm::Refresh()
{
    const QList<RemoteComPort> ports = ListRemoteComPorts(ComPortFolder());
    m_table->setRowCount(0);
    for (const RemoteComPort &port : ports) {
        const int row = m_table->rowCount();
        m_table->insertRow(row);
        auto *number = new QTableWidgetItem(QStringLiteral("COM%1").arg(port.Number));
        number->setData(Qt::UserRole, port.Number);
        m_table->setItem(row, 0, number);
        m_table->setItem(row, 1, new QTableWidgetItem(port.Target.mid(10)));
    }
    m_removeButton->setEnabled(false);
    m_numberSpin->setValue(lowestFreeNumber());
}

void TSerialServersForm::say(const QString &text)
{
    m_statusLabel->setText(text);
    m_statusLabel->setAccessibleName(text);
}

void TSerialServersForm::AddClicked()
{
    const QString host = m_hostEdit->text().trimmed();
    if (host.isEmpty()) {
        say(QStringLiteral("Type the serial server's address first."));
        m_hostEdit->setFocus();
        return;
    }
    const int number = m_numberSpin->value();
    const QString target = RemotePortTarget(host, quint16(m_portSpin->value()));
    const QString problem = AddRemoteComPort(ComPortFolder(), number, target);
    if (!problem.isEmpty()) {
        say(problem);
        return;
    }
    Refresh();
    m_hostEdit->clear();
    say(QStringLiteral("COM%1 now stands for %2").arg(number).arg(target));
}

void TSerialServersForm::RemoveClicked()
{
    const QList<QTableWidgetItem *> selected = m_table->selectedItems();
    if (selected.isEmpty())
        return;
    const int number = m_table->item(selected.constFirst()->row(), 0)->data(Qt::UserRole).toInt();
    const QString problem = RemoveRemoteComPort(ComPortFolder(), number);
    if (!problem.isEmpty()) {
        say(problem);
        return;
    }
    Refresh();
    say(QStringLiteral("COM%1 removed").arg(number));
}
