#pragma once

#include <QDialog>

class ConfigHost;
struct JobInput;
class QLabel;
class QLineEdit;
class QTableWidget;

// Appends the window's programming run of `input` (the configuration as it
// was at the run's start) to the device history; a trail that cannot be
// written is shown and changes nothing else.
void RecordProgramming(QWidget *parent, ConfigHost &host, int interfaceKind, const QByteArray &serialBefore,
                       const QByteArray &versionBefore, const JobInput &input, bool ok, const QString &message);

// Appends a change the window made to the device history (time, user and
// computer filled in): `input` names what the job worked from, by its path
// and the hash of the bytes it read at its start. A trail that cannot be
// written is shown.
void RecordWindowChange(QWidget *parent, const QString &action, int interfaceKind, const QString &place,
                        const QByteArray &serialBefore, const QByteArray &versionBefore,
                        const QByteArray &serialAfter, const QByteArray &versionAfter, const JobInput &input,
                        bool ok, const QString &reason);

// Tools - Device History...: every change made to a device from this
// machine, by the window or the command line, newest first, filtered by
// serial number.
class TDeviceHistoryForm : public QDialog {
    Q_OBJECT
public:
    explicit TDeviceHistoryForm(QWidget *parent = nullptr);
    // Reads the trail again and shows what the filter lets through.
    void Refresh();

private:
    QLineEdit *m_filterEdit;
    QTableWidget *m_table;
    QLabel *m_countLabel;
};
