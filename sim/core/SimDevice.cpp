#include "sim/core/SimDevice.h"

namespace {

constexpr char Eol[] = "\r\n";

QByteArray Line(const QByteArray &text)
{
    return text + Eol;
}

// A value longer than its field is refused whole, as the device does: its
// store keeps nothing of it, and cutting it silently would leave the tool
// believing the whole value was kept.
QByteArray TooLong(const QByteArray &what, int capacity)
{
    return Line("Invalid " + what + ": longer than " + QByteArray::number(capacity) + " characters");
}

// "Label" padded so that every value of a read-out starts in one column.
QByteArray Item(const char *label, const QByteArray &value)
{
    return Line(QByteArray(label).leftJustified(20, ' ') + ": " + value);
}

int IspIndex(char key)
{
    if (key >= '1' && key <= '9')
        return key - '0';
    if (key >= 'A' && key <= 'C')
        return key - 'A' + 10;
    if (key >= 'a' && key <= 'c')
        return key - 'a' + 10;
    return -1;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray ModeMeaning(const QByteArray &mode)
{
    if (mode == "1")
        return "ISP and channels from firmware";
    if (mode == "2")
        return "fixed ISP, channels from the web";
    if (mode == "3")
        return "fixed ISP, fixed channels";
    return "not set";
}

QByteArray TypeMeaning(const QByteArray &type)
{
    if (type == "E")
        return "Ethernet";
    if (type == "T")
        return "telephone line";
    if (type == "TE")
        return "telephone line and Ethernet";
    return "unknown";
}

// Splits "word rest" at the first run of blanks; the rest keeps inner and
// trailing blanks because values are taken from it as sent.
void SplitWord(const QByteArray &text, QByteArray &word, QByteArray &rest)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == ' ')
        ++i;
    qsizetype end = i;
    while (end < text.size() && text.at(end) != ' ')
        ++end;
    word = text.mid(i, end - i);
    rest = end < text.size() ? text.mid(end + 1) : QByteArray();
}

} // namespace

QList<QByteArray> SimLineBuffer::Take(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype pos = 0;
    QByteArray line;
    while (TakeLine(bytes, pos, line))
        lines.append(line);
    return lines;
}

bool SimLineBuffer::TakeLine(const QByteArray &bytes, qsizetype &pos, QByteArray &line)
{
    while (pos < bytes.size()) {
        const char c = bytes.at(pos++);
        if (c == '\n' && m_afterCr) {
            m_afterCr = false;
            continue;
        }
        m_afterCr = c == '\r';
        if (c == '\n' || c == '\r') {
            line = m_partial;
            m_partial.clear();
            return true;
        }
        if (m_partial.size() < MaxLineLength)
            m_partial.append(c);
    }
    return false;
}

void SimLineBuffer::Clear()
{
    m_partial.clear();
    m_afterCr = false;
}

SimDevice::SimDevice()
{
    m_isp[12] = "F";
}

void SimDevice::SetSerialNumber(const QByteArray &serial)
{
    m_serial = serial;
}

void SimDevice::SetSoftwareVersion(const QByteArray &version)
{
    m_version = version;
}

void SimDevice::SetMode(const QByteArray &mode)
{
    m_mode = mode;
}

void SimDevice::SetType(const QByteArray &type)
{
    m_type = type;
}

int SimDevice::IspCapacity(char key)
{
    switch (IspIndex(key)) {
    case 1:
        return 12;
    case 2:
    case 4:
        return 24;
    case 3:
        return 34;
    case 5:
    case 6:
    case 9:
    case 10:
        return 20;
    case 7:
    case 11:
        return UrlCapacity;
    case 12:
        return 1;
    default:
        return 0;
    }
}

QByteArray SimDevice::IspItem(char key) const
{
    const int index = IspIndex(key);
    return index > 0 ? m_isp[size_t(index)] : QByteArray();
}

bool SimDevice::SetIspItem(char key, const QByteArray &value)
{
    const int capacity = IspCapacity(key);
    if (capacity == 0)
        return false;
    m_isp[size_t(IspIndex(key))] = value.left(capacity);
    return true;
}

