#include "core/JobJournal.h"

#include "core/DiskSync.h"
#include "core/JsonLines.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool AppendSyncedLine(const QString &path, const QByteArray &line, QString *why)
{
    const auto fail = [&](int code) {
        if (why)
            *why = QString::fromLocal8Bit(std::strerror(code));
        return false;
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(errno);
    // Several programs append at once (a bench runs many, the trail is
    // shared): one write per line under a lock keeps lines whole.
    ::flock(fd, LOCK_EX);
    // A line cut off by a crash must not swallow the next one.
    QByteArray whole = line;
    if (const off_t end = ::lseek(fd, 0, SEEK_END); end > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, end - 1) == 1 && last != '\n')
            whole.prepend('\n');
    }
    const char *data = whole.constData();
    qsizetype left = whole.size();
    int problem = 0;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            problem = errno;
            break;
        }
        if (written == 0) {
            problem = ENOSPC;
            break;
        }
        data += written;
        left -= written;
    }
    if (problem == 0 && SyncToDisk(fd) != 0)
        problem = errno;
    ::flock(fd, LOCK_UN);
    if (::close(fd) != 0 && problem == 0)
        problem = errno;
    return problem == 0 ? true : fail(problem);
}

bool JobJournal::CheckWritable(QString *error) const
{
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (error)
        *error = QStringLiteral("The journal %1 cannot be written: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool JobJournal::Append(const QJsonObject &result, QString *error) const
{
    QString why;
    if (AppendSyncedLine(m_path, JsonLine(result) + '\n', &why))
        return true;
    if (error)
        *error = QStringLiteral("The journal %1 cannot be written: %2").arg(m_path, why);
    return false;
}

bool JobJournal::Succeeded(const QString &command, const QString &sha256, QSet<QString> &done, QString *error,
                           QHash<QString, QString> *ports) const
{
    done.clear();
    if (ports)
        ports->clear();
    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("The journal %1 cannot be read: %2").arg(m_path, file.errorString());
        return false;
    }
    QHash<QString, bool> last;
    QHash<QString, QString> portOf;
    while (!file.atEnd()) {
        const QJsonDocument document = QJsonDocument::fromJson(file.readLine().trimmed());
        if (!document.isObject())
            continue;
        const QJsonObject object = document.object();
        if (object.value(QStringLiteral("command")).toString() != command
            || object.value(QStringLiteral("sha256")).toString() != sha256)
            continue;
        const QString device = object.value(QStringLiteral("device")).toString();
        last.insert(device, object.value(QStringLiteral("ok")).toBool());
        portOf.insert(device, object.value(QStringLiteral("port")).toString());
    }
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("The journal %1 cannot be read: %2").arg(m_path, file.errorString());
        return false;
    }
    for (auto it = last.cbegin(); it != last.cend(); ++it) {
        if (!it.value())
            continue;
        done.insert(it.key());
        if (ports && !portOf.value(it.key()).isEmpty())
            ports->insert(portOf.value(it.key()), it.key());
    }
    return true;
}
