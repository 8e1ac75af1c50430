#pragma once

#include <QByteArray>
#include <QList>

#include <array>

// Cuts a byte stream into command lines. A line ends at LF, at CR or at CR LF,
// so that both the tool (LF) and an interactive terminal program (CR) work.
class SimLineBuffer {
public:
    QList<QByteArray> Take(const QByteArray &bytes);
    // Takes bytes from `pos` on until a line is complete: true with the line
    // in `line` and `pos` just after its end; false when the bytes ran out
    // first (`pos` then at their end, the start of the line kept).
    bool TakeLine(const QByteArray &bytes, qsizetype &pos, QByteArray &line);
    void Clear();

    // A line that grows beyond this is cut; the device's line buffer is finite
    // and a stream of bytes without line ends must not eat the memory.
    static constexpr qsizetype MaxLineLength = 4096;

private:
    QByteArray m_partial;
    bool m_afterCr = false;
};

// The device behind the link: its settings and its answers to command lines.
// No I/O and no timing here; SimServer carries the bytes and applies the
// answer delay and the pieces.
class SimDevice {
public:
    static constexpr int ChannelSlots = 16;

    SimDevice();

    // The answer to one command line (without its line end; a trailing CR is
    // ignored). An answer is its lines, each ending in CR LF, followed by the
    // prompt '>'. Empty when the device is silent. A ';' at the start of the
    // line is dropped: it is the boot loader's leave byte, which the tool
    // also sends when the boot loader has already gone.
    QByteArray HandleLine(const QByteArray &line);
    // Splits `bytes` into lines (keeping an unfinished one for the next call)
    // and returns the answers one after the other.
    QByteArray Feed(const QByteArray &bytes);

    // Settings of the device.
    QByteArray SerialNumber() const { return m_serial; }
    void SetSerialNumber(const QByteArray &serial);
    QByteArray SoftwareVersion() const { return m_version; }
    void SetSoftwareVersion(const QByteArray &version);
    QByteArray Mode() const { return m_mode; }
    void SetMode(const QByteArray &mode);
    QByteArray Type() const { return m_type; }
    void SetType(const QByteArray &type);
    // ISP items by their key as the "isp" command uses them: '1' name,
    // '2' number, '3' user name, '4' password, '5' DNS 1, '6' DNS 2, '7' web
    // URL, '9' IP address (empty: DHCP), 'A' gateway, 'B' remote update URL,
    // 'C' remote update flag (T or F). Other keys hold nothing.
    QByteArray IspItem(char key) const;
    bool SetIspItem(char key, const QByteArray &value);
    // Channel slots by zero-based index.
    QByteArray ChannelName(int index) const;
    QByteArray ChannelUrl(int index) const;
    void SetChannel(int index, const QByteArray &name, const QByteArray &url);
    void EraseChannels();
    // Slots with a name or a URL.
    int ChannelsInUse() const;
    int ResetCount() const { return m_resets; }

    // Behaviour for tests and trials.
    int AnswerDelay() const { return m_answerDelay; }
    void SetAnswerDelay(int msecs) { m_answerDelay = msecs; }
    // Lines whose whole text or whose command word equals this get their
    // answer without the prompt. Empty: none.
    QByteArray WithheldCommand() const { return m_withheld; }
    void SetWithheldCommand(const QByteArray &command) { m_withheld = command; }
    // Answers are written in pieces of this many bytes; 0 writes them whole.
    int PieceSize() const { return m_pieceSize; }
    void SetPieceSize(int bytes) { m_pieceSize = bytes; }
    // Flood size for the server to send when asked; 0 for none.
    qint64 FloodSize() const { return m_floodSize; }
    void SetFloodSize(qint64 bytes) { m_floodSize = bytes; }
    bool Silent() const { return m_silent; }
    void SetSilent(bool silent) { m_silent = silent; }
    // False: the answer to "snum" lacks the word the identification looks for.
    bool SnumAnswerWord() const { return m_snumWord; }
    void SetSnumAnswerWord(bool withWord) { m_snumWord = withWord; }

    // Line `n` (from 0) of flood text, CR LF included. Lines vary in length,
    // most carry an event mark '#', none holds the prompt character.
    static QByteArray FloodLine(qint64 n);
    // The first `bytes` bytes of the flood text.
    static QByteArray FloodText(qint64 bytes);

    // Field capacities of the device's own store.
    static int IspCapacity(char key);
    static constexpr int NameCapacity = 12;
    static constexpr int UrlCapacity = 144;

private:
    struct Channel {
        QByteArray name;
        QByteArray url;
    };

    QByteArray Answer(const QByteArray &command, const QByteArray &args);
    QByteArray SnumText() const;
    QByteArray VerText() const;
    QByteArray ModeText() const;
    QByteArray IspText() const;
    QByteArray ChannelText() const;
    QByteArray TypeText() const;
    QByteArray EepromText() const;
    QByteArray ChannelCommand(const QByteArray &args);
    QByteArray IspCommand(const QByteArray &args);
    QByteArray SnumCommand(const QByteArray &args);
    bool Withholds(const QByteArray &line, const QByteArray &command) const;

    QByteArray m_serial = "00042";
    QByteArray m_version = "4.0.1";
    QByteArray m_mode = "3";
    QByteArray m_type = "TE";
    std::array<QByteArray, 13> m_isp; // index = key value 1..12
    std::array<Channel, ChannelSlots> m_channels;
    int m_resets = 0;

    int m_answerDelay = 0;
    QByteArray m_withheld;
    int m_pieceSize = 0;
    qint64 m_floodSize = 0;
    bool m_silent = false;
    bool m_snumWord = true;

    SimLineBuffer m_lines;
};
