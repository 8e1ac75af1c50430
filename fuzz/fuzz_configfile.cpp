// The configuration file reader, fed any text, and the writer behind it. Two
// records come from every input: the one the reader makes of it, and one
// whose fields are filled straight from its lines, as the configure dialog
// fills them from what the user typed. Each is written to a file and read
// back, and must come back as it was.

#include "core/SendableText.h"
#include "core/config/ConfigFile.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// A field never holds more than its capacity, always ends in a zero byte, and
// is zero behind its text.
template <int Capacity>
void CheckField(const FixedText<Capacity> &field)
{
    const char *bytes = field.data();
    const std::size_t length = std::strlen(bytes);
    FUZZ_CHECK(length <= std::size_t(Capacity));
    for (std::size_t i = length; i < std::size_t(Capacity) + 1; ++i)
        FUZZ_CHECK(bytes[i] == '\0');
}

void CheckRecord(const DeviceConfigRecord &r)
{
    CheckField(r.Mode);
    CheckField(r.Type);
    CheckField(r.Network);
    CheckField(r.WebMethod);
    CheckField(r.IspName);
    CheckField(r.IspNumber);
    CheckField(r.IspUserName);
    CheckField(r.IspPassword);
    CheckField(r.IspDbUrl);
    CheckField(r.IspUdUrl);
    CheckField(r.IspUdEnable);
    CheckField(r.IPAddress);
    CheckField(r.Gateway);
    CheckField(r.DNS1);
    CheckField(r.DNS2);
    for (const ConfigChannel &channel : r.Channels) {
        CheckField(channel.Name);
        CheckField(channel.Url);
    }
    CheckField(r.Serial);
}

// The record as a file written from `r` must give it back: only the named
// slots among the first `channelCount` are written, and an empty address is
// written as 0.0.0.0.
DeviceConfigRecord AsWritten(DeviceConfigRecord r, int channelCount)
{
    for (int n = 0; n < ConfigChannelSlots; ++n) {
        if (n >= channelCount || r.Channels[n].Name.isEmpty()) {
            r.Channels[n].Name.clear();
            r.Channels[n].Url.clear();
        }
    }
    for (auto *address : {&r.IPAddress, &r.Gateway, &r.DNS1, &r.DNS2}) {
        if (address->isEmpty())
            address->set("0.0.0.0");
    }
    return r;
}

void RoundTrip(const DeviceConfigRecord &record, int channelCount, const QByteArray &serial)
{
    const QString path = fuzz::ScratchFile("device.cfg");
    QString error;
    FUZZ_CHECK(WriteConfigFile(path, record, channelCount, serial, {}, &error) == 0);
    DeviceConfigRecord back;
    FUZZ_CHECK(ReadConfigFile(path, back) == 0);
    CheckRecord(back);
    DeviceConfigRecord expected = AsWritten(record, channelCount);
    for (const ConfigKeyEntry &e : ConfigKeyTable) {
        if (e.Field(back).value() != e.Field(expected).value()) {
            std::fprintf(stderr, "field %s: wrote \"%s\", read \"%s\"\n", e.Key,
                         e.Field(expected).value().constData(),
                         e.Field(back).value().constData());
        }
    }
    FUZZ_CHECK(back == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));

    DeviceConfigRecord parsed;
    ResetConfigRecord(parsed);
    ParseConfigText(text, parsed);
    CheckRecord(parsed);

    // The serial number heading the file is the device's answer, which may be
    // anything; the count is the dialog's, which may exceed the slots.
    const QByteArray serial = text.left(text.indexOf('\n')).left(7);
    const int channelCount = size > 0 ? int(data[size - 1] % (ConfigChannelSlots + 3)) : 0;
    RoundTrip(parsed, channelCount, serial);

    // Typed fields: the characters typing lets through, those the device
    // takes (line ends, other control bytes and '>' cannot be typed).
    DeviceConfigRecord typed;
    ResetConfigRecord(typed);
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size() && i < qsizetype(ConfigKeyTable.size()); ++i) {
        QByteArray value;
        for (const char c : lines.at(i)) {
            if (IsSendableChar(char32_t(quint8(c))))
                value += c;
        }
        ConfigKeyTable[std::size_t(i)].Field(typed).set(value);
    }
    CheckRecord(typed);
    RoundTrip(typed, ConfigChannelSlots, serial);
    return 0;
}
