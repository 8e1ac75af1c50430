#include "core/config/DeviceConfig.h"

#include <QString>

DeviceConfigRecord DeviceConfig;

namespace {

template <auto Member>
ConfigFieldRef field(DeviceConfigRecord &record)
{
    return record.*Member;
}

template <int Slot>
ConfigFieldRef channelUrl(DeviceConfigRecord &record)
{
    return record.Channels[Slot].Url;
}

template <int Slot>
ConfigFieldRef channelName(DeviceConfigRecord &record)
{
    return record.Channels[Slot].Name;
}

template <auto Member>
constexpr ConfigKeyEntry entry(const char *key)
{
    using Field = std::remove_reference_t<decltype(std::declval<DeviceConfigRecord &>().*Member)>;
    return {key, field<Member>, Field::size};
}

template <int Slot>
constexpr ConfigKeyEntry urlEntry(const char *key)
{
    return {key, channelUrl<Slot>, decltype(ConfigChannel::Url)::size};
}

template <int Slot>
constexpr ConfigKeyEntry nameEntry(const char *key)
{
    return {key, channelName<Slot>, decltype(ConfigChannel::Name)::size};
}

} // namespace

constinit const std::array<ConfigKeyEntry, ConfigKeyCount> ConfigKeyTable = {{
    entry<&DeviceConfigRecord::Mode>("Mode"),
    entry<&DeviceConfigRecord::Type>("Type"),
    entry<&DeviceConfigRecord::WebMethod>("WebMethod"),
    entry<&DeviceConfigRecord::Network>("Network"),
    entry<&DeviceConfigRecord::IspName>("IspName"),
    entry<&DeviceConfigRecord::IspNumber>("IspNumber"),
    entry<&DeviceConfigRecord::IspUserName>("IspUserName"),
    entry<&DeviceConfigRecord::IspPassword>("IspPassword"),
    entry<&DeviceConfigRecord::IspDbUrl>("IspDbUrl"),
    entry<&DeviceConfigRecord::IspUdUrl>("IspUdUrl"),
    entry<&DeviceConfigRecord::IspUdEnable>("IspUdEnable"),
    urlEntry<0>("Ch1Url"),   nameEntry<0>("Ch1Name"),
    urlEntry<1>("Ch2Url"),   nameEntry<1>("Ch2Name"),
    urlEntry<2>("Ch3Url"),   nameEntry<2>("Ch3Name"),
    urlEntry<3>("Ch4Url"),   nameEntry<3>("Ch4Name"),
    urlEntry<4>("Ch5Url"),   nameEntry<4>("Ch5Name"),
    urlEntry<5>("Ch6Url"),   nameEntry<5>("Ch6Name"),
    urlEntry<6>("Ch7Url"),   nameEntry<6>("Ch7Name"),
    urlEntry<7>("Ch8Url"),   nameEntry<7>("Ch8Name"),
    urlEntry<8>("Ch9Url"),   nameEntry<8>("Ch9Name"),
    urlEntry<9>("Ch10Url"),  nameEntry<9>("Ch10Name"),
    urlEntry<10>("Ch11Url"), nameEntry<10>("Ch11Name"),
    urlEntry<11>("Ch12Url"), nameEntry<11>("Ch12Name"),
    urlEntry<12>("Ch13Url"), nameEntry<12>("Ch13Name"),
    urlEntry<13>("Ch14Url"), nameEntry<13>("Ch14Name"),
    urlEntry<14>("Ch15Url"), nameEntry<14>("Ch15Name"),
    urlEntry<15>("Ch16Url"), nameEntry<15>("Ch16Name"),
    entry<&DeviceConfigRecord::IPAddress>("IPAddress"),
    entry<&DeviceConfigRecord::Gateway>("Gateway"),
    entry<&DeviceConfigRecord::DNS1>("DNS1"),
    entry<&DeviceConfigRecord::DNS2>("DNS2"),
    entry<&DeviceConfigRecord::Serial>("Serial#"),
}};

void ResetConfigRecord(DeviceConfigRecord &record)
{
    for (const ConfigKeyEntry &e : ConfigKeyTable)
        e.Field(record).clear();
    record.Mode.set("1");
    record.WebMethod.set("D");
}

void ResetConfig(const StatusSink &status)
{
    if (status)
        status(QStringLiteral("settings to default"));
    ResetConfigRecord(DeviceConfig);
}

int ChannelsInUse(const DeviceConfigRecord &record)
{
    int n = 0;
    while (n < ConfigChannelSlots && !record.Channels[n].Name.isEmpty())
        ++n;
    return n;
}

int ValidMode(const DeviceConfigRecord &record)
{
    const char c = record.Mode.data()[0];
    return c >= '1' && c <= '3' ? c - '0' : 0;
}

bool IsKnownType(const DeviceConfigRecord &record)
{
    return record.Type == "E" || record.Type == "T" || record.Type == "TE";
}

bool HasEthernet(const DeviceConfigRecord &record)
{
    return record.Type == "E" || record.Type == "TE";
}

bool HasPhoneLine(const DeviceConfigRecord &record)
{
    return record.Type == "T" || record.Type == "TE";
}

bool IsDhcp(const DeviceConfigRecord &record)
{
    return record.Network == "D";
}

bool IsFixedNetwork(const DeviceConfigRecord &record)
{
    return record.Network == "F";
}

bool WebMethodIsFile(const DeviceConfigRecord &record)
{
    return record.WebMethod.data()[0] == 'F';
}

bool WebMethodIsDatabase(const DeviceConfigRecord &record)
{
    return record.WebMethod.data()[0] == 'D';
}

bool RemoteUpdateOn(const DeviceConfigRecord &record)
{
    return record.IspUdEnable == "T";
}