QByteArray SimDevice::ChannelName(int index) const
{
    return index >= 0 && index < ChannelSlots ? m_channels[size_t(index)].name : QByteArray();
}

QByteArray SimDevice::ChannelUrl(int index) const
{
    return index >= 0 && index < ChannelSlots ? m_channels[size_t(index)].url : QByteArray();
}

void SimDevice::SetChannel(int index, const QByteArray &name, const QByteArray &url)
{
    if (index < 0 || index >= ChannelSlots)
        return;
    m_channels[size_t(index)] = {name.left(NameCapacity), url.left(UrlCapacity)};
}

void SimDevice::EraseChannels()
{
    m_channels.fill({});
}

int SimDevice::ChannelsInUse() const
{
    int n = 0;
    for (const Channel &c : m_channels)
        n += !c.name.isEmpty() || !c.url.isEmpty();
    return n;
}

QByteArray SimDevice::Feed(const QByteArray &bytes)
{
    QByteArray out;
    const QList<QByteArray> lines = m_lines.Take(bytes);
    for (const QByteArray &line : lines)
        out += HandleLine(line);
    return out;
}

QByteArray SimDevice::HandleLine(const QByteArray &rawLine)
{
    if (m_silent)
        return {};
    QByteArray line = rawLine;
    while (line.endsWith('\r') || line.endsWith('\n'))
        line.chop(1);
    while (line.startsWith(';'))
        line.remove(0, 1);
    QByteArray command;
    QByteArray args;
    SplitWord(line, command, args);
    QByteArray answer = Answer(command, args);
    if (!Withholds(line, command))
        answer += '>';
    return answer;
}

bool SimDevice::Withholds(const QByteArray &line, const QByteArray &command) const
{
    if (m_withheld.isEmpty())
        return false;
    return line.trimmed() == m_withheld || command.compare(m_withheld, Qt::CaseInsensitive) == 0;
}

QByteArray SimDevice::Answer(const QByteArray &word, const QByteArray &args)
{
    const QByteArray command = word.toLower();
    const bool bare = args.trimmed().isEmpty();
    if (command.isEmpty())
        return {};
    if (command == "snum")
        return bare ? SnumText() : SnumCommand(args);
    if (command == "ver")
        return VerText();
    if (command == "mode") {
        if (bare)
            return ModeText();
        const QByteArray mode = args.trimmed();
        if (mode != "1" && mode != "2" && mode != "3")
            return Line("Invalid mode: " + mode + " (1, 2 or 3)");
        m_mode = mode;
        return Line("# mode changed") + ModeText();
    }
    if (command == "type") {
        if (bare)
            return TypeText();
        const QByteArray type = args.trimmed().toUpper();
        if (type != "E" && type != "T" && type != "TE")
            return Line("Invalid type: " + args.trimmed() + " (E, T or TE)");
        m_type = type;
        return TypeText();
    }
    if (command == "isp")
        return bare ? IspText() : IspCommand(args);
    if (command == "channel")
        return bare ? ChannelText() : ChannelCommand(args);
    if (command == "memory")
        return Line("Memory usage")
               + Item("Flash", "118272 of 131072 bytes")
               + Item("RAM", "6912 of 8192 bytes")
               + Item("EEPROM", "3840 of 4096 bytes");
    if (command == "heap")
        return Line("Heap usage")
               + Item("Heap size", "2048")
               + Item("In use", "1356")
               + Item("Largest free block", "512")
               + Item("Allocations", "37");
    if (command == "threads")
        return Line("Id  Name        State    Stack")
               + Line(" 1  main        running  212/512")
               + Line(" 2  net         waiting  180/384")
               + Line(" 3  audio       running  240/384")
               + Line(" 4  modem       sleeping  96/256")
               + Line(" 5  console     running  150/256");
    if (command == "timers")
        return Line("Id  Period   Next     Owner")
               + Line(" 1    10 ms    4 ms   audio")
               + Line(" 2   100 ms   63 ms   net")
               + Line(" 3  1000 ms  412 ms   main")
               + Line(" 4 30000 ms 8120 ms   modem");
    if (command == "vshow")
        return Line("VS1011 decoder")
               + Item("Mode", "0x0800")
               + Item("Status", "0x0038")
               + Item("Clock", "0x9800")
               + Item("Volume", "0x2020")
               + Item("Decode time", "1288 s")
               + Item("Bit rate", "128 kbit/s")
               + Item("Sample rate", "44100 Hz");
    if (command == "eeprom")
        return EepromText();
    if (command == "reset") {
        ++m_resets;
        return Line("# restart") + Line("Mirto starting") + Line("# link up");
    }
    if (command == "help")
        return Line("Commands:")
               + Line("  help                  this list")
               + Line("  snum                  show MAC address and serial number")
               + Line("  snum 0000NNNNN        set the serial number")
               + Line("  ver                   show the software version")
               + Line("  mode                  show the operating mode")
               + Line("  mode N                set the operating mode (1, 2, 3)")
               + Line("  type                  show the device type")
               + Line("  type X                set the device type (E, T, TE)")
               + Line("  isp                   show the ISP and network settings")
               + Line("  isp K VALUE           set ISP item K (1-7, 9, A-C)")
               + Line("  channel               show the channels")
               + Line("  channel 1 D NAME      set the name of channel D (0-F)")
               + Line("  channel 2 D URL       set the URL of channel D (0-F)")
               + Line("  channel 3 0           erase all channels")
               + Line("  memory, heap          show memory use")
               + Line("  threads, timers       show the scheduler")
               + Line("  vshow                 show the audio decoder")
               + Line("  eeprom                dump the settings store")
               + Line("  reset                 restart the device");
    return Line("Unknown command: " + word);
}

