#include "cli/CliInput.h"

#include "cli/CliMain.h"
#include "cli/CliOutput.h"
#include "core/CommandFile.h"
#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"
#include "core/config/Programming.h"
#include "core/firmware/HexImage.h"

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

int readConfiguration(CliRequest &request)
{
    DeviceConfigRecord record;
    ResetConfigRecord(record);
    QString reason;
    if (ReadConfigFile(request.file, record, {}, &reason) != 0) {
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
    return CliSuccess;
}

int readImage(const CliRequest &request, std::shared_ptr<const HexImage> &kept)
{
    auto image = std::make_shared<HexImage>();
    const HexLoadResult load = LoadHexFile(request.file, *image);
    if (load.Result == 0) {
        kept = std::move(image);
        return CliSuccess;
    }
    CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + request.file + QStringLiteral(": ")
                             + (load.Result == -2 ? QStringLiteral("Flash File too large")
                                                  : QStringLiteral("Error in Flash File"))
                             + (load.Messages.isEmpty() ? QString() : QStringLiteral(" (") + load.Messages.constLast() + QLatin1Char(')')));
    return CliBadFile;
}

} // namespace

int ReadJobInput(CliCommandLine &line)
{
    CliRequest &request = line.request;
    switch (request.command) {
    case CliRequest::Command::Identify:
        return CliSuccess;
    case CliRequest::Command::Send:
        return line.commandFile.isEmpty() ? CliSuccess : readCommandFile(line.commandFile, request);
    case CliRequest::Command::Program:
        return readConfiguration(request);
    case CliRequest::Command::Update:
        return readImage(request, line.image);
    }
    return CliSuccess;
}
