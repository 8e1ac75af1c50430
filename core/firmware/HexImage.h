#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// The device's flash as an Intel HEX file describes it. The index into
// FlashImage is the absolute flash address; bytes no record writes stay 0xFF,
// as erased flash reads.
struct HexImage {
    // Addresses the image covers (256 KB).
    static constexpr quint32 Capacity = 262144;
    // The first address of the boot loader's own area: no image may reach it.
    static constexpr quint32 SizeLimit = 258048;

    std::vector<quint8> FlashImage = std::vector<quint8>(Capacity, 0xFF);
    // Lowest address at which a data record begins; a load starts it at
    // 65535, so images above that are measured from there.
    quint32 ImageLowAddress = 65535;
    // Highest address any data byte was written to.
    quint32 ImageHighAddress = 0;
};

struct HexLoadResult {
    // 0 loaded, -1 file error ("Error in Flash File"), -2 image too large
    // ("Flash File too large").
    int Result = 0;
    // The lines for the update dialog's message list, in order.
    QStringList Messages;
    // The 1-based line a record error refers to; 0 when the error is not a line's.
    int FailedLine = 0;
};

// Parses a whole HEX file held in memory into `image`, which is reset first.
// Lines may end in LF or CR LF. Loading stops at the first error; after a
// failure the image holds whatever was parsed before it and must not be used.
HexLoadResult ParseHexImage(const QByteArray &text, HexImage &image);

// Reads the file at `path` and parses it. A file that cannot be read leaves
// `image` as it was.
HexLoadResult LoadHexFile(const QString &path, HexImage &image);

// Files above this are refused unread: no usable image needs a file this big.
inline constexpr qint64 HexFileMaxBytes = 16 * 1024 * 1024;
