// The boot loader conversation, driven by a script of device bytes and the
// update dialog's doings. Two machines run the same script: one is handed the
// device's bytes in runs, as they arrive, the other one byte at a time, as the
// dialog reads them; both must answer alike. Every answer of the second is
// checked against what the boot loader may be sent at that point: '<' only
// for a start token and a good image; page frames only between a '<' and the
// end marker or abort, only for pages inside the image and the chip's own
// area, in order, with the image's bytes; the closing ';' only from the Close
// button, to a boot loader that took its '<' and has finished.
//
// Script bytes 0x01 to 0x10 are doings (see Op); every other byte, and the
// byte after Escape, is a device byte.

#include "core/firmware/BootProtocol.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace {

enum Op : std::uint8_t {
    StartAtReset = 0x01, // "Start Update" at 115200 bit/s
    StartOther = 0x02,   // "Start Update" at another speed
    Timer1Ends = 0x03,
    Timer2Ends = 0x04,
    LinkGoes = 0x05,     // the port went away or cannot be read
    CloseButton = 0x06,  // "Close": the button's work, then the dialog closes
    CloseOther = 0x07,   // closed by Escape or with its parent
    Show = 0x08,         // the dialog is shown (again)
    WriteFails = 0x09,   // the next write to the device fails
    WriteThrows = 0x0A,  // the next write to the device throws
    LoadFails = 0x0B,    // the next reload finds an error in the file
    LoadTooLarge = 0x0C, // the next reload finds the image too large
    ImageSize = 0x0D,    // the next byte picks the size of the file's image
    StopTransfer = 0x0E, // the user stops the transfer, where the machine knows how
    PromptCloses = 0x0F, // the power-plug prompt closes, where the machine is told
    Escape = 0x10,       // the next byte is a device byte
};

constexpr quint32 Mega128Bytes = 131072;
// Both chips keep their top 4 KB for the boot loader itself.
constexpr quint32 BootAreaBytes = 4096;

constexpr quint32 ImageSizes[] = {1,      31,     32,     33,     100,    511,
                                  512,    513,    4096,   65535,  65536,  65537,
                                  126976, 126977, 131072, 131073, 200000, HexImage::SizeLimit};

enum class Outcome { Written, Fails, Throws };

// The checks of the two findings in fuzz/RESULTS.md, now mended, stay on:
// their seeds are regression inputs.
bool OpenFindingsChecked()
{
    return true;
}

// The machine's newer doings, used where it has them.
template <typename P>
QList<BootEvent> StopOf(P &protocol)
{
    if constexpr (requires { protocol.Stop(); })
        return protocol.Stop();
    else
        return {};
}

template <typename P>
QList<BootEvent> PromptClosedOf(P &protocol)
{
    if constexpr (requires { protocol.PowerPromptClosed(); })
        return protocol.PowerPromptClosed();
    else
        return {};
}

// Both machines must tell the same time, or their messages would differ.
template <typename P>
void StopClock(P &protocol)
{
    if constexpr (requires { typename P::Clock; })
        protocol.SetClock(typename P::Clock([] { return qint64(0); }));
}

// The boot loader's side of the link, as the answers reach it.
struct Device {
    bool armed = false;    // took '<', and no end marker, abort or failed write since
    bool gotStart = false; // took '<' and has not sent a new start token since
    bool ended = false;    // its transfer ended after it took '<'
    qint64 lastPage = -1;
    quint32 chipBytes = HexImage::Capacity;
};

QByteArray AbortSequence()
{
    QByteArray sequence(2 + BootProtocol::AbortFillBytes, '-');
    sequence[0] = sequence[1] = '\xFF';
    return sequence;
}

const QByteArray EndMarker("\xFF\xFF", 2);
const QByteArray LockBits("\x00\xFF", 2);

bool IsFrame(const QByteArray &bytes, quint32 &pageSize)
{
    for (pageSize = 32; pageSize <= 512; pageSize *= 2) {
        if (bytes.size() == qsizetype(pageSize) + 3)
            return true;
    }
    return false;
}

struct Machine {
    HexImage image;
    quint32 imageBytes = 0; // what FillImage last put in `image`
    int imageSeed = -1;

    // What the script has set up for the next load and the next write.
    quint32 loadBytes = 100;
    int nextLoad = 0;
    Outcome nextWrite = Outcome::Written;

