#include "cli/CliPorts.h"

#include "cli/CliMain.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "core/links/ComPorts.h"
#include "core/links/SerialPortError.h"
#include "core/links/UsbPortDetect.h"

#include <QJsonObject>

namespace {

int listPorts(bool json)
{
    QStringList names;
    EnumComPorts(names);
    const int usb = FindMirtoUsbPort();
    for (const QString &name : names) {
        const int number = PortNumberOfEntry(name);
        const QString target = ComPortTarget(number);
        if (json)
            CliWriteObject(QJsonObject {
                {QStringLiteral("port"), name},
                {QStringLiteral("device"), target},
                {QStringLiteral("usb"), number == usb},
            });
        else
            CliWriteLine(stdout, name + QStringLiteral(" -> ") + target
                                     + (number == usb ? QStringLiteral("  (USB cable)") : QString()));
    }
    return CliSuccess;
}

} // namespace

int RunPortsCommand(const QStringList &words, bool json)
{
    if (!words.isEmpty())
        return CliUsage(QStringLiteral("ports takes no arguments"));
    try {
        return listPorts(json);
    } catch (const SerialPortError &error) {
        CliWriteMessage(stderr, QStringLiteral("mirto-cli: "),
                        QStringLiteral("The ports folder %1 cannot be made or read: %2").arg(ComPortFolder(), error.message()));
        return CliToolError;
    }
}
