// The dotted-address parser against a plain reading of its rules, written
// here from the rules alone, and the formatter against the parser.

#include "fuzz/FuzzCheck.h"
#include "core/links/IpAddress.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// One part: decimal, octal after a leading 0, hexadecimal after 0x/0X, at
// least one digit; nothing beyond 32 bits.
std::optional<std::uint64_t> ReferencePart(std::string_view part)
{
    int base = 10;
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 1 && part[0] == '0') {
        base = 8;
    }
    if (part.empty() || part[0] == '-' || part[0] == '+')
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value, base);
    if (error == std::errc::result_out_of_range)
        return std::uint64_t(1) << 40; // beyond any limit
    if (error != std::errc() || end != part.data() + part.size())
        return std::nullopt;
    return value;
}

std::optional<quint32> ReferenceAddress(std::string_view text)
{
    std::vector<std::uint64_t> parts;
    for (;;) {
        const std::size_t dot = text.find('.');
        const auto part = ReferencePart(text.substr(0, dot));
        if (!part)
            return std::nullopt;
        parts.push_back(*part);
        if (dot == std::string_view::npos)
            break;
        text.remove_prefix(dot + 1);
    }
    if (parts.size() > 4)
        return std::nullopt;
    // Every part but the last is one octet; the last fills the octets left.
    std::uint64_t value = 0;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] > 255)
            return std::nullopt;
        value = value << 8 | parts[i];
    }
    const unsigned lastBits = 8 * unsigned(5 - parts.size());
    if (parts.back() >= (std::uint64_t(1) << lastBits))
        return std::nullopt;
    return quint32(value << lastBits | parts.back());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<quint32> value = ParseIpAddress(text);
    const std::optional<quint32> expected =
        ReferenceAddress(std::string_view(text.constData(), std::size_t(text.size())));
    FUZZ_CHECK(value == expected);
    FUZZ_CHECK(ParseIpAddressOrAllOnes(text) == value.value_or(0xFFFFFFFFu));

    // Whatever the input, the formatted address is the same address written
    // as four plain octets.
    const quint32 address = size >= 4 ? quint32(data[0]) << 24 | quint32(data[1]) << 16
                                            | quint32(data[2]) << 8 | data[3]
                                      : value.value_or(0);
    for (const quint32 v : {address, value.value_or(0)}) {
        const QByteArray formatted = FormatIpAddress(v);
        FUZZ_CHECK(ParseIpAddress(formatted) == v);
        FUZZ_CHECK(formatted.count('.') == 3 && formatted.size() <= 15);
    }
    return 0;
}
