#include "sim/core/SimBootLoader.h"

#include <algorithm>

namespace {

constexpr char StartToken = '>';
constexpr char TokenAnswer = '<';
constexpr char NextPage = '!';
constexpr char Repeat = '@';
constexpr char AskLockBits = '%';
constexpr char Erasing = '^';
constexpr char Programming = '*';
constexpr char Finished = ']';
constexpr char LeaveByte = ';';

} // namespace

bool SimBootLoader::SetPageSize(int bytes)
{
    if (PageSizeByte(bytes) == 0)
        return false;
    m_pageSize = bytes;
    return true;
}

char SimBootLoader::PageSizeByte(int pageSize)
{
    switch (pageSize) {
    case 32:
        return 'Q';
    case 64:
        return 'R';
    case 128:
        return 'S';
    case 256:
        return 'T';
    case 512:
        return 'U';
    default:
        return 0;
    }
}

void SimBootLoader::SetRefusedPages(const QList<int> &pages, int times)
{
    m_refusedPages = pages;
    m_refuseTimes = times;
}

SimBootLoader::Outputs SimBootLoader::Start()
{
    m_phase = Phase::WaitingForToken;
    m_outcome = Outcome::None;
    m_muted = false;
    m_frame.clear();
    m_lockPending = -1;
    m_lockNoise = 0;
    if (!m_sendToken)
        return {};
    return {{0, QByteArray(1, StartToken)}};
}

void SimBootLoader::TimeOut()
{
    if (m_phase == Phase::WaitingForToken)
        End(Outcome::TimedOut);
}

void SimBootLoader::End(Outcome outcome)
{
    m_phase = Phase::Off;
    m_outcome = outcome;
    m_frame.clear();
}

qsizetype SimBootLoader::BytesWanted() const
{
    switch (m_phase) {
    case Phase::Off:
        return 0;
    case Phase::ReceivingPages:
        // The first two bytes alone tell a frame from the end marker.
        return m_frame.size() < 2 ? 2 - m_frame.size() : m_activePageSize + 3 - m_frame.size();
    case Phase::WaitingForToken:
    case Phase::WaitingForLockBits:
        break;
    }
    return 1;
}

void SimBootLoader::Erase()
{
    m_activePageSize = m_pageSize;
    m_activeFlashSize = FlashSize(m_chip);
    m_flash = QByteArray(m_activeFlashSize, '\xff');
    m_expectedPage = 0;
    m_highestPage = -1;
    m_pagesStored = 0;
    m_repeats = 0;
    m_lockBits = -1;
    m_refusalsLeft.clear();
    for (const int page : std::as_const(m_refusedPages))
        m_refusalsLeft[page] = m_refuseTimes;
}

QByteArray SimBootLoader::Image() const
{
    if (m_highestPage < 0)
        return {};
    return m_flash.left(qsizetype(m_highestPage + 1) * m_activePageSize);
}

void SimBootLoader::HandleFrame(Outputs &out)
{
    const auto byteAt = [this](qsizetype i) { return quint8(m_frame.at(i)); };
    const int page = (byteAt(0) << 8) | byteAt(1);
    quint8 sum = 0;
    for (qsizetype i = 2; i < 2 + m_activePageSize; ++i)
        sum = quint8(sum + byteAt(i));
    const qint64 start = qint64(page) * m_activePageSize;
    bool good = page == m_expectedPage && sum == byteAt(m_frame.size() - 1)
                && start + m_activePageSize <= m_activeFlashSize - BootAreaSize;
    if (good) {
        auto refusal = m_refusalsLeft.find(page);
        if (refusal != m_refusalsLeft.end() && refusal.value() > 0) {
            --refusal.value();
            good = false;
        }
    }
    if (good) {
        m_flash.replace(qsizetype(start), m_activePageSize, m_frame.mid(2, m_activePageSize));
        m_highestPage = std::max(m_highestPage, page);
        ++m_pagesStored;
        ++m_expectedPage;
        out.append({0, QByteArray(1, NextPage)});
    } else {
        ++m_repeats;
        out.append({0, QByteArray(1, Repeat)});
    }
    m_frame.clear();
}

SimBootLoader::Outputs SimBootLoader::Feed(const QByteArray &bytes, qsizetype *consumed)
{
    Outputs out;
    qsizetype i = 0;
    for (; i < bytes.size() && m_phase != Phase::Off; ++i) {
        const char b = bytes.at(i);
        if (m_muted)
            continue;
        switch (m_phase) {
        case Phase::Off:
            break;
        case Phase::WaitingForToken:
            if (b == TokenAnswer) {
                Erase();
                m_phase = Phase::ReceivingPages;
                out.append({0, QByteArray() + ChipByte(m_chip) + PageSizeByte(m_activePageSize) + Erasing});
                out.append({EraseMs, QByteArray() + Programming + NextPage});
            } else if (b == LeaveByte) {
                End(Outcome::Left);
            }
            break;
        case Phase::ReceivingPages:
            if (m_frame.isEmpty() && b == LeaveByte) {
                End(Outcome::Left);
                break;
            }
            m_frame.append(b);
            if (m_frame == QByteArray("\xff\xff", 2)) {
                m_frame.clear();
                m_phase = Phase::WaitingForLockBits;
                m_lockPending = -1;
                m_lockNoise = 0;
                out.append({0, QByteArray(1, AskLockBits)});
            } else if (m_frame.size() == m_activePageSize + 3) {
                HandleFrame(out);
            }
            break;
        case Phase::WaitingForLockBits: {
            const int value = quint8(b);
            // The abort's filler follows its end marker; a finished transfer
            // sends none.
            if (m_muteAfterAbort && b == '-') {
                m_muted = true;
                break;
            }
            if (m_lockPending < 0 && b == LeaveByte) {
                End(Outcome::Left);
                break;
            }
            if (m_lockPending >= 0 && (m_lockPending ^ value) == 0xff) {
                m_lockBits = m_lockPending;
                out.append({0, QByteArray(1, Finished)});
                // Anything before the pair is the filler of the tool's abort.
                End(m_lockNoise > 0 ? Outcome::Aborted : Outcome::Completed);
                break;
            }
            if (m_lockPending >= 0)
                ++m_lockNoise;
            m_lockPending = value;
            break;
        }
        }
    }
    if (consumed)
        *consumed = i;
    return out;
}
