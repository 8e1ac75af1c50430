#include "core/DiskSync.h"
#include "core/TerminalBuffer.h"
#include "core/TerminalLog.h"
#include "core/TerminalStamps.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// A clock that moves one second on every reading, starting at 10:00:00, so
// that the stamps show when each line was stamped.
struct StepClock {
    int seconds = 0;
    QTime operator()() { return QTime(10, 0, 0).addSecs(seconds++); }
};

} // namespace

class TestTerminalLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void openLineWrittenOnStop();
    void appendsToExistingFile();
    void failedWriteStopsOnce();
    void unwritablePath();
    void syncedWithinASecondOfTheLastWrite_data();
    void syncedWithinASecondOfTheLastWrite();
    void failedSyncStopsTheLog_data();
    void failedSyncStopsTheLog();
    void stampsAfterThePrompt_data();
    void stampsAfterThePrompt();

private:
    QTemporaryDir m_dir;
};

void TestTerminalLog::lines_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("milliseconds");

    QTest::newRow("LF") << QList<QByteArray>{"one\ntwo\n"} << QByteArray("[10:00:00] one\r\n[10:00:01] two\r\n") << false;
    QTest::newRow("CR LF") << QList<QByteArray>{"one\r\ntwo\r\n"}
                           << QByteArray("[10:00:00] one\r\n[10:00:01] two\r\n") << false;
    QTest::newRow("line over pieces, stamped at its first byte")
        << QList<QByteArray>{"ab", "c\r", "\nde", "f\n"} << QByteArray("[10:00:00] abc\r\n[10:00:01] def\r\n") << false;
    QTest::newRow("lone CR dropped as the terminal drops it")
        << QList<QByteArray>{"a\rb\n"} << QByteArray("[10:00:00] ab\r\n") << false;
    QTest::newRow("empty lines") << QList<QByteArray>{"\n", "\r\n"}
                                 << QByteArray("[10:00:00] \r\n[10:00:01] \r\n") << false;
    // The device's '#' reaches the log as the terminal shows it.
    QTest::newRow("event stamp as shown")
        << QList<QByteArray>{"[09:59:58] power on\r\n"} << QByteArray("[10:00:00] [09:59:58] power on\r\n") << false;
    QTest::newRow("open line waits") << QList<QByteArray>{"done\nhalf"} << QByteArray("[10:00:00] done\r\n") << false;
    QTest::newRow("milliseconds") << QList<QByteArray>{"one\r\ntw", "o\r\n"}
                                  << QByteArray("[10:00:00.000] one\r\n[10:00:01.000] two\r\n") << true;
    QTest::newRow("Latin-1 kept") << QList<QByteArray>{"\xe9t\xe9\n"} << QByteArray("[10:00:00] \xe9t\xe9\r\n") << false;
}

void TestTerminalLog::lines()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, expected);
    QFETCH(bool, milliseconds);
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    TerminalLog log{StepClock{}};
    log.SetMilliseconds(milliseconds);
    QVERIFY2(log.Start(path), qPrintable(log.Error()));
    for (const QByteArray &piece : pieces)
        QVERIFY(log.Append(piece));
    // Written as each line ends, before the log is stopped.
    QCOMPARE(ReadAll(path), expected);
}

void TestTerminalLog::openLineWrittenOnStop()
{
    const QString path = m_dir.filePath(QStringLiteral("open.log"));
    TerminalLog log{StepClock{}};
    QVERIFY(log.Start(path));
    QVERIFY(log.Append("done\nhal"));
    QVERIFY(log.Append("f"));
    log.Stop();
    QVERIFY(!log.Active());
    QCOMPARE(ReadAll(path), QByteArray("[10:00:00] done\r\n[10:00:01] half\r\n"));
    // Stopped, it takes nothing more.
    QVERIFY(log.Append("later\n"));
    QCOMPARE(ReadAll(path), QByteArray("[10:00:00] done\r\n[10:00:01] half\r\n"));
}

void TestTerminalLog::appendsToExistingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("existing.log"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[08:00:00] yesterday\r\n");
    }
    {
        TerminalLog log{StepClock{}};
        QVERIFY(log.Start(path));
        QVERIFY(log.Append("today\n"));
    }
    // A second run, and a restart within one, append as well.
    TerminalLog log{StepClock{}};
    QVERIFY(log.Start(path));
    QVERIFY(log.Append("again\n"));
    QVERIFY(log.Start(path));
    QVERIFY(log.Append("restarted\n"));
    QCOMPARE(ReadAll(path), QByteArray("[08:00:00] yesterday\r\n[10:00:00] today\r\n[10:00:00] again\r\n"
                                       "[10:00:01] restarted\r\n"));
}

