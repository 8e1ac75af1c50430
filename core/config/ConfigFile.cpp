#include "core/config/ConfigFile.h"

#include "core/AtomicFile.h"
#include "core/SendableText.h"

#include <QFile>
#include <QFileInfo>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

char16_t lowerAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

// A key selects the first entry that begins with it, so a shortened key still
// finds its field and the empty key finds the first entry.
const ConfigKeyEntry *findEntry(QStringView key)
{
    for (const ConfigKeyEntry &e : ConfigKeyTable) {
        const qsizetype length = qsizetype(qstrlen(e.Key));
        if (key.size() > length)
            continue;
        qsizetype i = 0;
        while (i < key.size() && lowerAscii(key.at(i).unicode()) == lowerAscii(char16_t(e.Key[i])))
            ++i;
        if (i == key.size())
            return &e;
    }
    return nullptr;
}

// The value of a quoted value, `open` being the index of its opening quote;
// false when the line cannot be used.
bool quotedValue(QStringView line, qsizetype open, QString &value)
{
    qsizetype close = -1;
    for (qsizetype j = open + 1; j < line.size(); ++j) {
        if (line.at(j) == QLatin1Char('"') && line.at(j - 1) != QLatin1Char('\\')) {
            close = j;
            break;
        }
    }
    if (close < 0) {
        // The writer escapes quotes but not backslashes, so a value ending in
        // a backslash is written with an "escaped" closing quote. A quote as
        // the last thing on the line can only be that closing quote.
        qsizetype last = line.size() - 1;
        while (last > open && isBlank(line.at(last)))
            --last;
        if (last <= open || line.at(last) != QLatin1Char('"'))
            return false;
        close = last;
    }
    value = line.mid(open + 1, close - open - 1).toString();
    return true;
}

// The entry a setting line names and its value; null when the line is no
// setting.
const ConfigKeyEntry *parseLine(QStringView line, QString &value)
{
    qsizetype i = 0;
    while (i < line.size() && isBlank(line.at(i)))
        ++i;
    const qsizetype equals = line.indexOf(QLatin1Char('='), i);
    if (equals < 0)
        return nullptr;
    const ConfigKeyEntry *entry = findEntry(line.mid(i, equals - i));
    if (!entry)
        return nullptr;
    i = equals + 1;
    while (i < line.size() && isBlank(line.at(i)))
        ++i;
    if (i < line.size() && line.at(i) == QLatin1Char('"')) {
        if (!quotedValue(line, i, value))
            return nullptr;
    } else {
        qsizetype end = i;
        while (end < line.size() && !isBlank(line.at(end)))
            ++end;
        value = line.mid(i, end - i).toString();
    }
    value.replace(QStringLiteral("\\\""), QStringLiteral("\""));
    return entry;
}

QByteArray fileValue(const QByteArray &value)
{
    if (!value.contains(' ') && !value.contains('\t') && !value.contains('"'))
        return value;
    QByteArray escaped = value;
    escaped.replace("\"", "\\\"");
    return '"' + escaped + '"';
}

QByteArray addressValue(const QByteArray &value)
{
    return value.isEmpty() ? QByteArray("0.0.0.0") : fileValue(value);
}

// Anything else (a short or garbled device answer) could split the first
// line or turn it into a key line.
bool isPlainSerialNumber(const QByteArray &serial)
{
    if (serial.size() != 5)
        return false;
    for (char c : serial) {
        if (c < 0x20 || c > 0x7e || c == '=')
            return false;
    }
    return true;
}

void tell(const StatusSink &status, const char *text)
{
    if (status)
        status(QString::fromLatin1(text));
}

} // namespace

QString ConfigValueFault::Message() const
{
    QString text = QStringLiteral("Line %1, %2").arg(Line).arg(Key);
    if (Fault.Column > 0)
        text += QStringLiteral(", character %1").arg(Fault.Column);
    return text + QStringLiteral(": ") + Fault.Reason();
}

int ParseConfigText(const QByteArray &fileText, DeviceConfigRecord &config, ConfigValueFault *fault)
{
    int settings = 0;
    const QString text = DecodeDeviceText(fileText);
    // Lines are read whole, however long: a piece of a long line must never be
    // taken for a line of its own. A carriage return anywhere ends a line, so
    // no value can carry one into a device command line.
    qsizetype start = 0;
    int number = 0;
    while (start <= text.size()) {
        qsizetype end = start;
        while (end < text.size() && text.at(end) != QLatin1Char('\n') && text.at(end) != QLatin1Char('\r'))
            ++end;
        ++number;
        QStringView line = QStringView(text).mid(start, end - start);
        if (const qsizetype nul = line.indexOf(QChar(0)); nul >= 0)
            line.truncate(nul);
        QString value;
        if (const ConfigKeyEntry *entry = parseLine(line, value)) {
            // Every value is a text the device is given or keeps: what it
            // cannot take is refused here rather than stored garbled. A value
            // too long for its field is cut, as it always was.
            const SendableFault problem = CheckSendableLine(value);
            if (problem.IsFault() && problem.kind != SendableFault::Kind::TooLong) {
                if (fault)
                    *fault = {number, QString::fromLatin1(entry->Key), problem};
                return settings;
            }
            entry->Field(config).set(value.toLatin1());
            ++settings;
        }
        // A CR LF pair is one line end, so that line numbers are the editor's.
        const bool crLf = end + 1 < text.size() && text.at(end) == QLatin1Char('\r')
                          && text.at(end + 1) == QLatin1Char('\n');
        start = end + (crLf ? 2 : 1);
    }
    return settings;
}

