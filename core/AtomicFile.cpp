#include "core/AtomicFile.h"

#include "core/DiskSync.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype BufferSize = 64 * 1024;

QString SystemReason(int error)
{
    return qt_error_string(error);
}

// Copies `from` into the open `to` from its start; "" or the reason.
QString CopyContents(QFile &from, QFileDevice &to)
{
    char chunk[BufferSize];
    for (;;) {
        const qint64 n = from.read(chunk, sizeof chunk);
        if (n < 0)
            return from.errorString();
        if (n == 0)
            return {};
        for (qint64 done = 0; done < n;) {
            const qint64 m = to.write(chunk + done, n - done);
            if (m <= 0)
                return to.errorString().isEmpty() ? QStringLiteral("Unknown error") : to.errorString();
            done += m;
        }
    }
}

// The file a write to `path` lands in: symbolic links are followed as
// QSaveFile follows them, so the rename happens in the target's folder.
QFileInfo FinalFile(const QString &path)
{
    QFileInfo file(path);
    for (int depth = 0; depth < 128 && file.isSymLink(); ++depth)
        file.setFile(file.symLinkTarget());
    return file;
}

// Syncs the folder `folder`; "" or the system's reason.
QString SyncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return SystemReason(errno);
    const int synced = SyncToDisk(fd);
    const int error = errno;
    ::close(fd);
    return synced == 0 ? QString() : SystemReason(error);
}

} // namespace

QString KeptCopiesFolder()
{
    // The user's state folder: persistent, unlike the temporary folder,
    // which is often held in memory and gone after a power cut.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/mirto");
}

AtomicFileWriter::AtomicFileWriter(const QString &path, bool directWriteFallback)
    : m_path(path), m_fallbackAllowed(directWriteFallback), m_file(path)
{
    // Qt's own fallback truncates the old file before anything is known to
    // fit; the in-place write below keeps a copy first.
    m_file.setDirectWriteFallback(false);
}

AtomicFileWriter::~AtomicFileWriter()
{
    // Given up half way (the caller stopped writing): the old file returns.
    if (m_inPlace && !m_done)
        restoreOldContents();
}

bool AtomicFileWriter::Open()
{
    // Unbuffered: QSaveFile's own buffer would swallow a short write.
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        // Where the rename will happen, worked out as the file was opened.
        m_finalFolder = FinalFile(m_path).absolutePath();
        m_buffer.reserve(BufferSize);
        return true;
    }
    const QFileInfo info = FinalFile(m_path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray file = QFile::encodeName(info.absoluteFilePath());
    if (m_fallbackAllowed && ::access(folder.constData(), W_OK) != 0 && info.isFile()
        && ::access(file.constData(), W_OK) == 0)
        return openInPlace();
    return fail();
}

bool AtomicFileWriter::openInPlace()
{
    // The old contents go aside before the file is cut: whatever happens to
    // the new ones, the old can be put back.
    const auto noCopy = [this](const QString &reason) {
        return failWith(QStringLiteral("No copy of the old file could be kept (%1); it was left as it is.")
                            .arg(reason));
    };
    QFile old(m_path);
    if (!old.open(QIODevice::ReadOnly))
        return failWith(old.errorString());
    const QString folder = KeptCopiesFolder();
    if (!QDir().mkpath(folder))
        return noCopy(QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(folder)));
    // Made here rather than as a temporary file, which the system may keep
    // without a name until it is closed: the folder synced below must hold
    // the name. Only the user may read it (the old contents may be private).
    QByteArray pattern = QFile::encodeName(folder + QStringLiteral("/kept-") + FinalFile(m_path).fileName()
                                           + QStringLiteral("-XXXXXX"));
    const int backupFd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (backupFd < 0)
        return noCopy(SystemReason(errno));
    const QString backupPath = QFile::decodeName(pattern);
    QFile backup;
    if (!backup.open(backupFd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(backupFd);
        QFile::remove(backupPath);
        return noCopy(backup.errorString());
    }
    QString copied = CopyContents(old, backup);
    // The copy's own buffer goes out here; a disk that takes no more says so
    // only now.
    if (copied.isEmpty() && !backup.flush())
        copied = backup.errorString();
    // The copy, and the folder entry that names it, are on the disk before
    // the file is cut: a power cut in between leaves one of the two whole.
    if (copied.isEmpty() && SyncToDisk(backup.handle()) != 0)
        copied = SystemReason(errno);
    backup.close();
    if (copied.isEmpty())
        copied = SyncFolder(folder);
    if (!copied.isEmpty()) {
        QFile::remove(backupPath);
        return noCopy(copied);
    }
    m_direct.setFileName(m_path);
    if (!m_direct.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        QFile::remove(backupPath);
        return failWith(m_direct.errorString());
    }
    m_backupPath = backupPath;
    m_inPlace = true;
    m_buffer.reserve(BufferSize);
    return true;
}

