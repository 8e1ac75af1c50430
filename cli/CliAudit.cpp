#include "cli/CliAudit.h"

#include "cli/CliOutput.h"
#include "core/AuditTrail.h"


void AuditDeviceJob(const CliTarget &target, const CliRequest &request, const AuditFacts &facts, CliResult &result)
{
    AuditEntry entry;
    entry.action = CliCommandName(request.command);
    entry.interface = target.kind == CliTarget::Kind::Network ? QStringLiteral("network")
                      : target.kind == CliTarget::Kind::Usb   ? QStringLiteral("usb")
                                                              : QStringLiteral("serial");
    entry.port = target.Label();
    entry.serialBefore = facts.serialBefore;
    entry.versionBefore = facts.versionBefore;
    entry.serialAfter = facts.serialAfter;
    entry.versionAfter = facts.versionAfter;
    // The bytes the job read at its start, which the device was given.
    if (request.input) {
        entry.file = request.input->Path;
        entry.sha256 = request.input->Sha256;
        entry.edited = request.input->Edited;
    }
    entry.ok = result.ok;
    entry.reason = result.ok ? QString() : result.error.simplified();
    QString problem;
    if (!AppendAuditEntry(entry, &problem)) {
        CliWarn(QStringLiteral("mirto-cli: %1: %2").arg(target.Label(), problem));
        result.data.insert(QStringLiteral("audit_error"), problem);
    }
}
