#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A serial server (ser2net) that exports a pseudo-terminal on 127.0.0.1
// with RFC 2217, for the tests and benchmarks that put one between the tool
// and the simulator. Runs for as long as the object lives, on a free port
// (never the device's own 9000), from a configuration written for it.
class SimSerialServer {
public:
    // Where ser2net is installed; empty when it is not.
    static QString Program();

    // Starts ser2net for `device` at `lineSettings` (115200n81), on `port`
    // (0: a free one). False, with ErrorString(), when it is not installed
    // or did not come up. Started again after a Stop or Kill, it serves again.
    bool Start(const QString &device, const QString &lineSettings = QStringLiteral("115200n81"), quint16 port = 0);
    ~SimSerialServer();

    // ser2net holds what the device sends for at least 1 ms (two character
    // times) to gather more; off, it passes each read on at once, as a
    // server set up for interactive service does. On unless told (before
    // Start).
    void SetCharDelay(bool on) { m_charDelay = on; }
    quint16 Port() const { return m_port; }
    // rfc2217://127.0.0.1:PORT, for a COMn entry.
    QString Target() const;
    QString ErrorString() const { return m_error; }
    // Ends it at once, as a server that crashes or loses power.
    void Kill();
    void Stop();

private:
    bool listening() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_charDelay = true;
    QString m_error;
};