int LoadConfigText(const QByteArray &text, DeviceConfigRecord &config, const StatusSink &status, QString *reason)
{
    auto refuse = [&](const QString &why) {
        if (reason)
            *reason = why;
        return -1;
    };
    // What no configuration file looks like is refused before the record is
    // touched: the user's settings are not swapped for defaults.
    if (text.size() > ConfigFileMaxBytes)
        return refuse(QStringLiteral("It is larger than %1 KB; a configuration file is a few "
                                     "hundred bytes.")
                          .arg(ConfigFileMaxBytes / 1024));
    if (text.isEmpty())
        return refuse(QStringLiteral("It is empty."));
    if (text.contains('\0'))
        return refuse(QStringLiteral("It holds bytes of value zero: it is a binary file, not a "
                                     "configuration file."));
    DeviceConfigRecord parsed;
    ResetConfigRecord(parsed);
    ConfigValueFault fault;
    const int settings = ParseConfigText(text, parsed, &fault);
    if (fault.Fault.IsFault())
        return refuse(fault.Message() + QStringLiteral(". Nothing was loaded."));
    if (settings == 0)
        return refuse(QStringLiteral("Not one of its lines is a setting (key=value): it is not a "
                                     "configuration file."));
    tell(status, "settings to default");
    tell(status, "parsing configuration file");
    config = parsed;
    return 0;
}

int ReadConfigFile(const QString &path, DeviceConfigRecord &config, const StatusSink &status,
                   QString *reason)
{
    auto refuse = [&](const QString &why) {
        if (reason)
            *reason = why;
        return -1;
    };
    QFile file(path);
    // A FIFO or a device could block the open or never end.
    const QFileInfo info(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        tell(status, "Unable to open configuration file");
        if (!info.exists())
            return refuse(QStringLiteral("There is no such file."));
        if (!info.isFile())
            return refuse(QStringLiteral("It is not a file."));
        return refuse(QStringLiteral("It cannot be read: ") + file.errorString());
    }
    tell(status, "opened configuration file");
    const QByteArray text = file.read(ConfigFileMaxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(QStringLiteral("It cannot be read: ") + file.errorString());
    file.close();
    if (LoadConfigText(text, config, status, reason) != 0)
        return -1;
    tell(status, "closed configuration file");
    return 0;
}

QString ConfigFileErrorText(const QString &path, const QString &reason)
{
    QString text = QStringLiteral("Error opening configuration file\r\n") + path;
    if (!reason.isEmpty())
        text += QStringLiteral("\r\n\r\n") + reason;
    return text;
}

QByteArray FormatConfigFile(const DeviceConfigRecord &config, int channelCount,
                            const QByteArray &serialNumber)
{
    QByteArray out;
    auto line = [&out](const QByteArray &text) { out += text + "\r\n"; };
    line(isPlainSerialNumber(serialNumber) ? serialNumber : QByteArray("00000"));
    line("0");
    line("type=" + fileValue(config.Type.value()));
    line("mode=" + fileValue(config.Mode.value()));
    line("webmethod=" + fileValue(config.WebMethod.value()));
    line("ispname=" + fileValue(config.IspName.value()));
    line("ispnumber=" + fileValue(config.IspNumber.value()));
    line("ispusername=" + fileValue(config.IspUserName.value()));
    line("isppassword=" + fileValue(config.IspPassword.value()));
    line("ispdburl=" + fileValue(config.IspDbUrl.value()));
    line("ispudurl=" + fileValue(config.IspUdUrl.value()));
    line("ispudenable=" + fileValue(config.IspUdEnable.value()));
    line("IPAddress=" + addressValue(config.IPAddress.value()));
    line("Gateway=" + addressValue(config.Gateway.value()));
    line("DNS1=" + addressValue(config.DNS1.value()));
    line("DNS2=" + addressValue(config.DNS2.value()));
    line("Network=" + fileValue(config.Network.value()));
    const int slots = qBound(0, channelCount, ConfigChannelSlots);
    for (int n = 1; n <= slots; ++n) {
        const ConfigChannel &channel = config.Channels[n - 1];
        if (channel.Name.isEmpty())
            continue;
        const QByteArray number = QByteArray::number(n);
        line("ch" + number + "name=" + fileValue(channel.Name.value()));
        line("ch" + number + "url=" + fileValue(channel.Url.value()));
    }
    line("Serial#=" + fileValue(config.Serial.value()));
    // The reader takes a file that is valid UTF-8 for UTF-8. One byte a
    // character it is, unless those bytes happen to read as UTF-8 too ("Ã©"
    // would come back as "é"): such a file is written as UTF-8, so that it
    // reads back as it was.
    if (DecodeDeviceText(out) != QString::fromLatin1(out))
        out = QString::fromLatin1(out).toUtf8();
    return out;
}

int WriteConfigFile(const QString &path, const DeviceConfigRecord &config, int channelCount,
                    const QByteArray &serialNumber, const StatusSink &status,
                    QString *systemError)
{
    auto fail = [&](const QString &reason) {
        tell(status, "Unable to create config file");
        if (systemError)
            *systemError = reason;
        return -1;
    };
    // An unfinished copy is removed when `file` goes; the old file stays.
    AtomicFileWriter file(path);
    if (!file.Open())
        return fail(file.ErrorString());
    tell(status, "creating config file");
    if (!file.Write(FormatConfigFile(config, channelCount, serialNumber)) || !file.Commit())
        return fail(file.ErrorString());
    tell(status, "closed configuration file");
    return 0;
}
