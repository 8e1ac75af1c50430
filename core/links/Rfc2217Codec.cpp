#include "core/links/Rfc2217Codec.h"

namespace {

constexpr quint8 Iac = 255;
constexpr quint8 Dont = 254;
constexpr quint8 Do = 253;
constexpr quint8 Wont = 252;
constexpr quint8 Will = 251;
constexpr quint8 Sb = 250;
constexpr quint8 Se = 240;
constexpr quint8 Cr = 13;
constexpr quint8 Lf = 10;

constexpr quint8 Binary = 0;
constexpr quint8 SuppressGoAhead = 3;
constexpr quint8 ComPortOption = 44;
// A server answers a port command with its number plus this.
constexpr quint8 AnswerOffset = 100;

QByteArray verbBytes(quint8 verb, quint8 option)
{
    const char bytes[] = {char(Iac), char(verb), char(option)};
    return QByteArray(bytes, sizeof bytes);
}

void appendEscaped(QByteArray &out, quint8 byte)
{
    out.append(char(byte));
    if (byte == Iac)
        out.append(char(Iac));
}

// SET-CONTROL's values fall in groups that are answered each on its own:
// flow control out (0 asks, 1 to 3), break, DTR, RTS, flow control in.
bool flowControlValue(quint32 value)
{
    return value <= 3;
}

} // namespace

bool Rfc2217Codec::supported(quint8 code)
{
    return code == Binary || code == SuppressGoAhead;
}

QByteArray Rfc2217Codec::Start()
{
    QByteArray out;
    for (const quint8 code : {Binary, SuppressGoAhead}) {
        option(code).UsAsked = true;
        option(code).HimAsked = true;
        out += verbBytes(Will, code) + verbBytes(Do, code);
    }
    option(ComPortOption).UsAsked = true;
    out += verbBytes(Will, ComPortOption);
    return out;
}

Rfc2217Codec::Feed Rfc2217Codec::Take(const char *bytes, qsizetype size)
{
    Feed feed;
    feed.Data.reserve(size);
    for (qsizetype i = 0; i < size; ++i) {
        const quint8 b = quint8(bytes[i]);
        switch (m_state) {
        case State::Cr:
            // Outside binary mode a lone CR travels as CR NUL.
            m_state = State::Data;
            if (b == 0)
                break;
            [[fallthrough]];
        case State::Data:
            if (b == Iac) {
                m_state = State::Iac;
            } else {
                feed.Data.append(char(b));
                if (b == Cr && !m_options[Binary].Him)
                    m_state = State::Cr;
            }
            break;
        case State::Iac:
            m_state = State::Data;
            if (b == Iac) {
                feed.Data.append(char(Iac));
                break;
            }
            m_heardTelnet = true;
            if (b >= Will && b <= Dont) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == Sb) {
                m_sub.clear();
                m_subOverflow = false;
                m_state = State::Sub;
            }
            // Anything else (NOP, GA, data mark, ...) means nothing here.
            break;
        case State::Verb:
            m_state = State::Data;
            verb(m_verb, b, feed);
            break;
        case State::Sub:
            if (b == Iac)
                m_state = State::SubIac;
            else if (m_sub.size() < MaxSubnegotiation)
                m_sub.append(char(b));
            else
                m_subOverflow = true;
            break;
        case State::SubIac:
            if (b == Iac) {
                m_state = State::Sub;
                if (m_sub.size() < MaxSubnegotiation)
                    m_sub.append(char(Iac));
                else
                    m_subOverflow = true;
            } else if (b == Se) {
                m_state = State::Data;
                if (!m_subOverflow)
                    subnegotiation(feed);
            } else {
                // A command inside an unfinished subnegotiation ends it
                // unread; the command itself counts.
                m_state = State::Iac;
                --i;
            }
            break;
        }
    }
    return feed;
}

void Rfc2217Codec::verb(quint8 verb, quint8 code, Feed &feed)
{
    Option &o = option(code);
    switch (verb) {
    case Do:
        if (!supported(code) && code != ComPortOption) {
            feed.Reply += verbBytes(Wont, code);
            return;
        }
        if (o.Us)
            return;
        if (!o.UsAsked)
            feed.Reply += verbBytes(Will, code);
        o.Us = true;
        o.UsAsked = false;
        if (code == ComPortOption) {
            m_portControl = true;
            feed.Events << Event {Event::Kind::PortControlAccepted};
        }
        return;
    case Dont: {
        const bool was = o.Us;
        const bool asked = o.UsAsked;
        o.Us = false;
        o.UsAsked = false;
        if (was)
            feed.Reply += verbBytes(Wont, code);
        if (code == ComPortOption && (was || asked)) {
            m_portControl = false;
            feed.Events << Event {Event::Kind::PortControlRefused};
        }
        return;
    }
    case Will:
        if (!supported(code)) {
            feed.Reply += verbBytes(Dont, code);
            return;
        }
        if (o.Him)
            return;
        if (!o.HimAsked)
            feed.Reply += verbBytes(Do, code);
        o.Him = true;
        o.HimAsked = false;
        return;
    case Wont: {
        const bool was = o.Him;
        o.Him = false;
        o.HimAsked = false;
        if (was)
            feed.Reply += verbBytes(Dont, code);
        return;
    }
    default:
        return;
    }
}

