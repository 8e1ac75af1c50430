#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

// The device's boot loader as the tool meets it on the serial line. No I/O
// and no clock here: bytes from the tool go in, bytes for the tool come out,
// each batch with the pause the device takes before sending it, and the few
// time facts a carrier needs (how many bytes the next reaction waits for, how
// long the start token is waited for). SimServer carries the bytes at the
// line rate and keeps the time.
//
// The conversation, from the device's side:
//   start        '>' (the start token), then wait up to TokenWaitMs for '<';
//                other bytes are ignored, and without '<' the firmware starts
//   on '<'       the chip ('D' 128 KB, 'J' 256 KB) and the page size ('Q' 32
//                ... 'U' 512), '^' (erasing); after EraseMs '*' and '!'
//   per page     a frame: page number high and low byte, the page's bytes,
//                their sum mod 256. A frame for the page asked for, with the
//                right sum and inside the writable flash, is stored and
//                answered by '!' (send the next page); any other by '@'
//                (send it again)
//   FF FF        where a frame would start: the end; answered by '%'
//   lock bits    a byte and its complement, bytes before them skipped;
//                answered by ']', which ends the boot loader
//   ';'          where a frame or the lock bits would start: leave at once
class SimBootLoader {
public:
    enum class Chip { Mega128, Mega256 };
    enum class Phase { Off, WaitingForToken, ReceivingPages, WaitingForLockBits };
    // How the last session ended. Aborted: the lock bits came after the
    // tool's abort filler, so the image is incomplete.
    enum class Outcome { None, Completed, Aborted, Left, TimedOut };

    // Fixed pauses and limits of the device.
    static constexpr int EraseMs = 200;       // between '^' and '*'
    static constexpr int TokenWaitMs = 2000;  // for '<' after the start token
    static constexpr int BootAreaSize = 4096; // top of the flash, never written

    struct Output {
        int pauseMs = 0; // after the previous output has left the device
        QByteArray bytes;
        bool operator==(const Output &other) const = default;
    };
    using Outputs = QList<Output>;

    // Settings; they take effect at the next '<'.
    Chip ChipType() const { return m_chip; }
    void SetChip(Chip chip) { m_chip = chip; }
    int PageSize() const { return m_pageSize; }
    // 32, 64, 128, 256 or 512; false (and no change) for any other size.
    bool SetPageSize(int bytes);
    // Each of `pages` is answered '@' the first `times` times a good frame
    // for it arrives, in every transfer.
    void SetRefusedPages(const QList<int> &pages, int times);
    bool SendsStartToken() const { return m_sendToken; }
    void SetSendsStartToken(bool send) { m_sendToken = send; }
    // After the tool's abort the boot loader says nothing more (it never
    // finishes) until it is started again.
    void SetMuteAfterAbort(bool mute) { m_muteAfterAbort = mute; }

    static int FlashSize(Chip chip) { return chip == Chip::Mega128 ? 0x20000 : 0x40000; }
    static char ChipByte(Chip chip) { return chip == Chip::Mega128 ? 'D' : 'J'; }
    // 'Q' for 32 up to 'U' for 512; 0 for a size the device does not have.
    static char PageSizeByte(int pageSize);

    // Enters the boot loader (a power cycle or a second reset): returns the
    // start token unless it is switched off. A session that ran is dropped.
    Outputs Start();
    // Handles bytes from the tool, in order, up to and including the byte
    // that ends the boot loader; `*consumed` (when given) tells how many
    // were taken. Bytes while Off are not taken.
    Outputs Feed(const QByteArray &bytes, qsizetype *consumed = nullptr);
    // The wait for '<' ran out: the firmware starts.
    void TimeOut();
    // The device goes away in the middle (its line is closed).
    void Leave()
    {
        if (Active())
            End(Outcome::Left);
    }

    Phase CurrentPhase() const { return m_phase; }
    bool Active() const { return m_phase != Phase::Off; }
    Outcome LastOutcome() const { return m_outcome; }
    // Bytes the device must receive before it can react again (1 while it
    // reacts to single bytes); 0 while Off.
    qsizetype BytesWanted() const;
    // The time-out of the current phase in ms, -1 for none.
    int TimeoutMs() const { return m_phase == Phase::WaitingForToken ? TokenWaitMs : -1; }

    // The flash as written since the last '<', from address 0 to the end of
    // the highest page stored; empty when none was.
    QByteArray Image() const;
    int PagesStored() const { return m_pagesStored; }
    // The page whose frame is awaited, and how much of its frame has come.
    int ExpectedPage() const { return m_expectedPage; }
    qsizetype FrameReceived() const { return m_frame.size(); }
    int RepeatsAsked() const { return m_repeats; }
    int LockBits() const { return m_lockBits; } // -1 until received

private:
    void Erase();
    void HandleFrame(Outputs &out);
    void End(Outcome outcome);

    Chip m_chip = Chip::Mega256;
    int m_pageSize = 256;
    QList<int> m_refusedPages;
    int m_refuseTimes = 0;
    bool m_sendToken = true;
    bool m_muteAfterAbort = false;
    bool m_muted = false;

    Phase m_phase = Phase::Off;
    Outcome m_outcome = Outcome::None;
    int m_activePageSize = 256; // as announced at the last '<'
    int m_activeFlashSize = 0x40000;
    QByteArray m_flash;
    QByteArray m_frame;
    int m_expectedPage = 0;
    int m_highestPage = -1;
    int m_pagesStored = 0;
    int m_repeats = 0;
    QMap<int, int> m_refusalsLeft;
    int m_lockPending = -1;
    int m_lockNoise = 0;
    int m_lockBits = -1;
};
