#pragma once

#include "core/TerminalStamps.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTime>
#include <QTimer>

#include <functional>

// A running record of the terminal in a file of the user's choice, for a
// device that is watched for days: the file is opened for appending, and
// every line is written with one write(2) as soon as its line break arrives,
// "[HH:mm:ss] " (local time at the line's first byte after the prompt, see
// LineStamp: the terminal's stamp of the same line) in front and CR LF at
// the end, so that whatever stops the tool, every finished line is in the
// file. The data is also synced to the disk within a second of its write (a
// timer catches the last line of a device that then goes quiet), and at most
// once a second, so that a machine that loses its power loses at most the
// last second.
//
// It is fed the same bytes as the terminal and reads them the same way: '\n'
// ends a line, '\r' is dropped. A line still open when logging stops is
// written then.
//
// A write or a sync that fails stops the log: Append (or, for the timer's
// sync, Failed) reports it once, and Error() says why; nothing is written
// after that until Start is called again.
class TerminalLog : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QTime()>;
    // The clock gives the time of day for the stamps; local time when none.
    explicit TerminalLog(Clock clock = {}, QObject *parent = nullptr);
    ~TerminalLog() override;
    TerminalLog(const TerminalLog &) = delete;
    TerminalLog &operator=(const TerminalLog &) = delete;

    // Opens (creates) the file for appending; a log already running is
    // stopped first. False, with Error() set, when it cannot be opened.
    // `openLine` is what the terminal shows of its last line, not ended yet
    // (the prompt, most often), with its stamp: the log's first line begins
    // with it, as the terminal's does.
    bool Start(const QString &path, QByteArrayView openLine = {}, int openLineMs = -1);
    // Writes the open line, if any, syncs and closes the file. False, with
    // Error() set, when that write or sync failed.
    bool Stop();
    bool Active() const { return m_fd >= 0; }
    QString Path() const { return m_path; }
    // `path` names the file being logged to, under this name or another
    // (a link, a relative name): a file written there in its place would
    // take the log's earlier lines, and the log would go on into the file
    // it replaced.
    bool Holds(const QString &path) const;
    QString Error() const { return m_error; }

    // Stamps to the millisecond, "[HH:mm:ss.zzz] ", from the next line on.
    void SetMilliseconds(bool on) { m_milliseconds = on; }

    // False only when this call's write failed and stopped the log.
    // `arrivalMs` (milliseconds since midnight) is when the bytes arrived,
    // the time the terminal stamps them with; -1 reads the log's clock.
    bool Append(QByteArrayView bytes, int arrivalMs = -1);

Q_SIGNALS:
    // The timer's sync failed and stopped the log; Error() says why.
    void Failed(const QString &error);

private:
    bool writeLine();
    int now();
    bool sync();
    void syncTimerFired();
    void fail(int error);

    Clock m_clock;
    int m_fd = -1;
    QString m_path;
    QString m_error;
    QByteArray m_line;       // the open line, stamp not yet in front
    bool m_lineOpen = false; // a byte of the open line has come
    LineStamp m_stamp;       // the open line's
    bool m_milliseconds = false;
    QElapsedTimer m_sinceSync;
    bool m_unsynced = false;  // written since the last sync
    QTimer m_syncTimer;       // runs while m_unsynced
};