void TestTerminalLog::failedWriteStopsOnce()
{
    const QString path = m_dir.filePath(QStringLiteral("full.log"));
    const QByteArray line(40, 'x');
    TerminalLog log{StepClock{}};
    QVERIFY(log.Start(path));
    {
        // Room for two stamped lines of 53 bytes, not three.
        const FileSizeLimit limit(120);
        QVERIFY(log.Append(line + '\n'));
        QVERIFY(log.Append(line + '\n'));
        QVERIFY(!log.Append(line + '\n'));
    }
    QVERIFY(!log.Active());
    QVERIFY2(log.Error().contains(path), qPrintable(log.Error()));
    QVERIFY2(log.Error().contains(QStringLiteral("too large")), qPrintable(log.Error()));
    // Reported once: later text goes nowhere and says nothing more.
    QVERIFY(log.Append(line + '\n'));
    log.Stop();
    QVERIFY(ReadAll(path).startsWith("[10:00:00] " + line + "\r\n[10:00:01] " + line + "\r\n"));
    QVERIFY(ReadAll(path).size() <= 120);
}

void TestTerminalLog::unwritablePath()
{
    TerminalLog log;
    const QString path = m_dir.filePath(QStringLiteral("missing/folder.log"));
    QVERIFY(!log.Start(path));
    QVERIFY(!log.Active());
    QVERIFY2(log.Error().contains(path), qPrintable(log.Error()));
    QVERIFY(log.Append("text\n"));
}

// A device that sends a line and then goes quiet: its line reaches the disk
// within a second all the same, with no later line to set the sync off. A
// flood is synced at most once a second, not once a line.
void TestTerminalLog::syncedWithinASecondOfTheLastWrite_data()
{
    QTest::addColumn<int>("lines");
    QTest::newRow("one line, then quiet") << 1;
    QTest::newRow("a flood, then quiet") << 20000;
}

void TestTerminalLog::syncedWithinASecondOfTheLastWrite()
{
    QFETCH(int, lines);
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    struct Sync {
        QString file;
        qint64 size; // what the file held when it was synced
    };
    QList<Sync> syncs;
    const ScopedDiskSync recording([&syncs](int fd) {
        syncs.append({QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd)),
                      qint64(::lseek(fd, 0, SEEK_END))});
        return ::fdatasync(fd);
    });
    TerminalLog log{StepClock{}};
    QVERIFY(log.Start(path));
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i)
        QVERIFY(log.Append("Channel 0 name: Radio\r\n"));
    const qint64 floodMs = clock.elapsed();
    const qint64 written = QFileInfo(path).size();
    QVERIFY(written > 0);
    // No more lines come; ten times the promised second.
    QTRY_VERIFY_WITH_TIMEOUT(!syncs.isEmpty() && syncs.last().size == written, 10000);
    for (const Sync &sync : std::as_const(syncs))
        QCOMPARE(sync.file, QFileInfo(path).canonicalFilePath());
    QVERIFY2(syncs.size() <= 2 + floodMs / 1000,
             qPrintable(QStringLiteral("%1 syncs in %2 ms").arg(syncs.size()).arg(floodMs)));
    // Nothing new, nothing more to sync.
    const qsizetype count = syncs.size();
    QTest::qWait(1500);
    QCOMPARE(syncs.size(), count);
    log.Stop();
    QCOMPARE(syncs.size(), count);
}

// A sync that fails stops the log like a failed write, with the system's
// reason: told by the timer's signal when the device is quiet, by Stop when
// the user stops.
void TestTerminalLog::failedSyncStopsTheLog_data()
{
    QTest::addColumn<bool>("byStop");
    QTest::newRow("the timer's sync") << false;
    QTest::newRow("the sync at Stop") << true;
}

