#pragma once

#include "core/DeviceConnection.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

// A message box would wait for a user forever; this one closes it, and the
// run counts as failed.
class ModalGuard {
public:
    explicit ModalGuard(const char *program) : m_program(program)
    {
        m_timer.setInterval(200);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            const auto *box = qobject_cast<QMessageBox *>(modal);
            std::fprintf(stderr, "%s: dismissed a dialog: %s\n", m_program,
                         qPrintable(box ? box->text() : modal->windowTitle()));
            m_seen = true;
            modal->close();
        });
        m_timer.start();
    }
    bool Seen() const { return m_seen; }

private:
    const char *m_program;
    QTimer m_timer;
    bool m_seen = false;
};

// The machine's load, printed beside the figures: they mean little on a
// machine that is busy with other work.
inline QString LoadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

// Runs headless unless told otherwise, and gives the simulator a private ports
// folder so that the user's own stays untouched. Valid while it lives.
class BenchEnvironment {
public:
    BenchEnvironment()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (m_configHome.isValid()) {
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
            // The programs' device history stays out of the user's own.
            qputenv("XDG_STATE_HOME", QFile::encodeName(m_configHome.path() + QStringLiteral("/state")));
        }
    }
    bool IsValid() const { return m_configHome.isValid(); }

private:
    QTemporaryDir m_configHome;
};

// Nobody sits in front of a benchmark: whatever the connection would tell a
// user is recorded (and printed) as a sign of a failed run.
class BenchUser : public DeviceUser {
public:
    explicit BenchUser(const char *program) : m_program(program) {}
    QStringList told;
    void TellUser(const QString &text) override { note(text); }
    void TellBusy(const QString &text) override { note(text); }
    void ShowLinkError(const std::exception &error) override { note(QString::fromLocal8Bit(error.what())); }
    bool AskHostAddress(QString &) override { return false; }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    void AppendTerminal(const QByteArray &) override {}
    void AddStatus(const QString &) override {}
    void ShowIdentification(const QString &) override {}
    void ShowConnectionState(const ConnectionState &) override {}
    void PortsChanged() override {}

private:
    void note(const QString &text)
    {
        told << text;
        std::fprintf(stderr, "%s: told the user: %s\n", m_program, qPrintable(text));
    }
    const char *m_program;
};