QByteArray SimDevice::SnumText() const
{
    QByteArray mac = m_serial.rightJustified(6, '0').left(6).toUpper();
    mac = "02-00-00-" + mac.mid(0, 2) + '-' + mac.mid(2, 2) + '-' + mac.mid(4, 2);
    // Short on purpose: the tool keeps an answer whole only up to 60
    // characters when it arrives in several pieces.
    const char *word = m_snumWord ? "Serialnumber" : "Serial no.";
    return Line(QByteArray(word).leftJustified(20, ' ') + ": " + m_serial) + Line("MAC " + mac);
}

QByteArray SimDevice::VerText() const
{
    return Line("Mirto V: " + m_version) + Line("Build 2024-03-14, boot loader 1.2");
}

QByteArray SimDevice::ModeText() const
{
    return Item("Mode", m_mode + " (" + ModeMeaning(m_mode) + ")");
}

QByteArray SimDevice::TypeText() const
{
    return Item("Type", m_type + " (" + TypeMeaning(m_type) + ")");
}

QByteArray SimDevice::IspText() const
{
    const QByteArray ip = IspItem('9');
    return Item("1 ISP name", IspItem('1'))
           + Item("2 ISP number", IspItem('2'))
           + Item("3 ISP username", IspItem('3'))
           + Item("4 ISP password", IspItem('4'))
           + Item("5 DNS 1", IspItem('5'))
           + Item("6 DNS 2", IspItem('6'))
           + Item("7 Web URL", IspItem('7'))
           + Item("9 IP address", ip.isEmpty() ? QByteArray("DHCP") : ip)
           + Item("A Gateway", IspItem('A'))
           + Item("B Update URL", IspItem('B'))
           + Item("C Remote update", IspItem('C'));
}

QByteArray SimDevice::ChannelText() const
{
    QByteArray out;
    for (int i = 0; i < ChannelSlots; ++i) {
        const Channel &c = m_channels[size_t(i)];
        if (c.name.isEmpty() && c.url.isEmpty())
            continue;
        const QByteArray digit = QByteArray::number(i, 16).toUpper();
        out += Line("Channel " + digit + " name: " + c.name);
        out += Line("Channel " + digit + " url : " + c.url);
    }
    return out.isEmpty() ? Line("No channels") : out;
}

