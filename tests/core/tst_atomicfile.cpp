#include "core/AtomicFile.h"
#include "core/DiskSync.h"
#include "tests/TestHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// What each sync was given, by the path its descriptor names; a sync whose
// number is `failAt` (from 1) fails with EIO.
struct SyncLog {
    QStringList paths;
    int failAt = 0;
    // A file whose contents each sync notes, to show what it held then.
    QString watched;
    QByteArrayList watchedAtSync;
};
class SyncRecorder {
public:
    explicit SyncRecorder(int failAt = 0) : m_sync([this](int fd) { return record(fd); })
    {
        m_log.failAt = failAt;
    }
    QStringList paths() const { return m_log.paths; }
    void watch(const QString &path) { m_log.watched = path; }
    QByteArrayList watchedAtSync() const { return m_log.watchedAtSync; }

private:
    int record(int fd)
    {
        const QString path = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
        m_log.paths << path;
        if (!m_log.watched.isEmpty())
            m_log.watchedAtSync << ReadAll(m_log.watched);
        if (m_log.paths.size() == m_log.failAt) {
            errno = EIO;
            return -1;
        }
        return ::fsync(fd);
    }

    SyncLog m_log;
    ScopedDiskSync m_sync;
};

// A folder that takes no new files, even from root: the immutable flag.
// The files already in it stay writable.
class ImmutableFolder {
public:
    explicit ImmutableFolder(const QString &path) : m_path(path)
    {
        m_ok = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
    }
    ~ImmutableFolder()
    {
        if (m_ok)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
    }
    bool ok() const { return m_ok; }

private:
    QString m_path;
    bool m_ok = false;
};

// Copies of old files this writer keeps in the user's state folder.
QStringList KeptCopies()
{
    return QDir(KeptCopiesFolder()).entryList({QStringLiteral("kept-*")}, QDir::Files | QDir::Hidden);
}

// A user's file in a folder that takes no new files, holding `size` bytes
// of lines, so that it is written in place.
struct FrozenFile {
    QTemporaryDir dir;
    QString path;
    QByteArray old;
    std::unique_ptr<ImmutableFolder> frozen;

    explicit FrozenFile(int size)
    {
        path = dir.filePath("terminal.txt");
        for (int i = 0; old.size() < size; ++i)
            old += "line " + QByteArray::number(i) + "\r\n";
        old.truncate(size);
        WriteAll(path, old);
        frozen = std::make_unique<ImmutableFolder>(dir.path());
    }
    bool ok() const { return frozen->ok() && !QFile(dir.filePath("probe")).open(QIODevice::WriteOnly); }
};

QStringList FolderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

const QByteArray OldText = "[Port]=COM3\r\n[Level]=expert\r\n";

} // namespace

class tst_atomicfile : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // The state folder is made when first needed.
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("state"))));
        QCOMPARE(KeptCopiesFolder(), m_home.filePath(QStringLiteral("state/mirto")));
    }
    void keptCopiesFolder_data();
    void keptCopiesFolder();
    void symbolicLinkSyncsTheTargetsFolder_data();
    void symbolicLinkSyncsTheTargetsFolder();
    void inPlaceCopyReachesTheDiskFirst_data();
    void inPlaceCopyReachesTheDiskFirst();
    void fileThenFolderReachTheDisk_data();
    void fileThenFolderReachTheDisk();
    void failedSyncIsReported_data();
    void failedSyncIsReported();
    void fullDiskKeepsOldFile_data();
    void fullDiskKeepsOldFile();
    void inPlaceKeepsOldFileOnFailure_data();
    void inPlaceKeepsOldFileOnFailure();
};

// Replacing a file syncs the new file before the rename and the folder
// after it, whoever writes (the tool's own files, or a file the user picked
// in a folder that takes new files).
void tst_atomicfile::fileThenFolderReachTheDisk_data()
{
    QTest::addColumn<bool>("fallback");
    QTest::newRow("tool's own file") << false;
    QTest::newRow("user's file") << true;
}

void tst_atomicfile::fileThenFolderReachTheDisk()
{
    QFETCH(bool, fallback);
    QTemporaryDir dir;
    const QString path = dir.filePath("mirto.ini");
    WriteAll(path, OldText);
    SyncRecorder syncs;
    QCOMPARE(ReplaceFile(path, "[Port]=COM4\r\n", fallback), QString());
    QCOMPARE(ReadAll(path), QByteArray("[Port]=COM4\r\n"));
    const QStringList synced = syncs.paths();
    QCOMPARE(synced.size(), 2);
    // The first is the new file under its temporary name, in the same folder.
    QCOMPARE(QFileInfo(synced[0]).absolutePath(), QFileInfo(dir.path()).canonicalFilePath());
    QVERIFY(synced[0] != QFileInfo(dir.path()).canonicalFilePath());
    QCOMPARE(synced[1], QFileInfo(dir.path()).canonicalFilePath());
    QCOMPARE(FolderEntries(dir.path()), QStringList({"mirto.ini"}));
}

