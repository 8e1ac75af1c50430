#pragma once

#include "core/firmware/BootLink.h"
#include "core/firmware/BootProtocol.h"
#include "core/firmware/HexImage.h"

#include <QObject>
#include <QTimer>

class BootPort;

// A firmware update without a window: the boot loader conversation on a
// serial link, from the reset (or the power cycle the user makes) to the
// boot loader's finish. A front end that has no dialog (the command line)
// drives it and shows what it reports.
class UpdateSession : public QObject {
    Q_OBJECT
public:
    // `path` is the HEX file: it is read at the start token, as the dialog
    // does, so that the image sent is the file as it is then.
    UpdateSession(BootPort &port, const QString &path, QObject *parent = nullptr);
    ~UpdateSession() override;

    // Takes the link and enters the boot loader: with `reset` the device is
    // sent "reset" twice; otherwise the user power-cycles it, and the token
    // is awaited for `powerCycleWaitMs`. False when the link is busy or
    // closed (Finished follows with the reason).
    bool Start(bool reset, int powerCycleWaitMs = 60000);
    // Stops a running transfer the way the tool stops on its own errors.
    void Stop();

    bool Running() const { return m_running; }
    const HexImage &Image() const { return m_image; }
    const BootProtocol &Protocol() const { return m_protocol; }

Q_SIGNALS:
    void Message(const QString &text);
    void Status(const QString &text);
    void Progress(quint32 value, quint32 maximum);
    // The user is to remove the device's power and apply it again.
    void PowerCycleNeeded();
    // The conversation is over; `error` says why when it failed.
    void Finished(bool success, const QString &error);

private:
    void received(int count);
    void carry(const QList<BootEvent> &events);
    void finish(bool success, const QString &error);

    BootPort &m_port;
    QString m_path;
    HexImage m_image;
    BootProtocol m_protocol;
    BootLink m_link;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_powerWait;
    // After a failed transfer: how long the boot loader has to finish.
    QTimer m_endWait;
    bool m_running = false;
    QString m_lastProblem;
};