QByteArray SimDevice::EepromText() const
{
    // The settings store as the device keeps it: the fields one after the
    // other, each zero-terminated, shown 16 bytes to a row.
    QByteArray store = m_serial + '\0' + m_mode + '\0' + m_type + '\0';
    for (int key = 1; key <= 12; ++key)
        store += m_isp[size_t(key)] + '\0';
    for (const Channel &c : m_channels)
        store += c.name + '\0' + c.url + '\0';
    store = store.leftJustified(((store.size() + 15) / 16) * 16, '\xff');
    QByteArray out;
    for (qsizetype row = 0; row < store.size(); row += 16) {
        QByteArray text = QByteArray::number(row, 16).rightJustified(4, '0') + ' ';
        QByteArray ascii;
        for (qsizetype i = row; i < row + 16; ++i) {
            const auto byte = static_cast<unsigned char>(store.at(i));
            text += ' ' + QByteArray::number(byte, 16).rightJustified(2, '0');
            // The prompt character must not show up inside an answer.
            ascii += byte >= 0x20 && byte < 0x7f && byte != '>' ? char(byte) : '.';
        }
        out += Line(text + "  " + ascii);
    }
    return out;
}

QByteArray SimDevice::SnumCommand(const QByteArray &args)
{
    const QByteArray digits = args.trimmed();
    for (const char c : digits) {
        if (HexDigit(c) < 0)
            return Line("Invalid serial number: " + digits);
    }
    m_serial = digits.right(5).rightJustified(5, '0');
    return Line("# serial number stored") + SnumText();
}

QByteArray SimDevice::IspCommand(const QByteArray &args)
{
    QByteArray key;
    QByteArray value;
    SplitWord(args, key, value);
    if (key.size() != 1 || IspCapacity(key.at(0)) == 0)
        return Line("Invalid ISP item: " + key);
    const char k = key.at(0);
    value = value.trimmed();
    if (IspIndex(k) == 12) {
        value = value.toUpper();
        if (value != "T" && value != "F")
            return Line("Invalid flag: " + value + " (T or F)");
    }
    if (value.size() > IspCapacity(k))
        return TooLong("ISP item " + key, IspCapacity(k));
    SetIspItem(k, value);
    return Line("OK");
}

QByteArray SimDevice::ChannelCommand(const QByteArray &args)
{
    QByteArray what;
    QByteArray rest;
    SplitWord(args, what, rest);
    QByteArray slot;
    QByteArray value;
    SplitWord(rest, slot, value);
    const int index = slot.size() == 1 ? HexDigit(slot.at(0)) : -1;
    if (index < 0 || (what != "1" && what != "2" && what != "3"))
        return Line("Invalid channel command: " + args.trimmed());
    Channel &c = m_channels[size_t(index)];
    value = value.trimmed();
    if (what == "1") {
        if (value.size() > NameCapacity)
            return TooLong("channel name", NameCapacity);
        c.name = value;
        return Line("OK");
    }
    if (what == "2") {
        if (value.size() > UrlCapacity)
            return TooLong("channel URL", UrlCapacity);
        c.url = value;
        return Line("OK");
    }
    if (index != 0)
        return Line("Invalid channel command: " + args.trimmed());
    EraseChannels();
    return Line("# all channels erased");
}

QByteArray SimDevice::FloodLine(qint64 n)
{
    // A fixed pseudo-random walk so that every run sends the same text.
    quint32 x = quint32(n) * 2654435761u + 12345u;
    x ^= x >> 13;
    const int length = int(x % 97);
    QByteArray line;
    if (x % 5 != 0)
        line += '#';
    line += ' ' + QByteArray::number(n).rightJustified(8, '0') + ' ';
    static constexpr char Filler[] = "abcdefghijklmnopqrstuvwxyz0123456789 .,:;-=+/#";
    for (int i = 0; i < length; ++i)
        line += Filler[(quint32(i) + x) % (sizeof Filler - 1)];
    return line + Eol;
}

QByteArray SimDevice::FloodText(qint64 bytes)
{
    QByteArray out;
    for (qint64 n = 0; out.size() < bytes; ++n)
        out += FloodLine(n);
    out.truncate(qsizetype(bytes));
    return out;
}
