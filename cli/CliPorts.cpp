#include "cli/CliPorts.h"

#include "cli/CliMain.h"
#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"
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

// Serial server ports are numbered by hand: ports add/remove.
int changeRemotePort(const QStringList &words)
{
    const bool add = words.at(0) == QLatin1String("add");
    if (words.size() != (add ? 3 : 2))
        return CliUsage(add ? QStringLiteral("ports add wants COMn and rfc2217://HOST:PORT")
                            : QStringLiteral("ports remove wants COMn"));
    const int number = PortNumberOfEntry(words.at(1));
    if (number < 1)
        return CliUsage(QStringLiteral("'%1' is no port: give COMn").arg(words.at(1)));
    const QString problem = add ? AddRemoteComPort(ComPortFolder(), number, words.at(2))
                                : RemoveRemoteComPort(ComPortFolder(), number);
    if (!problem.isEmpty()) {
        CliWriteLine(stderr, QStringLiteral("mirto-cli: ") + problem);
        return CliDeviceFailed;
    }
    CliWriteLine(stdout, add ? QStringLiteral("COM%1 -> %2").arg(number).arg(words.at(2))
                             : QStringLiteral("COM%1 removed").arg(number));
    return CliSuccess;
}

} // namespace

int RunPortsCommand(const QStringList &words, bool json)
{
    if (!words.isEmpty() && (words.at(0) == QLatin1String("add") || words.at(0) == QLatin1String("remove")))
        return changeRemotePort(words);
    if (!words.isEmpty())
        return CliUsage(QStringLiteral("ports takes no arguments, or add COMn rfc2217://HOST:PORT, or remove COMn"));
    try {
        return listPorts(json);
    } catch (const SerialPortError &error) {
        // The message names the folder and the system's reason.
        CliWriteMessage(stderr, QStringLiteral("mirto-cli: "), error.message());
        return CliToolError;
    }
}