void Rfc2217Codec::subnegotiation(Feed &feed)
{
    if (m_sub.size() < 2 || quint8(m_sub.at(0)) != ComPortOption)
        return;
    const quint8 answer = quint8(m_sub.at(1));
    if (answer <= AnswerOffset)
        return; // a command to a server, not an answer from one
    const quint8 command = quint8(answer - AnswerOffset);
    quint32 value = 0;
    const QByteArray payload = m_sub.mid(2);
    const qsizetype width = command == SetBaudrate ? 4 : 1;
    if (payload.size() < width)
        return;
    for (qsizetype k = 0; k < width; ++k)
        value = (value << 8) | quint8(payload.at(k));
    if (command == NotifyLinestate) {
        m_lineState = quint8(value);
        feed.Events << Event {Event::Kind::LineState, command, value};
        return;
    }
    if (command == NotifyModemstate) {
        m_modemState = quint8(value);
        feed.Events << Event {Event::Kind::ModemState, command, value};
        return;
    }
    if (command == SetControl && !flowControlValue(value))
        return; // DTR, RTS and break are not waited for
    for (qsizetype k = 0; k < m_pending.size(); ++k) {
        const Pending p = m_pending.at(k);
        if (p.Command != command)
            continue;
        m_pending.removeAt(k);
        const bool taken = p.Value == 0 || p.Value == value;
        feed.Events << Event {taken ? Event::Kind::Acknowledged : Event::Kind::SettingRefused, command, p.Value,
                              value};
        return;
    }
}

QByteArray Rfc2217Codec::EncodeData(const char *bytes, qsizetype size) const
{
    QByteArray out;
    out.reserve(size + size / 8 + 2);
    const bool binary = m_options[Binary].Us;
    for (qsizetype i = 0; i < size; ++i) {
        const quint8 b = quint8(bytes[i]);
        appendEscaped(out, b);
        if (b == Cr && !binary && (i + 1 >= size || quint8(bytes[i + 1]) != Lf))
            out.append('\0');
    }
    return out;
}

QByteArray Rfc2217Codec::command(quint8 code, const QByteArray &value, bool remembered, quint32 number)
{
    const char head[] = {char(Iac), char(Sb), char(ComPortOption)};
    QByteArray out(head, sizeof head);
    appendEscaped(out, code);
    for (const char c : value)
        appendEscaped(out, quint8(c));
    out.append(char(Iac)).append(char(Se));
    if (remembered)
        m_pending.append(Pending {code, number});
    return out;
}

QByteArray Rfc2217Codec::SetBaudrateCommand(quint32 baudrate)
{
    const char bytes[] = {char(baudrate >> 24), char(baudrate >> 16), char(baudrate >> 8), char(baudrate)};
    const QByteArray value(bytes, sizeof bytes);
    return command(SetBaudrate, value, true, baudrate);
}

QByteArray Rfc2217Codec::SetDatasizeCommand(quint8 bits)
{
    return command(SetDatasize, QByteArray(1, char(bits)), true, bits);
}

QByteArray Rfc2217Codec::SetParityCommand(Parity parity)
{
    return command(SetParity, QByteArray(1, char(parity)), true, parity);
}

QByteArray Rfc2217Codec::SetStopsizeCommand(Stopsize stop)
{
    return command(SetStopsize, QByteArray(1, char(stop)), true, stop);
}

QByteArray Rfc2217Codec::SetControlCommand(Control control)
{
    return command(SetControl, QByteArray(1, char(control)), flowControlValue(control), control);
}

QByteArray Rfc2217Codec::PurgeDataCommand(Purge what)
{
    return command(PurgeData, QByteArray(1, char(what)), false, what);
}

QByteArray Rfc2217Codec::LinestateMaskCommand(quint8 mask)
{
    return command(SetLinestateMask, QByteArray(1, char(mask)), false, mask);
}

QByteArray Rfc2217Codec::ModemstateMaskCommand(quint8 mask)
{
    return command(SetModemstateMask, QByteArray(1, char(mask)), false, mask);
}
