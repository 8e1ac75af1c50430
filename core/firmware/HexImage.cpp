#include "core/firmware/HexImage.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

// The longest line a record may have without its line end: 250 data bytes.
constexpr qsizetype MaxLineLength = 511;
// ':' + count + address + type + checksum.
constexpr qsizetype RecordOverhead = 11;

// Value of each character as a hexadecimal digit, -1 for other characters.
// A plain array keeps the lookup cheap in unoptimised builds too.
struct HexDigitTable {
    qint8 value[256];
};

constexpr HexDigitTable MakeHexDigits()
{
    HexDigitTable table{};
    for (auto &d : table.value)
        d = -1;
    for (int c = '0'; c <= '9'; ++c)
        table.value[c] = qint8(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) {
        table.value[c] = qint8(c - 'A' + 10);
        table.value[c - 'A' + 'a'] = qint8(c - 'A' + 10);
    }
    return table;
}

constexpr HexDigitTable HexDigits = MakeHexDigits();

// Two hexadecimal digits, high first; -1 when either is not one.
inline int HexByte(const char *p)
{
    const int high = HexDigits.value[quint8(p[0])];
    const int low = HexDigits.value[quint8(p[1])];
    if (high < 0 || low < 0)
        return -1;
    return (high << 4) | low;
}

HexLoadResult LineError(HexLoadResult result, int line)
{
    result.Result = -1;
    result.FailedLine = line;
    result.Messages << QStringLiteral("Error in Flash Hex File Line ") + QString::number(line);
    return result;
}

HexLoadResult TooLarge(HexLoadResult result, quint64 size)
{
    result.Result = -2;
    result.Messages << QStringLiteral("Error in Flash Hex File. Size exceeds 252KB (258048 B). "
                                      "Size = ")
                           + QString::number(size) + QStringLiteral(" Bytes");
    return result;
}

} // namespace

HexLoadResult ParseHexImage(const QByteArray &text, HexImage &image)
{
    HexLoadResult result;
    result.Messages << QStringLiteral("Open Flash Hex File");
    image.FlashImage.assign(HexImage::Capacity, 0xFF);
    image.ImageLowAddress = 65535;
    image.ImageHighAddress = 0;

    // 64-bit so that an extended address near the top of the 32-bit range
    // cannot wrap round to the bottom of the image.
    quint64 base = 0;
    bool anyData = false;
    // The highest address of any data byte, also of those beyond the image.
    quint64 highest = 0;
    int lineNumber = 0;
    const char *p = text.constData();
    const char *const end = p + text.size();
    quint8 data[255];

    while (p < end) {
        const auto *newline = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
        const char *lineEnd = newline ? newline : end;
        const char *const next = newline ? newline + 1 : end;
        ++lineNumber;
        if (lineEnd > p && lineEnd[-1] == '\r')
            --lineEnd;
        const qsizetype length = lineEnd - p;

        if (length > MaxLineLength || length < RecordOverhead || p[0] != ':')
            return LineError(result, lineNumber);
        const int count = HexByte(p + 1);
        if (count < 0 || length != RecordOverhead + 2 * count)
            return LineError(result, lineNumber);
        const int addressHigh = HexByte(p + 3);
        const int addressLow = HexByte(p + 5);
        const int type = HexByte(p + 7);
        if (addressHigh < 0 || addressLow < 0 || type < 0)
            return LineError(result, lineNumber);
        unsigned sum = unsigned(count + addressHigh + addressLow + type);
        unsigned dataSum = 0;
        bool digitsOk = true;
        const char *digit = p + 9;
        for (int i = 0; i < count; ++i, digit += 2) {
            const int high = HexDigits.value[quint8(digit[0])];
            const int low = HexDigits.value[quint8(digit[1])];
            digitsOk = digitsOk && high >= 0 && low >= 0;
            const unsigned byte = ((unsigned(high) << 4) | unsigned(low)) & 0xFF;
            data[i] = quint8(byte);
            dataSum += byte;
        }
        if (!digitsOk)
            return LineError(result, lineNumber);
        const int checksum = HexByte(p + 9 + 2 * count);
        if (checksum < 0)
            return LineError(result, lineNumber);
        const quint32 loadAddress = quint32(addressHigh << 8 | addressLow);

        switch (type) {
        case 0x00: {
            if (((sum + dataSum + unsigned(checksum)) & 0xFF) != 0)
                return LineError(result, lineNumber);
            const quint64 start = base + loadAddress;
            if (start < image.ImageLowAddress)
                image.ImageLowAddress = quint32(start);
            if (count == 0)
                break;
            const quint64 last = start + quint64(count) - 1;
            anyData = true;
            highest = std::max(highest, last);
            // A byte beyond the image has no place to go. The file is read
            // on all the same, so that its refusal tells its real size.
            if (last >= HexImage::Capacity)
                break;
            std::memcpy(image.FlashImage.data() + start, data, std::size_t(count));
            if (last > image.ImageHighAddress)
                image.ImageHighAddress = quint32(last);
            break;
        }
        case 0x01:
            // The end record's checksum is not examined; nothing after it is read.
            p = end;
            continue;
        case 0x02:
        case 0x04: {
            if (count != 2 || ((sum + dataSum + unsigned(checksum)) & 0xFF) != 0)
                return LineError(result, lineNumber);
            const quint64 value = quint64(data[0]) << 8 | data[1];
            base = type == 0x02 ? value * 16 : value * 65536;
            break;
        }
        default: {
            // Other record types carry nothing for the flash: the byte after
            // the type is taken as their checksum, so one that carries data
            // fails on its line.
            const int first = HexByte(p + 9);
            if (((sum + unsigned(first)) & 0xFF) != 0)
                return LineError(result, lineNumber);
            break;
        }
        }
        p = next;
    }

    if (!anyData) {
        result.Result = -1;
        result.Messages << QStringLiteral("Error in Flash Hex File. No data records found");
        return result;
    }
    // Pages always go out from address 0, so the image must end below the
    // boot loader's area whatever its lowest address.
    if (highest >= HexImage::SizeLimit)
        return TooLarge(result, highest + 1);
    const quint32 size = image.ImageHighAddress - image.ImageLowAddress + 1;
    result.Messages << QStringLiteral("Flash Hex File OK ") + QString::number(size)
                           + QStringLiteral(" Bytes");
    return result;
}

HexLoadResult LoadHexFile(const QString &path, HexImage &image)
{
    HexLoadResult failed;
    failed.Result = -1;
    QFile file(path);
    // Only a plain file: a pipe or a device in its place would block the
    // user-interface thread for good.
    if (path.isEmpty() || !QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        failed.Messages << QStringLiteral("Unable to open Hex File");
        return failed;
    }
    if (file.size() > HexFileMaxBytes) {
        failed.Messages << QStringLiteral("Error in Flash Hex File. File larger than 16 MB");
        return failed;
    }
    const QByteArray text = file.read(HexFileMaxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        failed.Messages << QStringLiteral("Unable to open Hex File");
        return failed;
    }
    if (text.size() > HexFileMaxBytes) {
        failed.Messages << QStringLiteral("Error in Flash Hex File. File larger than 16 MB");
        return failed;
    }
    return ParseHexImage(text, image);
}
