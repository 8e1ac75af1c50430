// The serial server codec fed arbitrary bytes: it never crashes, a split
// anywhere in the input changes nothing it gives, and the device's bytes
// survive the way out and back whole.

#include "fuzz/FuzzCheck.h"
#include "core/links/Rfc2217Codec.h"

#include <cstddef>
#include <cstdint>

namespace {

Rfc2217Codec::Feed Join(const Rfc2217Codec::Feed &a, const Rfc2217Codec::Feed &b)
{
    Rfc2217Codec::Feed all = a;
    all.Data += b.Data;
    all.Reply += b.Reply;
    all.Events += b.Events;
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data);
    // The first byte picks where the rest is split.
    const qsizetype length = qsizetype(size) - 1;
    const qsizetype split = length == 0 ? 0 : qsizetype(data[0]) % (length + 1);
    const char *input = bytes + 1;

    Rfc2217Codec whole;
    whole.Start();
    const Rfc2217Codec::Feed once = whole.Take(input, length);

    Rfc2217Codec parts;
    parts.Start();
    const Rfc2217Codec::Feed first = parts.Take(input, split);
    const Rfc2217Codec::Feed twice = Join(first, parts.Take(input + split, length - split));
    FUZZ_CHECK(once.Data == twice.Data);
    FUZZ_CHECK(once.Reply == twice.Reply);
    FUZZ_CHECK(once.Events == twice.Events);
    FUZZ_CHECK(once.Data.size() <= length);

    // Whatever state the input left, data sent in binary mode comes back whole.
    Rfc2217Codec sender;
    sender.Start();
    sender.Take(QByteArray::fromHex("fffd00 fffd2c"));
    Rfc2217Codec receiver;
    receiver.Start();
    receiver.Take(QByteArray::fromHex("fffb00 fffd2c"));
    const QByteArray payload(input, length);
    FUZZ_CHECK(receiver.Take(sender.EncodeData(payload)).Data == payload);
    return 0;
}
