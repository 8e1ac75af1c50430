#include "core/JobInput.h"

#include "core/config/ConfigFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

JobInput JobInput::FromBytes(const QString &path, const QByteArray &bytes, bool edited)
{
    JobInput input;
    input.Path = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    input.Bytes = bytes;
    input.Sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    input.Edited = edited;
    return input;
}

bool ReadJobInput(const QString &path, qint64 maxBytes, JobInput &input, QString *reason)
{
    const auto refuse = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return refuse(QStringLiteral("There is no such file."));
    if (!info.isFile())
        return refuse(QStringLiteral("It is not a file."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("It cannot be read: ") + file.errorString());
    // One byte more than allowed tells a file that grew past the limit.
    const QByteArray bytes = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(QStringLiteral("It cannot be read: ") + file.errorString());
    if (bytes.size() > maxBytes)
        return refuse(QStringLiteral("It is larger than %1 KB.").arg(maxBytes / 1024));
    input = JobInput::FromBytes(path, bytes);
    return true;
}

JobInput ConfigJobInput(const DeviceConfigRecord &config, int channelCount, const QByteArray &serialNumber,
                        const QString &sourcePath)
{
    const QByteArray programmed = FormatConfigFile(config, channelCount, serialNumber);
    // Compared as the file's settings, not its bytes: a file written by hand
    // (other key case, comments, another order) that holds the same
    // configuration was not edited.
    bool edited = true;
    if (!sourcePath.isEmpty()) {
        DeviceConfigRecord fromFile;
        if (ReadConfigFile(sourcePath, fromFile) == 0)
            edited = FormatConfigFile(fromFile, ChannelsInUse(fromFile), serialNumber) != programmed;
    }
    return JobInput::FromBytes(sourcePath, programmed, edited);
}