bool AtomicFileWriter::fail()
{
    QFileDevice &device = m_inPlace ? static_cast<QFileDevice &>(m_direct) : m_file;
    return failWith(device.errorString().isEmpty() ? QStringLiteral("Unknown error") : device.errorString());
}

bool AtomicFileWriter::failWith(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason;
    // The reason is read before the writer goes: the old file must be back
    // by then, or the message must say where it is.
    if (m_inPlace && !m_done)
        restoreOldContents();
    return false;
}

void AtomicFileWriter::restoreOldContents()
{
    m_done = true;
    m_direct.close();
    QFile backup(m_backupPath);
    QFile target(m_path);
    QString problem;
    if (!backup.open(QIODevice::ReadOnly))
        problem = backup.errorString();
    else if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        problem = target.errorString();
    else
        problem = CopyContents(backup, target);
    if (problem.isEmpty() && SyncToDisk(target.handle()) != 0)
        problem = SystemReason(errno);
    target.close();
    backup.close();
    if (problem.isEmpty()) {
        QFile::remove(m_backupPath);
        return;
    }
    m_error += QStringLiteral("\n\nThe old contents could not be put back (%1); they are kept in %2.")
                   .arg(problem, QDir::toNativeSeparators(m_backupPath));
}

bool AtomicFileWriter::Write(QByteArrayView bytes)
{
    if (!m_error.isEmpty() || m_done)
        return false;
    if (m_buffer.size() + bytes.size() > BufferSize && !flushBuffer())
        return false;
    if (bytes.size() >= BufferSize)
        return writeOut(bytes.data(), bytes.size());
    m_buffer.append(bytes);
    return true;
}

bool AtomicFileWriter::writeOut(const char *data, qsizetype size)
{
    QFileDevice &device = m_inPlace ? static_cast<QFileDevice &>(m_direct) : m_file;
    for (qsizetype done = 0; done < size;) {
        const qint64 n = device.write(data + done, size - done);
        if (n <= 0)
            return fail();
        done += qsizetype(n);
    }
    return true;
}

bool AtomicFileWriter::flushBuffer()
{
    if (!writeOut(m_buffer.constData(), m_buffer.size()))
        return false;
    m_buffer.clear();
    return true;
}

bool AtomicFileWriter::Commit()
{
    if (!m_error.isEmpty() || m_done || !flushBuffer())
        return false;
    if (m_inPlace) {
        if (SyncToDisk(m_direct.handle()) != 0)
            return failWith(SystemReason(errno));
        m_done = true;
        m_direct.close();
        QFile::remove(m_backupPath);
        return true;
    }
    // QSaveFile syncs too but keeps quiet when that fails.
    if (SyncToDisk(m_file.handle()) != 0) {
        const int error = errno;
        m_file.cancelWriting();
        return failWith(SystemReason(error));
    }
    if (!m_file.commit())
        return fail();
    m_done = true;
    return syncFolder();
}

bool AtomicFileWriter::syncFolder()
{
    // The rename lives in the folder: until the folder is on the disk, a
    // power cut can bring the old file back. It is the folder the rename
    // happened in, which for a symbolic link is the target's.
    const QString reason = SyncFolder(m_finalFolder);
    return reason.isEmpty() || failWith(reason);
}

QString AtomicFileWriter::ErrorString() const
{
    return m_error;
}

QString ReplaceFile(const QString &path, QByteArrayView bytes, bool directWriteFallback)
{
    AtomicFileWriter file(path, directWriteFallback);
    if (file.Open() && file.Write(bytes) && file.Commit())
        return {};
    return file.ErrorString();
}