void TestTerminalLog::failedSyncStopsTheLog()
{
    QFETCH(bool, byStop);
    const QString path = m_dir.filePath(QStringLiteral("failed-sync-%1.log").arg(byStop));
    const ScopedDiskSync failing([](int) {
        errno = EIO;
        return -1;
    });
    TerminalLog log{StepClock{}};
    QSignalSpy failed(&log, &TerminalLog::Failed);
    QVERIFY(log.Start(path));
    QVERIFY(log.Append("one\n"));
    if (byStop) {
        QVERIFY(!log.Stop());
        QCOMPARE(failed.count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
        QCOMPARE(failed.first().first().toString(), log.Error());
    }
    QVERIFY(!log.Active());
    QVERIFY2(log.Error().contains(path), qPrintable(log.Error()));
    QVERIFY2(log.Error().contains(qt_error_string(EIO)), qPrintable(log.Error()));
    // Told once: later text goes nowhere.
    QVERIFY(log.Append("two\n"));
    QVERIFY(log.Stop());
    QTest::qWait(1500);
    QCOMPARE(failed.count(), byStop ? 0 : 1);
    QCOMPARE(ReadAll(path), QByteArray("[10:00:00] one\r\n"));
}

// Pieces as "ms:text", the time each arrived.
void TestTerminalLog::stampsAfterThePrompt_data()
{
    QTest::addColumn<QByteArrayList>("before"); // shown before the log starts
    QTest::addColumn<QByteArrayList>("after");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("answer after the prompt")
        << QByteArrayList{} << QByteArrayList{"1000:>", "5000:Serialnumber 1\r\n", "6000:>"}
        << QByteArray("[00:00:05.000] >Serialnumber 1\r\n");
    QTest::newRow("prompt and blank in pieces")
        << QByteArrayList{} << QByteArrayList{"1000:>", "2000: ", "3000:ok\n"}
        << QByteArray("[00:00:03.000] > ok\r\n");
    QTest::newRow("prompt alone keeps its time")
        << QByteArrayList{} << QByteArrayList{"1000:>\r\n", "2000:x\n"}
        << QByteArray("[00:00:01.000] >\r\n[00:00:02.000] x\r\n");
    QTest::newRow("command in the prompt's piece")
        << QByteArrayList{} << QByteArrayList{"1000:>ver\n"} << QByteArray("[00:00:01.000] >ver\r\n");
    QTest::newRow("text line keeps its first byte's time")
        << QByteArrayList{} << QByteArrayList{"1000:ab", "2000:c\r\n", "3000:\n"}
        << QByteArray("[00:00:01.000] abc\r\n[00:00:03.000] \r\n");
    // Logging starts while the prompt waits: the log's first line is the
    // prompt's, not an empty one.
    QTest::newRow("log started at the prompt")
        << QByteArrayList{"500:done\r\n", "1000:>"} << QByteArrayList{"2000:\n--> ver\n", "4000:V1\r\n"}
        << QByteArray("[00:00:01.000] >\r\n[00:00:02.000] --> ver\r\n[00:00:04.000] V1\r\n");
    QTest::newRow("log started before the answer")
        << QByteArrayList{"1000:>"} << QByteArrayList{"3000:Serialnumber 1\r\n"}
        << QByteArray("[00:00:03.000] >Serialnumber 1\r\n");
}

void TestTerminalLog::stampsAfterThePrompt()
{
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArrayList, after);
    QFETCH(QByteArray, logged);
    const auto feed = [](const QByteArray &piece, auto &&to) {
        const qsizetype colon = piece.indexOf(':');
        to(piece.mid(colon + 1), piece.left(colon).toInt());
    };
    // The terminal and the log are fed as the window feeds them.
    TerminalBuffer shown;
    for (const QByteArray &piece : before)
        feed(piece, [&](const QByteArray &text, int ms) { shown.Append(text, nullptr, ms); });
    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    TerminalLog log{StepClock{}};
    log.SetMilliseconds(true);
    const qsizetype first = shown.LineCount() - 1;
    QVERIFY(log.Start(path, shown.Line(first), shown.Stamp(first)));
    for (const QByteArray &piece : after) {
        feed(piece, [&](const QByteArray &text, int ms) {
            shown.Append(text, nullptr, ms);
            QVERIFY(log.Append(text, ms));
        });
    }
    const QByteArray written = ReadAll(path);
    QCOMPARE(written, logged);
    // The same line has the same stamp on the screen and in the log.
    const QList<QByteArray> lines = written.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        QCOMPARE(lines.at(i).left(15), TerminalStampText(shown.Stamp(first + i)).toLatin1());
}

QTEST_GUILESS_MAIN(TestTerminalLog)
#include "tst_terminallog.moc"