// A sync that fails is the writer's failure, with the system's reason.
// Before the rename the old file stays; after it the new one is in place
// but the user learns that it may not survive a power cut.
void tst_atomicfile::failedSyncIsReported_data()
{
    QTest::addColumn<int>("failAt");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("the file's sync") << 1 << OldText;
    QTest::newRow("the folder's sync") << 2 << QByteArray("new");
}

void tst_atomicfile::failedSyncIsReported()
{
    QFETCH(int, failAt);
    QFETCH(QByteArray, left);
    QTemporaryDir dir;
    const QString path = dir.filePath("studio.cfg");
    WriteAll(path, OldText);
    SyncRecorder syncs(failAt);
    QCOMPARE(ReplaceFile(path, "new"), qt_error_string(EIO));
    QCOMPARE(syncs.paths().size(), failAt);
    QCOMPARE(ReadAll(path), left);
    QCOMPARE(FolderEntries(dir.path()), QStringList({"studio.cfg"}));
}

// A disk that takes only part of the new contents: the old file stays whole
// and nothing else is left in its folder.
void tst_atomicfile::fullDiskKeepsOldFile_data()
{
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<int>("size");
    QTest::newRow("tool's file, buffered") << false << 20000;
    QTest::newRow("tool's file, beyond the buffer") << false << 200000;
    QTest::newRow("user's file") << true << 200000;
}

void tst_atomicfile::fullDiskKeepsOldFile()
{
    QFETCH(bool, fallback);
    QFETCH(int, size);
    QTemporaryDir dir;
    const QString path = dir.filePath("web.txt");
    WriteAll(path, OldText);
    QString error;
    {
        FileSizeLimit limit(4096);
        AtomicFileWriter file(path, fallback);
        QVERIFY(file.Open());
        const bool ok = file.Write(QByteArray(size, 'x')) && file.Commit();
        QVERIFY(!ok);
        error = file.ErrorString();
    }
    QCOMPARE(error, qt_error_string(EFBIG));
    QCOMPARE(ReadAll(path), OldText);
    QCOMPARE(FolderEntries(dir.path()), QStringList({"web.txt"}));
}

// A saved terminal in a folder that takes no new files is written in place;
// a copy of the old file waits in the user's state folder until the new one is
// whole, and comes back when it is not. Without that copy nothing is cut.
void tst_atomicfile::inPlaceKeepsOldFileOnFailure_data()
{
    QTest::addColumn<int>("oldSize");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<int>("limit"); // bytes a file may hold; 0: no limit
    QTest::addColumn<bool>("commit");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("errorStart");
    QTest::newRow("fits") << 3000 << 300000 << 0 << true << true << QString();
    QTest::newRow("new contents cut by a full disk")
        << 3000 << 300000 << 100000 << true << false << qt_error_string(EFBIG);
    QTest::newRow("short contents cut at the end")
        << 3000 << 5000 << 4096 << true << false << qt_error_string(EFBIG);
    QTest::newRow("no room for the copy") << 8000 << 10 << 4096 << true << false
                                          << QString("No copy of the old file could be kept");
    QTest::newRow("given up half way") << 3000 << 100000 << 0 << false << false << QString();
}

void tst_atomicfile::inPlaceKeepsOldFileOnFailure()
{
    QFETCH(int, oldSize);
    QFETCH(int, newSize);
    QFETCH(int, limit);
    QFETCH(bool, commit);
    QFETCH(bool, written);
    QFETCH(QString, errorStart);

    QTemporaryDir dir;
    const QString path = dir.filePath("terminal.txt");
    QByteArray old;
    for (int i = 0; old.size() < oldSize; ++i)
        old += "line " + QByteArray::number(i) + "\r\n";
    old.truncate(oldSize);
    WriteAll(path, old);
    const QStringList copiesBefore = KeptCopies();

    ImmutableFolder frozen(dir.path());
    if (!frozen.ok())
        QSKIP("chattr +i does not work on this file system");
    QVERIFY2(!QFile(dir.filePath("probe")).open(QIODevice::WriteOnly), "the folder still takes new files");

    QString error;
    bool ok = false;
    {
        std::unique_ptr<FileSizeLimit> sizeLimit;
        if (limit > 0)
            sizeLimit = std::make_unique<FileSizeLimit>(rlim_t(limit));
        AtomicFileWriter file(path, true);
        ok = file.Open();
        if (ok) {
            // Line by line, as the terminal is saved.
            const QByteArray line(98, 'n');
            for (int done = 0; ok && done < newSize; done += 100)
                ok = file.Write(line) && file.Write("\r\n");
            if (ok && commit)
                ok = file.Commit();
        }
        error = file.ErrorString();
    }
    QCOMPARE(ok && commit, written);
    if (errorStart.isEmpty())
        QCOMPARE(error, QString());
    else
        QVERIFY2(error.startsWith(errorStart), qPrintable(error));
    const QByteArray now = ReadAll(path);
    if (written)
        QCOMPARE(now.size(), qsizetype(newSize));
    else
        QCOMPARE(now, old);
    QCOMPARE(KeptCopies(), copiesBefore);
}

