// The identification's reading of the device's answers to "snum" and "ver":
// whatever the answer, a part is at most the five characters the status bar
// is made for, taken from the answer itself, and a missing, unset or empty
// value is never kept.

#include "fuzz/FuzzCheck.h"
#include "core/Identification.h"

#include <cstddef>
#include <cstdint>

namespace {

void CheckPart(const QByteArray &reply, const char *word, int offset)
{
    const IdentPart part = ParseIdentPart(reply, word, offset);
    FUZZ_CHECK(part.text.size() <= 5);
    const qsizetype at = reply.indexOf(word);
    if (at < 0) {
        FUZZ_CHECK(part.text == "?????" && !part.store);
        return;
    }
    const QByteArray read = reply.mid(at + offset, 5);
    if (!part.store) {
        if (read.isEmpty()) {
            FUZZ_CHECK(part.text.isEmpty());
        } else {
            FUZZ_CHECK(part.text == "FFFFF");
            FUZZ_CHECK(read.compare("fffff", Qt::CaseInsensitive) == 0);
        }
        return;
    }
    FUZZ_CHECK(!part.text.isEmpty());
    FUZZ_CHECK(part.text.compare("fffff", Qt::CaseInsensitive) != 0);
    // The part lies behind the word: at most it overlaps the word's end.
    FUZZ_CHECK(reply.indexOf(part.text, at) >= at);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    // The connection's two readings.
    CheckPart(reply, "Serialnumber", 22);
    CheckPart(reply, "V:", 3);
    // And the same rule at other distances, the first byte choosing one.
    if (size > 0)
        CheckPart(reply, "V:", int(data[0] % 40));
    return 0;
}