    QList<QByteArray> writes;
    QList<BootEvent> events;
    QByteArray waiting; // device bytes in the port, not yet taken

    // Only the machine fed byte by byte is checked at every write.
    bool checked = false;
    char current = 0; // the device byte being handled, 0 outside one
    bool loadedOk = false;
    bool inCloseButton = false;
    bool everStarted = false; // some '<' went out, whatever came after it
    Device device;

    BootProtocol protocol{image, [this] { return Load(); },
                          [this](const QByteArray &bytes) { return Write(bytes); }};

    Machine() { StopClock(protocol); }

    void FillImage(quint32 bytes, int seed)
    {
        if (bytes == imageBytes && seed == imageSeed)
            return;
        image.FlashImage.assign(HexImage::Capacity, 0xFF);
        for (quint32 a = 0; a < bytes; ++a)
            image.FlashImage[a] = quint8(a * 131u + (a >> 8) * 7u + unsigned(seed) * 29u);
        image.ImageLowAddress = 0;
        image.ImageHighAddress = bytes - 1;
        imageBytes = bytes;
        imageSeed = seed;
    }

    HexLoadResult Load()
    {
        HexLoadResult result;
        result.Result = nextLoad;
        nextLoad = 0;
        if (result.Result == 0) {
            FillImage(loadBytes, 1);
            result.Messages << QStringLiteral("Flash Hex File OK");
        } else {
            // A failed load leaves whatever it parsed: never to be sent.
            FillImage(HexImage::Capacity, 2);
            result.Messages << QStringLiteral("Error in Flash Hex File");
        }
        loadedOk = result.Result == 0;
        return result;
    }

    bool Write(const QByteArray &bytes)
    {
        writes << bytes;
        if (checked)
            CheckAnswer(bytes);
        const Outcome outcome = nextWrite;
        nextWrite = Outcome::Written;
        if (checked)
            Took(bytes, outcome == Outcome::Written);
        if (outcome == Outcome::Throws)
            throw std::runtime_error("link down");
        return outcome == Outcome::Written;
    }

    // What may go out now, by what the device has been sent and has sent.
    void CheckAnswer(const QByteArray &bytes) const
    {
        const bool pageByte = current == '!' || current == '@';
        quint32 pageSize = 0;
        if (bytes == "<") {
            FUZZ_CHECK(current == '>' && loadedOk);
        } else if (bytes == ";") {
            FUZZ_CHECK(inCloseButton && everStarted);
            if (OpenFindingsChecked())
                FUZZ_CHECK(device.gotStart && device.ended);
        } else if (bytes == EndMarker) {
            FUZZ_CHECK(pageByte && device.armed);
        } else if (bytes == AbortSequence()) {
            FUZZ_CHECK(device.armed);
        } else if (bytes == LockBits) {
            FUZZ_CHECK(current == '%');
        } else if (IsFrame(bytes, pageSize)) {
            FUZZ_CHECK(pageByte && device.armed);
            const quint32 page = quint32(quint8(bytes[0])) << 8 | quint8(bytes[1]);
            const quint64 start = quint64(page) * pageSize;
            FUZZ_CHECK(start <= image.ImageHighAddress);
            FUZZ_CHECK(start < device.chipBytes && start < HexImage::SizeLimit);
            if (OpenFindingsChecked())
                FUZZ_CHECK(start + pageSize <= device.chipBytes - BootAreaBytes);
            // '!' asks for the next page, '@' for the last one again.
            if (current == '!')
                FUZZ_CHECK(qint64(page) == device.lastPage + 1);
            else
                FUZZ_CHECK(qint64(page) == std::max<qint64>(device.lastPage, 0));
            unsigned sum = 0;
            for (quint32 k = 0; k < pageSize; ++k) {
                const quint64 a = start + k;
                const quint8 expected = a < HexImage::Capacity ? image.FlashImage[a] : 0xFF;
                FUZZ_CHECK(quint8(bytes[2 + k]) == expected);
                sum += expected;
            }
            FUZZ_CHECK(quint8(bytes[2 + pageSize]) == quint8(sum));
        } else {
            const bool answerOfTheProtocol = false;
            FUZZ_CHECK(answerOfTheProtocol);
        }
    }

