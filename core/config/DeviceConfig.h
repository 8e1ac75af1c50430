#pragma once

#include <QByteArray>

#include <array>
#include <cstring>

#include "core/ToolSettings.h"

// A zero-terminated byte text in a field of Capacity + 1 bytes. A value that
// does not fit is cut to the capacity in bytes; a value is never stored past
// a NUL byte, since the device and older files see the field as a C string.
// The bytes behind the terminator are always zero, so two fields holding the
// same text compare equal byte for byte.
template <int Capacity>
class FixedText {
    static_assert(Capacity > 0);

public:
    static constexpr int capacity = Capacity;
    static constexpr int size = Capacity + 1;

    FixedText() = default;
    explicit FixedText(const QByteArray &text) { set(text); }

    void set(const QByteArray &text) { assign(m_bytes, size, text); }
    void clear() { std::memset(m_bytes, 0, size); }
    QByteArray value() const { return QByteArray(m_bytes, qsizetype(std::strlen(m_bytes))); }
    bool isEmpty() const { return m_bytes[0] == '\0'; }
    const char *data() const { return m_bytes; }
    char *bytes() { return m_bytes; }

    bool operator==(const FixedText &) const = default;
    bool operator==(const QByteArray &text) const { return value() == text; }
    bool operator==(const char *text) const { return std::strcmp(m_bytes, text) == 0; }

    // Shared by every capacity, so that a field can be filled through a view.
    static void assign(char *bytes, int size, const QByteArray &text)
    {
        qsizetype n = text.size();
        if (const qsizetype nul = text.indexOf('\0'); nul >= 0)
            n = nul;
        if (n > size - 1)
            n = size - 1;
        std::memset(bytes, 0, size_t(size));
        std::memcpy(bytes, text.constData(), size_t(n));
    }

private:
    char m_bytes[Capacity + 1] = {};
};

// One channel slot.
struct ConfigChannel {
    FixedText<12> Name;
    FixedText<144> Url;

    bool operator==(const ConfigChannel &) const = default;
};

constexpr int ConfigChannelSlots = 16;

// The device configuration the tool edits, keeps in files and programs into
// a device. A plain value: the configure dialog saves and restores it whole.
struct DeviceConfigRecord {
    FixedText<4> Mode;
    FixedText<2> Type;
    FixedText<4> Network;
    FixedText<4> WebMethod;
    FixedText<12> IspName;
    FixedText<24> IspNumber;
    FixedText<34> IspUserName;
    FixedText<24> IspPassword;
    FixedText<144> IspDbUrl;
    FixedText<144> IspUdUrl;
    FixedText<1> IspUdEnable;
    FixedText<20> IPAddress;
    FixedText<20> Gateway;
    FixedText<20> DNS1;
    FixedText<20> DNS2;
    std::array<ConfigChannel, ConfigChannelSlots> Channels;
    FixedText<5> Serial;

    bool operator==(const DeviceConfigRecord &) const = default;
};

// The one live configuration of the process.
extern DeviceConfigRecord DeviceConfig;

// A writable view of one field of a record, whatever its capacity.
class ConfigFieldRef {
public:
    template <int Capacity>
    ConfigFieldRef(FixedText<Capacity> &field) : m_bytes(field.bytes()), m_size(Capacity + 1)
    {
    }
    void set(const QByteArray &text) { FixedText<1>::assign(m_bytes, m_size, text); }
    void clear() { set(QByteArray()); }
    QByteArray value() const { return QByteArray(m_bytes, qsizetype(std::strlen(m_bytes))); }
    int capacity() const { return m_size - 1; }

private:
    char *m_bytes;
    int m_size;
};

// One key of a configuration file and the field it names. Size is the
// field's size in bytes, its capacity + 1.
struct ConfigKeyEntry {
    const char *Key;
    ConfigFieldRef (*Field)(DeviceConfigRecord &record);
    int Size;
};

constexpr int ConfigKeyCount = 48;

// Every field of the record under its file key. The order decides which entry
// a shortened key selects when a file is read, and differs from the order of
// the fields.
extern const std::array<ConfigKeyEntry, ConfigKeyCount> ConfigKeyTable;

// Clears every field, then sets the defaults: mode 1, web database.
void ResetConfigRecord(DeviceConfigRecord &record);

// Resets the live record, telling the status list.
void ResetConfig(const StatusSink &status = {});

// The number of leading slots whose name is set: slots behind the first
// unnamed one are not in use even when they hold text.
int ChannelsInUse(const DeviceConfigRecord &record);

// 1, 2 or 3 by the first character of Mode; 0 for no valid mode.
int ValidMode(const DeviceConfigRecord &record);

// Type is compared as a whole: "E", "T" and "TE" only, upper case.
bool IsKnownType(const DeviceConfigRecord &record);
bool HasEthernet(const DeviceConfigRecord &record);
bool HasPhoneLine(const DeviceConfigRecord &record);

// Network "D": programming and the summary treat the device as DHCP.
bool IsDhcp(const DeviceConfigRecord &record);
// Network "F": only then does the dialog show fixed addresses.
bool IsFixedNetwork(const DeviceConfigRecord &record);

// By the first character of WebMethod.
bool WebMethodIsFile(const DeviceConfigRecord &record);
bool WebMethodIsDatabase(const DeviceConfigRecord &record);

// IspUdEnable "T" is on; every other value is off.
bool RemoteUpdateOn(const DeviceConfigRecord &record);
