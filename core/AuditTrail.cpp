#include "core/AuditTrail.h"

#include "core/JobJournal.h"
#include "core/ToolSettings.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>
#include <utility>
#include <pwd.h>
#include <unistd.h>

namespace {

QString currentUser()
{
    if (const passwd *entry = ::getpwuid(::geteuid()); entry && entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name);
    const QString fromEnv = qEnvironmentVariable("USER");
    return fromEnv.isEmpty() ? QString::number(::geteuid()) : fromEnv;
}

} // namespace

namespace {

// The entry's text fields and their keys in the trail: written and read
// through the one list, so that the two never disagree.
const std::pair<const char *, QString AuditEntry::*> TextFields[] = {
    {"time", &AuditEntry::time},
    {"user", &AuditEntry::user},
    {"host", &AuditEntry::hostName},
    {"action", &AuditEntry::action},
    {"interface", &AuditEntry::interface},
    {"port", &AuditEntry::port},
    {"serial_before", &AuditEntry::serialBefore},
    {"serial_after", &AuditEntry::serialAfter},
    {"version_before", &AuditEntry::versionBefore},
    {"version_after", &AuditEntry::versionAfter},
    {"file", &AuditEntry::file},
    {"sha256", &AuditEntry::sha256},
    {"reason", &AuditEntry::reason},
};

} // namespace

QJsonObject AuditEntry::ToJson() const
{
    QJsonObject object;
    for (const auto &[key, field] : TextFields)
        object.insert(QLatin1String(key), this->*field);
    object.insert(QStringLiteral("edited"), edited);
    object.insert(QStringLiteral("ok"), ok);
    return object;
}

AuditEntry AuditEntry::FromJson(const QJsonObject &object)
{
    AuditEntry entry;
    for (const auto &[key, field] : TextFields)
        entry.*field = object.value(QLatin1String(key)).toString();
    entry.edited = object.value(QStringLiteral("edited")).toBool();
    entry.ok = object.value(QStringLiteral("ok")).toBool();
    return entry;
}

QString AuditTrailPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/mirto/audit.jsonl");
}

bool AppendAuditEntry(AuditEntry entry, QString *error, const QString &path)
{
    if (entry.time.isEmpty())
        entry.time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    if (entry.user.isEmpty())
        entry.user = currentUser();
    if (entry.hostName.isEmpty())
        entry.hostName = QSysInfo::machineHostName();
    const auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("The device history %1 cannot be written: %2").arg(path, why);
        return false;
    };
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("the folder %1 cannot be made").arg(folder));
    QString why;
    if (!AppendSyncedLine(path, QJsonDocument(entry.ToJson()).toJson(QJsonDocument::Compact) + '\n', &why))
        return fail(why);
    return true;
}

QList<AuditEntry> ReadAuditTrail(const QString &serialFilter, const QString &path)
{
    QList<AuditEntry> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QString filter = serialFilter.trimmed();
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            continue;
        AuditEntry entry = AuditEntry::FromJson(document.object());
        if (!filter.isEmpty() && !entry.serialBefore.contains(filter, Qt::CaseInsensitive)
            && !entry.serialAfter.contains(filter, Qt::CaseInsensitive))
            continue;
        entries.append(std::move(entry));
    }
    std::reverse(entries.begin(), entries.end());
    return entries;
}

QString FileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

QString InterfaceName(int interfaceKind)
{
    switch (interfaceKind) {
    case InterfaceNetwork:
        return QStringLiteral("network");
    case InterfaceUsb:
        return QStringLiteral("usb");
    default:
        return QStringLiteral("serial");
    }
}
