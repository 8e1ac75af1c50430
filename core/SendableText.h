#pragma once

// What a command line sent to the device may hold, for every sender alike:
// the command line, mirto-cli, command files and programming. The device
// takes single bytes (Latin-1), ends every answer with '>' and stores the
// values it is given as they arrive, so a line may hold only printable
// Latin-1 characters other than '>', and at most LongestSendableLine of them.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

// A command and its line feed fit one write to the device.
constexpr int LongestSendableLine = 1022;

// What is wrong with a text that is to be sent, and where.
struct SendableFault {
    enum class Kind {
        None,
        Control,    // a control character (line break, tab, ESC, NUL, ...)
        NotLatin1,  // beyond what the device takes (one byte a character)
        PromptMark, // '>', which ends the device's answer
        TooLong,    // longer than LongestSendableLine
    };

    Kind kind = Kind::None;
    // Of a whole text, from 1; 0 for a single line.
    int Line = 0;
    // The offending character's position in its line, from 1 (counted in
    // characters, not bytes); for TooLong the line's length.
    int Column = 0;
    char32_t Character = 0;

    bool IsFault() const { return kind != Kind::None; }
    // The character as the user knows it: "€" (U+20AC), ESC (U+001B).
    QString CharacterName() const;
    // Why the character cannot go, without its place: "\"€\" (U+20AC) is
    // not a single-byte (Latin-1) character; Mirto cannot take it".
    QString Reason() const;
    // The place and the reason: "Line 3, character 7: ..." (without the
    // line for a single line).
    QString Message() const;
};

// True for a character the device takes in a command.
bool IsSendableChar(char32_t c);

// The first character of `line` that cannot be sent, or a line too long.
SendableFault CheckSendableLine(QStringView line);

// The text of a file as the user wrote it: a UTF-8 byte-order mark at the
// start is dropped; UTF-8 when the bytes are valid UTF-8, otherwise one
// byte a character (Latin-1, the device's own form).
QString DecodeDeviceText(const QByteArray &bytes);

// The bytes a checked line goes out as: one a character.
QByteArray SendableBytes(QStringView line);

// One command line of a text of lines and where it stands.
struct SendableLine {
    int Number = 0;   // from 1
    QByteArray Bytes; // as sent, without its line end
};

// A text of command lines, as a command file holds them: lines end in LF or
// CR LF; a byte-order mark at the start is skipped; lines whose first
// character is '#' and lines of blanks alone are skipped. The whole text is
// checked before any line is taken: the first fault found is returned and
// `lines` is then empty.
SendableFault CheckSendableText(const QByteArray &text, QList<SendableLine> &lines);
