// The HEX loader, two ways from every input. As file text: whatever it is,
// the result is one of the three outcomes, an accepted image fits below the
// boot loader's area, and neither the line ends (LF or CR LF) nor the case of
// the digits change anything. As a recipe: records written from it load into
// exactly the flash contents they describe.

#include "core/firmware/HexImage.h"
#include "fuzz/FuzzCheck.h"
#include "tests/HexFixtures.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct Loaded {
    HexLoadResult result;
    HexImage image;
};

Loaded Load(const QByteArray &text)
{
    Loaded loaded;
    loaded.result = ParseHexImage(text, loaded.image);
    return loaded;
}

bool SameOutcome(const Loaded &a, const Loaded &b)
{
    return a.result.Result == b.result.Result && a.result.FailedLine == b.result.FailedLine
           && a.result.Messages == b.result.Messages && a.image.FlashImage == b.image.FlashImage
           && a.image.ImageLowAddress == b.image.ImageLowAddress
           && a.image.ImageHighAddress == b.image.ImageHighAddress;
}

void CheckOutcome(const Loaded &loaded, const QByteArray &text)
{
    const HexLoadResult &r = loaded.result;
    FUZZ_CHECK(r.Result == 0 || r.Result == -1 || r.Result == -2);
    FUZZ_CHECK(loaded.image.FlashImage.size() == HexImage::Capacity);
    FUZZ_CHECK(!r.Messages.isEmpty()
               && r.Messages.first() == QStringLiteral("Open Flash Hex File"));
    FUZZ_CHECK(r.FailedLine >= 0 && r.FailedLine <= text.count('\n') + 1);
    FUZZ_CHECK(r.FailedLine == 0 || r.Result == -1);
    if (r.Result == 0) {
        FUZZ_CHECK(loaded.image.ImageHighAddress < HexImage::SizeLimit);
        FUZZ_CHECK(loaded.image.ImageLowAddress <= loaded.image.ImageHighAddress);
        FUZZ_CHECK(r.Messages.size() == 2
                   && r.Messages.last().startsWith(QStringLiteral("Flash Hex File OK ")));
    }
}

void AsText(const QByteArray &text)
{
    const Loaded loaded = Load(text);
    CheckOutcome(loaded, text);
    FUZZ_CHECK(SameOutcome(loaded, Load(text.toLower())));
    FUZZ_CHECK(SameOutcome(loaded, Load(text.toUpper())));
    if (!text.contains('\r')) {
        QByteArray crlf = text;
        FUZZ_CHECK(SameOutcome(loaded, Load(crlf.replace("\n", "\r\n"))));
    }
}

void AsRecipe(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const bool lower = in.ConsumeBool();
    const QByteArray eol = in.ConsumeBool() ? "\r\n" : "\n";
    QByteArrayList lines;
    QByteArray flash(qsizetype(HexImage::Capacity), '\xFF');
    quint64 base = 0;
    quint64 low = 65535;
    quint64 high = 0;
    bool any = false;
    bool outside = false; // a byte lies beyond the image: refused as too large
    while (in.remaining_bytes() > 0 && lines.size() < 400) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: {
            const quint16 segment = in.ConsumeIntegral<quint16>();
            lines << hexfix::Record(2, 0, hexfix::Bytes({segment >> 8, segment & 0xFF}), lower);
            base = quint64(segment) * 16;
            break;
        }
        case 1: {
            const quint16 upper = in.ConsumeIntegralInRange<quint16>(0, 4);
            lines << hexfix::Record(4, 0, hexfix::Bytes({upper >> 8, upper & 0xFF}), lower);
            base = quint64(upper) * 65536;
            break;
        }
        case 2:
            // A record that carries nothing for the flash.
            lines << hexfix::Record(in.ConsumeBool() ? 3 : 5, 0, {}, lower);
            break;
        default: {
            // At most 250 bytes: the loader refuses longer lines on purpose.
            const quint16 address = in.ConsumeIntegral<quint16>();
            const QByteArray bytes = QByteArray::fromStdString(
                in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 250)));
            if (bytes.isEmpty())
                break;
            lines << hexfix::Record(0, address, bytes, lower);
            if (outside)
                break;
            const quint64 start = base + address;
            const quint64 last = start + quint64(bytes.size()) - 1;
            low = std::min(low, start);
            if (last >= HexImage::Capacity) {
                outside = true;
                break;
            }
            flash.replace(qsizetype(start), bytes.size(), bytes);
            high = std::max(high, last);
            any = true;
            break;
        }
        }
    }
    lines << hexfix::EndRecord;
    const QByteArray text = hexfix::Join(lines, eol);
    const Loaded loaded = Load(text);
    CheckOutcome(loaded, text);
    if (outside || (any && high >= HexImage::SizeLimit)) {
        FUZZ_CHECK(loaded.result.Result == -2);
        return;
    }
    if (!any) {
        FUZZ_CHECK(loaded.result.Result == -1 && loaded.result.FailedLine == 0);
        return;
    }
    FUZZ_CHECK(loaded.result.Result == 0);
    FUZZ_CHECK(loaded.image.ImageLowAddress == low);
    FUZZ_CHECK(loaded.image.ImageHighAddress == high);
    FUZZ_CHECK(std::memcmp(loaded.image.FlashImage.data(), flash.constData(),
                           HexImage::Capacity) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    AsText(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    AsRecipe(data, size);
    return 0;
}
