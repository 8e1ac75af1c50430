#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// The client's side of a serial port on a serial server (RFC 2217): Telnet
// option negotiation, the port's line settings and the data in between, with
// 0xFF doubled on the way out and undoubled on the way in. A plain machine,
// fed what the socket delivered and returning what goes back, so that the
// link on the socket stays thin and every byte rule is tested alone. Input
// may be split anywhere, inside a command or between the two bytes of a
// doubled 0xFF.
class Rfc2217Codec {
public:
    // The port commands; a server answers each with its number plus 100.
    enum Command : quint8 {
        SetBaudrate = 1,
        SetDatasize = 2,
        SetParity = 3,
        SetStopsize = 4,
        SetControl = 5,
        NotifyLinestate = 6,
        NotifyModemstate = 7,
        FlowcontrolSuspend = 8,
        FlowcontrolResume = 9,
        SetLinestateMask = 10,
        SetModemstateMask = 11,
        PurgeData = 12,
    };
    enum Parity : quint8 { ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5 };
    enum Stopsize : quint8 { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
    enum Control : quint8 {
        NoFlowControl = 1,
        XonXoffFlowControl = 2,
        HardwareFlowControl = 3,
        DtrOn = 8,
        DtrOff = 9,
        RtsOn = 11,
        RtsOff = 12,
    };
    enum Purge : quint8 { PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };

    struct Event {
        enum class Kind {
            // The server takes port commands (it said DO COM-PORT-OPTION).
            PortControlAccepted,
            // The server will not take port commands.
            PortControlRefused,
            // The server answered a setting with the value asked for.
            Acknowledged,
            // The server answered a setting with another value: it did not
            // take the one asked for (Value the one asked, Answer its own).
            SettingRefused,
            LineState,
            ModemState,
        };
        Kind Type;
        quint8 Command = 0;
        quint32 Value = 0;
        quint32 Answer = 0;
        friend bool operator==(const Event &, const Event &) = default;
    };

    struct Feed {
        // The device's bytes, escapes undone.
        QByteArray Data;
        // What must go back to the server (negotiation answers).
        QByteArray Reply;
        QList<Event> Events;
    };

    // The opening offers: binary both ways, no go-aheads, port control.
    QByteArray Start();
    Feed Take(const char *bytes, qsizetype size);
    Feed Take(const QByteArray &bytes) { return Take(bytes.constData(), bytes.size()); }

    // The device's bytes as they go on the wire.
    QByteArray EncodeData(const char *bytes, qsizetype size) const;
    QByteArray EncodeData(const QByteArray &bytes) const { return EncodeData(bytes.constData(), bytes.size()); }

    // A port command; the settings are remembered, so that the server's answer
    // tells whether it took them. A value of 0 asks for the current one.
    QByteArray SetBaudrateCommand(quint32 baudrate);
    QByteArray SetDatasizeCommand(quint8 bits);
    QByteArray SetParityCommand(Parity parity);
    QByteArray SetStopsizeCommand(Stopsize stop);
    QByteArray SetControlCommand(Control control);
    QByteArray PurgeDataCommand(Purge what);
    QByteArray LinestateMaskCommand(quint8 mask);
    QByteArray ModemstateMaskCommand(quint8 mask);

    // Whether the server has said anything in Telnet at all: a plain TCP
    // port never does.
    bool HeardTelnet() const { return m_heardTelnet; }
    bool PortControl() const { return m_portControl; }
    // Settings sent whose answer has not come yet.
    int Unanswered() const { return int(m_pending.size()); }
    quint8 LastLineState() const { return m_lineState; }
    quint8 LastModemState() const { return m_modemState; }

    // Longest subnegotiation kept; a longer one is dropped whole.
    static constexpr qsizetype MaxSubnegotiation = 64;

private:
    enum class State { Data, Iac, Verb, Sub, SubIac, Cr };
    struct Option {
        bool Us = false;       // we do it
        bool UsAsked = false;  // we offered and wait for the answer
        bool Him = false;      // the server does it
        bool HimAsked = false; // we asked and wait for the answer
    };
    struct Pending {
        quint8 Command;
        quint32 Value;
    };

    void verb(quint8 verb, quint8 option, Feed &feed);
    void subnegotiation(Feed &feed);
    QByteArray command(quint8 command, const QByteArray &value, bool remembered, quint32 number);
    static bool supported(quint8 option);
    Option &option(quint8 code) { return m_options[code]; }

    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    bool m_subOverflow = false;
    Option m_options[256] {};
    bool m_heardTelnet = false;
    bool m_portControl = false;
    QList<Pending> m_pending;
    quint8 m_lineState = 0;
    quint8 m_modemState = 0;
};
