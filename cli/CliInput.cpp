#include "cli/CliInput.h"

#include "cli/CliMain.h"
#include "cli/CliOutput.h"
#include "core/CommandFile.h"
#include "core/JobInput.h"
#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"
#include "core/config/Programming.h"
#include "core/firmware/HexImage.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

int readCommandFile(const QString &path, CliRequest &request)
{
    const QString problem = ReadCommandFile(path, request.commandFile);
    if (problem.isEmpty())
        return CliSuccess;
    CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + path + QStringLiteral(": ") + problem);
    return CliBadFile;
}

// The configuration the bytes hold, by the configuration file's own reading
// and checks, fed exactly the bytes that were hashed (a private copy: the
// user's file may change meanwhile). False with the reason for the user.
bool readConfiguration(const QByteArray &bytes, DeviceConfigRecord &record, QString &reason)
{
    QTemporaryDir dir;
    QFile copy(dir.filePath(QStringLiteral("job.cfg")));
    if (!dir.isValid() || !copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.flush()) {
        reason = QStringLiteral("It cannot be read: no room for a private copy (%1).").arg(copy.errorString());
        return false;
    }
    copy.close();
    ResetConfigRecord(record);
    return ReadConfigFile(copy.fileName(), record, {}, &reason) == 0;
}

int readProgram(CliRequest &request)
{
    JobInput input;
    QString reason;
    DeviceConfigRecord record;
    if (!ReadJobInput(request.file, ConfigFileMaxBytes, input, &reason)
        || !readConfiguration(input.Bytes, record, reason)) {
        CliWriteMessage(stderr, QStringLiteral("mirto-cli: "), ConfigFileErrorText(request.file, reason));
        return CliBadFile;
    }
    // A file may hold a value the device cannot take; it is refused here,
    // before any device hears of it.
    const ProgrammingPlan plan = ProgrammingSteps(record, ChannelsInUse(record));
    if (plan.outcome == ProgrammingPlan::Outcome::ValueRefused) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ") + plan.Refusal);
        return CliBadFile;
    }
    request.plan = std::make_shared<const ProgrammingPlan>(plan);
    request.input = std::make_shared<const JobInput>(input);
    return CliSuccess;
}

// The image is kept for a plan, which counts its pages.
int readUpdate(CliRequest &request, std::shared_ptr<const HexImage> &kept)
{
    JobInput input;
    QString reason;
    if (!ReadJobInput(request.file, HexFileMaxBytes, input, &reason)) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": Unable to open Hex File: ")
                                 + reason);
        return CliBadFile;
    }
    auto image = std::make_shared<HexImage>();
    const HexLoadResult load = ParseHexImage(input.Bytes, *image);
    if (load.Result != 0) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ")
                                 + (load.Result == -2 ? QStringLiteral("Flash File too large")
                                                      : QStringLiteral("Error in Flash File"))
                                 + (load.Messages.isEmpty() ? QString() : QStringLiteral(" (") + load.Messages.constLast() + QLatin1Char(')')));
        return CliBadFile;
    }
    request.input = std::make_shared<const JobInput>(input);
    kept = std::move(image);
    return CliSuccess;
}

} // namespace

int ReadCliInput(CliCommandLine &line)
{
    CliRequest &request = line.request;
    switch (request.command) {
    case CliRequest::Command::Identify:
        return CliSuccess;
    case CliRequest::Command::Send:
        return line.commandFile.isEmpty() ? CliSuccess : readCommandFile(line.commandFile, request);
    case CliRequest::Command::Program:
        return readProgram(request);
    case CliRequest::Command::Update:
        return readUpdate(request, line.image);
    }
    return CliSuccess;
}
