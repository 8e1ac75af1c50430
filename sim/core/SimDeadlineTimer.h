#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

// A one-shot timer on an absolute deadline of the monotonic clock, to the
// microsecond. A serial line at 115200 bit/s moves a byte every 87 us, so the
// millisecond steps of QTimer would stretch a paced transfer by a large part;
// this one wakes the event loop through a timer descriptor instead, without
// ever blocking it.
class SimDeadlineTimer : public QObject {
    Q_OBJECT
public:
    explicit SimDeadlineTimer(QObject *parent = nullptr);
    ~SimDeadlineTimer() override;

    // Nanoseconds of the monotonic clock, the time base of the deadlines.
    static qint64 NowNs();

    // Fires once at `deadlineNs` (at once when it has passed); replaces an
    // earlier deadline.
    void StartAt(qint64 deadlineNs);
    void Stop();
    bool IsActive() const { return m_active; }
    qint64 Deadline() const { return m_deadline; }

Q_SIGNALS:
    void timeout();

private:
    void Expired();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_fallback = nullptr;
    bool m_active = false;
    qint64 m_deadline = 0;
};