    void Took(const QByteArray &bytes, bool written)
    {
        quint32 pageSize = 0;
        if (bytes == "<") {
            device = Device{};
            device.armed = device.gotStart = written;
            everStarted = everStarted || written;
            return;
        }
        if (!written) {
            if (device.armed)
                device.ended = true;
            device.armed = false;
            return;
        }
        if (bytes == EndMarker || bytes == AbortSequence()) {
            device.armed = false;
            device.ended = true;
        } else if (IsFrame(bytes, pageSize)) {
            device.lastPage = quint32(quint8(bytes[0])) << 8 | quint8(bytes[1]);
        }
    }

    // One device byte for the machine fed byte by byte. A byte the machine
    // leaves alone is the terminal's and tells the model nothing.
    BootFeed HandleOne(char byte)
    {
        const Device before = device;
        current = byte;
        loadedOk = false;
        if (byte == '>') {
            // The boot loader started again: it waits for a new '<'.
            device.armed = false;
            device.gotStart = false;
        } else if (byte == ']') {
            device.armed = false;
        } else if (byte == 'D') {
            device.chipBytes = Mega128Bytes;
        } else if (byte == 'J') {
            device.chipBytes = HexImage::Capacity;
        }
        const BootFeed feed = protocol.ProcessBootBytes(&byte, 1);
        current = 0;
        if (feed.Consumed == 0)
            device = before;
        return feed;
    }
};

bool HasFinished(const QList<BootEvent> &events)
{
    return std::any_of(events.begin(), events.end(), [](const BootEvent &e) {
        return e.Type == BootEvent::Kind::Finished;
    });
}

// The dialog around both machines.
class Script {
public:
    Script()
    {
        m_bytewise.checked = true;
        // The dialog shows with a good file, awaiting the device.
        for (Machine *m : {&m_inRuns, &m_bytewise}) {
            m->FillImage(m->loadBytes, 1);
            m->protocol.Activate();
        }
    }

    void Run(const std::uint8_t *data, std::size_t size)
    {
        QByteArray run;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t b = data[i];
            if (b == 0 || b > Escape) {
                run += char(b);
                continue;
            }
            if (b == Escape) {
                if (++i < size)
                    run += char(data[i]);
                continue;
            }
            DeviceSends(run);
            run.clear();
            std::optional<std::uint8_t> argument;
            if (b == ImageSize && ++i < size)
                argument = data[i];
            Do(Op(b), argument);
        }
        DeviceSends(run);
    }

