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

QJsonObject AuditEntry::ToJson() const
{
    return QJsonObject {
        {QStringLiteral("time"), time},
        {QStringLiteral("user"), user},
        {QStringLiteral("host"), hostName},
        {QStringLiteral("action"), action},
        {QStringLiteral("interface"), interface},
        {QStringLiteral("port"), port},
        {QStringLiteral("serial_before"), serialBefore},
        {QStringLiteral("serial_after"), serialAfter},
        {QStringLiteral("version_before"), versionBefore},
        {QStringLiteral("version_after"), versionAfter},
        {QStringLiteral("file"), file},
        {QStringLiteral("sha256"), sha256},
        {QStringLiteral("ok"), ok},
        {QStringLiteral("reason"), reason},
    };
}

AuditEntry AuditEntry::FromJson(const QJsonObject &object)
{
    AuditEntry entry;
    const auto text = [&](const char *key) { return object.value(QLatin1String(key)).toString(); };
    entry.time = text("time");
    entry.user = text("user");
    entry.hostName = text("host");
    entry.action = text("action");
    entry.interface = text("interface");
    entry.port = text("port");
    entry.serialBefore = text("serial_before");
    entry.serialAfter = text("serial_after");
    entry.versionBefore = text("version_before");
    entry.versionAfter = text("version_after");
    entry.file = text("file");
    entry.sha256 = text("sha256");
    entry.ok = object.value(QStringLiteral("ok")).toBool();
    entry.reason = text("reason");
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
