#include "core/JobInput.h"

#include "core/config/ConfigFile.h"
#include "core/config/Programming.h"

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

namespace {

// The lines a configuration sends, in order; empty when it sends none.
QList<QByteArray> programmedLines(const DeviceConfigRecord &config, int channelCount)
{
    const ProgrammingPlan plan = ProgrammingSteps(config, channelCount);
    QList<QByteArray> lines;
    if (plan.outcome != ProgrammingPlan::Outcome::Ready)
        return lines;
    for (const ProgrammingStep &step : plan.Steps)
        lines << step.Command;
    return lines;
}

} // namespace

JobInput ConfigJobInput(const DeviceConfigRecord &config, int channelCount, const QByteArray &serialNumber,
                        const QString &sourcePath)
{
    if (!sourcePath.isEmpty()) {
        // Compared by what the device gets, not by bytes or fields: a file
        // written by hand (other key case, comments, another order), or one
        // whose unused fields the window filled in, was not edited when it
        // programs the same lines. Such a file is named by its own hash, the
        // one it has wherever it is programmed from.
        JobInput file;
        DeviceConfigRecord fromFile;
        if (ReadJobInput(sourcePath, ConfigFileMaxBytes, file) && LoadConfigText(file.Bytes, fromFile) == 0) {
            const QList<QByteArray> sent = programmedLines(config, channelCount);
            if (!sent.isEmpty() && sent == programmedLines(fromFile, ChannelsInUse(fromFile)))
                return file;
        }
    }
    return JobInput::FromBytes(sourcePath, FormatConfigFile(config, channelCount, serialNumber), true);
}