// Where the old contents wait: the user's state folder, never the
// temporary one.
void tst_atomicfile::keptCopiesFolder_data()
{
    QTest::addColumn<QByteArray>("stateHome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("set") << QByteArray("/srv/state") << QString("/srv/state/mirto");
    QTest::newRow("unset") << QByteArray() << QDir::homePath() + "/.local/state/mirto";
    QTest::newRow("relative, so ignored") << QByteArray("state") << QDir::homePath() + "/.local/state/mirto";
}

void tst_atomicfile::keptCopiesFolder()
{
    QFETCH(QByteArray, stateHome);
    QFETCH(QString, expected);
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    if (stateHome.isEmpty())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME", stateHome);
    const QString folder = KeptCopiesFolder();
    qputenv("XDG_STATE_HOME", before);
    QCOMPARE(folder, expected);
}

// A file reached through a symbolic link is replaced in the target's
// folder; that folder, which holds the rename, is the one synced, and the
// link stays a link.
void tst_atomicfile::symbolicLinkSyncsTheTargetsFolder_data()
{
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<bool>("chain");
    QTest::newRow("tool's own file") << false << false;
    QTest::newRow("user's file") << true << false;
    QTest::newRow("a link to a link") << false << true;
}

void tst_atomicfile::symbolicLinkSyncsTheTargetsFolder()
{
    QFETCH(bool, fallback);
    QFETCH(bool, chain);
    QTemporaryDir linkDir;
    QTemporaryDir middleDir;
    QTemporaryDir targetDir;
    const QString target = targetDir.filePath("mirto.ini");
    WriteAll(target, OldText);
    const QString link = linkDir.filePath("mirto.ini");
    if (chain) {
        const QString middle = middleDir.filePath("mirto.ini");
        QVERIFY(QFile::link(target, middle));
        QVERIFY(QFile::link(middle, link));
    } else {
        QVERIFY(QFile::link(target, link));
    }
    SyncRecorder syncs;
    QCOMPARE(ReplaceFile(link, "[Port]=COM4\r\n", fallback), QString());
    QCOMPARE(ReadAll(target), QByteArray("[Port]=COM4\r\n"));
    QVERIFY(QFileInfo(link).isSymLink());
    const QString targetFolder = QFileInfo(targetDir.path()).canonicalFilePath();
    QCOMPARE(syncs.paths().size(), 2);
    QCOMPARE(QFileInfo(syncs.paths()[0]).absolutePath(), targetFolder);
    QCOMPARE(syncs.paths()[1], targetFolder);
    QCOMPARE(FolderEntries(targetDir.path()), QStringList({"mirto.ini"}));
}

// Written in place, the file is cut only once the copy of its old contents
// and the copy's folder entry are on the disk; the new contents are synced
// before the copy goes. A copy that cannot be synced cuts nothing.
void tst_atomicfile::inPlaceCopyReachesTheDiskFirst_data()
{
    QTest::addColumn<int>("failAt");
    QTest::newRow("every sync works") << 0;
    QTest::newRow("the copy's sync fails") << 1;
    QTest::newRow("its folder's sync fails") << 2;
}

void tst_atomicfile::inPlaceCopyReachesTheDiskFirst()
{
    QFETCH(int, failAt);
    FrozenFile file(3000);
    if (!file.ok())
        QSKIP("chattr +i does not work on this file system");
    const QStringList copiesBefore = KeptCopies();
    QString error;
    QStringList synced;
    QByteArrayList heldAtSync;
    {
        SyncRecorder syncs(failAt);
        syncs.watch(file.path);
        error = ReplaceFile(file.path, QByteArray(5000, 'n'), true);
        synced = syncs.paths();
        heldAtSync = syncs.watchedAtSync();
    }
    const QString state = QFileInfo(KeptCopiesFolder()).canonicalFilePath();
    const QString target = QFileInfo(file.path).canonicalFilePath();
    if (failAt == 0) {
        QCOMPARE(error, QString());
        QCOMPARE(synced.size(), 3);
        QCOMPARE(QFileInfo(synced[0]).absolutePath(), state);
        QVERIFY2(QFileInfo(synced[0]).fileName().startsWith("kept-terminal.txt-"), qPrintable(synced[0]));
        QCOMPARE(synced[1], state);
        QCOMPARE(synced[2], target);
        QCOMPARE(heldAtSync[0], file.old);
        QCOMPARE(heldAtSync[1], file.old);
        QCOMPARE(ReadAll(file.path), QByteArray(5000, 'n'));
    } else {
        QVERIFY2(error.startsWith("No copy of the old file could be kept (" + qt_error_string(EIO) + ")"),
                 qPrintable(error));
        QCOMPARE(synced.size(), failAt);
        QCOMPARE(ReadAll(file.path), file.old);
    }
    QCOMPARE(KeptCopies(), copiesBefore);
}

QTEST_MAIN(tst_atomicfile)
#include "tst_atomicfile.moc"