private:
    template <typename Action>
    void Both(Action action)
    {
        m_inRuns.events << action(m_inRuns);
        m_bytewise.events << action(m_bytewise);
        Compare();
    }

    void Compare()
    {
        FUZZ_CHECK(m_inRuns.writes == m_bytewise.writes);
        FUZZ_CHECK(m_inRuns.events == m_bytewise.events);
        FUZZ_CHECK(m_inRuns.waiting == m_bytewise.waiting);
        for (const BootEvent &e : m_bytewise.events)
            Follow(e);
        m_inRuns.events.clear();
        m_bytewise.events.clear();
        m_inRuns.writes.clear();
        m_bytewise.writes.clear();
    }

    // What the dialog keeps of the events, and what must hold of them.
    void Follow(const BootEvent &e)
    {
        using Kind = BootEvent::Kind;
        switch (e.Type) {
        case Kind::StartTimer:
            (e.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2) = true;
            break;
        case Kind::StopTimer:
            (e.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2) = false;
            break;
        case Kind::TransferStarted:
            FUZZ_CHECK(!m_running);
            m_running = true;
            break;
        case Kind::TransferEnded:
            FUZZ_CHECK(m_running);
            m_running = false;
            break;
        case Kind::Progress:
            FUZZ_CHECK(e.Value <= e.Maximum);
            break;
        default:
            break;
        }
    }

    void DeviceSends(const QByteArray &bytes)
    {
        if (bytes.isEmpty() || !m_shown)
            return; // without the dialog, the device's text is the terminal's
        m_inRuns.waiting += bytes;
        m_bytewise.waiting += bytes;

        // In runs. Reading stops while bytes are not taken (the rest waits in
        // the port), or for good after the finish byte or a byte that is not
        // the boot loader's (the rest is the terminal's).
        {
            Machine &m = m_inRuns;
            const qsizetype size = m.waiting.size();
            const BootFeed feed = m.protocol.ProcessBootBytes(m.waiting.constData(), size);
            FUZZ_CHECK(feed.Consumed >= 0 && feed.Consumed <= size);
            const bool finished = HasFinished(feed.Events);
            if (finished)
                FUZZ_CHECK(m.waiting.at(feed.Consumed - 1) == ']');
            m.events << feed.Events;
            if (finished || m.protocol.AcceptBytes())
                m.waiting.clear();
            else
                m.waiting.remove(0, feed.Consumed);
        }
        // Byte by byte, as the dialog reads the port.
        {
            Machine &m = m_bytewise;
            qsizetype taken = 0;
            bool toTerminal = false;
            while (taken < m.waiting.size() && m.protocol.AcceptBytes()) {
                const BootFeed feed = m.HandleOne(m.waiting.at(taken));
                m.events << feed.Events;
                if (feed.Consumed == 0) {
                    toTerminal = true;
                    break;
                }
                FUZZ_CHECK(feed.Consumed == 1);
                ++taken;
                if (HasFinished(feed.Events)) {
                    FUZZ_CHECK(m.waiting.at(taken - 1) == ']');
                    toTerminal = true;
                    break;
                }
            }
            if (toTerminal || taken == m.waiting.size())
                m.waiting.clear();
            else
                m.waiting.remove(0, taken);
        }
        const bool finished = HasFinished(m_bytewise.events);
        Compare();
        // The boot loader is done: the dialog closes.
        if (finished)
            Close();
    }

    void Close()
    {
        Both([](Machine &m) {
            m.device.armed = false;
            m.waiting.clear();
            return m.protocol.Closed();
        });
        m_shown = false;
    }

    void Do(Op op, std::optional<std::uint8_t> argument)
    {
        switch (op) {
        case StartAtReset:
        case StartOther:
            if (m_shown)
                Both([op](Machine &m) {
                    return m.protocol.Start(op == StartAtReset ? BootProtocol::ResetSpeedIndex : 1);
                });
            break;
        case Timer1Ends:
            if (m_shown && m_timer1) {
                m_timer1 = false;
                Both([](Machine &m) { return m.protocol.Timer1Expired(); });
            }
            break;
        case Timer2Ends:
            if (m_shown && m_timer2) {
                m_timer2 = false;
                Both([](Machine &m) { return m.protocol.Timer2Expired(); });
            }
            break;
        case LinkGoes:
            if (m_shown)
                Both([](Machine &m) {
                    m.device.armed = false;
                    return m.protocol.LinkLost(QStringLiteral("Device disconnected"));
                });
            break;
        case CloseButton:
            if (m_shown) {
                Both([](Machine &m) {
                    m.inCloseButton = true;
                    const QList<BootEvent> events = m.protocol.CloseButtonPressed();
                    m.inCloseButton = false;
                    return events;
                });
                Close();
            }
            break;
        case CloseOther:
            if (m_shown)
                Close();
            break;
        case Show:
            if (!m_shown) {
                m_shown = true;
                // The dialog loads the file as it shows, then awaits the device.
                Both([](Machine &m) {
                    m.FillImage(m.loadBytes, 1);
                    m.protocol.Activate();
                    return QList<BootEvent>();
                });
            }
            break;
        case WriteFails:
        case WriteThrows:
            for (Machine *m : {&m_inRuns, &m_bytewise})
                m->nextWrite = op == WriteFails ? Outcome::Fails : Outcome::Throws;
            break;
        case LoadFails:
        case LoadTooLarge:
            for (Machine *m : {&m_inRuns, &m_bytewise})
                m->nextLoad = op == LoadFails ? -1 : -2;
            break;
        case ImageSize:
            if (!argument)
                break;
            for (Machine *m : {&m_inRuns, &m_bytewise}) {
                m->loadBytes = ImageSizes[*argument % std::size(ImageSizes)];
                // Another file chosen while no transfer runs is loaded at once.
                if (!m_running)
                    m->FillImage(m->loadBytes, 1);
            }
            break;
        case StopTransfer:
            if (m_shown)
                Both([](Machine &m) { return StopOf(m.protocol); });
            break;
        case PromptCloses:
            if (m_shown)
                Both([](Machine &m) { return PromptClosedOf(m.protocol); });
            break;
        case Escape:
            break;
        }
    }

    Machine m_inRuns;
    Machine m_bytewise;
    bool m_shown = true;
    bool m_timer1 = false;
    bool m_timer2 = false;
    bool m_running = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Script script;
    script.Run(data, size);
    return 0;
}
