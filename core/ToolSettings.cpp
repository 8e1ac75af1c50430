#include "core/ToolSettings.h"

#include "core/links/ComPorts.h"
#include "core/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStandardPaths>

namespace {

QString pathFromBytes(const QByteArray &bytes)
{
    return QFile::decodeName(bytes);
}

QByteArray pathToBytes(const QString &path)
{
    return QFile::encodeName(path);
}

bool readNumber(const QByteArray &text, int &value)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok, 10);
    if (ok)
        value = n;
    return ok;
}

} // namespace

QString ToolConfigFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/mirto");
}

void ParseSettings(const QByteArray &fileText, StoredSettings &s)
{
    const QList<QByteArray> lines = fileText.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (i == lines.size() - 1 && line.isEmpty())
            break; // the text after the final line end
        if (line.endsWith('\r'))
            line.chop(1);
        // A path may hold any text, another key's name too: the line of a
        // path is read for that path alone.
        const bool pathLine = line.startsWith("[Bootfile]=") || line.startsWith("[Configfile]=");
        auto valueOf = [&line, pathLine](const char *key) -> std::optional<QByteArray> {
            if (pathLine ? !line.startsWith(key) : !line.contains(key))
                return std::nullopt;
            return line.mid(qsizetype(qstrlen(key)) + 1);
        };
        if (auto v = valueOf("[Port]")) {
            const int n = PortNumberOfEntry(QString::fromLatin1(*v));
            if (n >= 1 && n <= 16)
                s.PortNum = n;
        }
        if (auto v = valueOf("[User]"); v && v->compare("expert", Qt::CaseInsensitive) == 0)
            s.UserLevel = 1;
        if (auto v = valueOf("[Bootload]"); v && v->compare("yes", Qt::CaseInsensitive) == 0)
            s.Bootload = true;
        if (auto v = valueOf("[Bootfile]"))
            s.BootFile = pathFromBytes(*v);
        if (auto v = valueOf("[UploadSpeed]"); v && readNumber(*v, s.UploadSpeed))
            s.UploadSpeed = qBound(0, s.UploadSpeed, MaxUploadSpeed);
        if (auto v = valueOf("[Configfile]")) {
            s.ConfigFile = pathFromBytes(*v);
            s.ConfigFileNamed = true;
        }
        if (auto v = valueOf("[Interface]")) {
            if (v->compare("network", Qt::CaseInsensitive) == 0)
                s.InterfaceType = InterfaceNetwork;
            else if (v->compare("usb", Qt::CaseInsensitive) == 0)
                s.InterfaceType = InterfaceUsb;
        }
        if (auto v = valueOf("[TypeRestriction]"); v && v->compare("E", Qt::CaseInsensitive) == 0)
            s.TypeRestriction = 'E';
    }
}

QByteArray FormatSettings(const ToolSettings &s, const QString &portEntry)
{
    QByteArray out;
    auto line = [&out](const QByteArray &text) { out += text + "\r\n"; };
    line("[Port]=" + (s.InterfaceType == InterfaceSerial ? portEntry.toLatin1() : QByteArray("COM1")));
    line(QByteArray("[User]=") + (s.UserLevel == 1 ? "expert" : "beginner"));
    line(QByteArray("[Bootload]=") + (s.Bootload ? "yes" : "no"));
    line("[Bootfile]=" + pathToBytes(s.BootFile));
    line("[UploadSpeed]=" + QByteArray(1, char('0' + qBound(0, s.UploadSpeed, MaxUploadSpeed))));
    line("[Configfile]=" + pathToBytes(s.ConfigFile));
    const char *kind = s.InterfaceType == InterfaceUsb       ? "usb"
                       : s.InterfaceType == InterfaceNetwork ? "network"
                                                             : "serial";
    line(QByteArray("[Interface]=") + kind);
    line(QByteArray("[TypeRestriction]=") + (s.TypeRestriction == 'E' ? "E" : "N"));
    return out;
}

int ReadSettingsFile(const QString &path, StoredSettings &settings, const StatusSink &status)
{
    QFile file(path);
    // Only a plain file is read, and only its start: a pipe or a device in
    // its place would block the start-up, a huge file would eat the memory.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        status(QStringLiteral("Unable to open ini-file"));
        return -1;
    }
    status(QStringLiteral("opened ini-file"));
    status(QStringLiteral("parsing ini file"));
    ParseSettings(file.read(MaxSettingsFileSize), settings);
    file.close();
    status(QStringLiteral("closed ini-file"));
    return 0;
}

bool WriteSettingsFile(const QString &path, const ToolSettings &settings,
                       const QString &portEntry, const StatusSink &status)
{
    // Always a new file moved into place: rewriting in place could leave a
    // cut-off settings file behind when the write fails half-way.
    AtomicFileWriter file(path);
    if (!file.Open()) {
        status(QStringLiteral("Unable to create ini-file"));
        return false;
    }
    status(QStringLiteral("creating ini-file"));
    if (!file.Write(FormatSettings(settings, portEntry)) || !file.Commit()) {
        status(QStringLiteral("Unable to create ini-file"));
        return false;
    }
    status(QStringLiteral("closed ini-file"));
    return true;
}
