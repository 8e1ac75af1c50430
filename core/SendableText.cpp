#include "core/SendableText.h"

#include <QChar>
#include <QStringDecoder>

namespace {

QString codePoint(char32_t c)
{
    return QStringLiteral("U+%1").arg(QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

// The usual name of the control characters a text file may hold by mistake.
QString controlName(char32_t c)
{
    switch (c) {
    case 0x00:
        return QStringLiteral("a zero byte");
    case 0x09:
        return QStringLiteral("a tab");
    case 0x0A:
        return QStringLiteral("a line feed");
    case 0x0D:
        return QStringLiteral("a carriage return");
    case 0x1B:
        return QStringLiteral("ESC");
    default:
        return QStringLiteral("a control character");
    }
}

bool blankLine(QStringView line)
{
    for (QChar c : line) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t'))
            return false;
    }
    return true;
}

} // namespace

bool IsSendableChar(char32_t c)
{
    // Soft hyphen and the C1 range count as control characters: the device
    // would store a byte that no one can see or type.
    return c <= 0xFF && c != U'>' && QChar::isPrint(c);
}

QString SendableFault::CharacterName() const
{
    if (kind == Kind::Control)
        return controlName(Character) + QStringLiteral(" (") + codePoint(Character) + QLatin1Char(')');
    const char32_t one[] = {Character};
    return QLatin1Char('"') + QString::fromUcs4(one, 1) + QStringLiteral("\" (") + codePoint(Character)
           + QLatin1Char(')');
}

QString SendableFault::Reason() const
{
    switch (kind) {
    case Kind::None:
        return {};
    case Kind::Control:
        return CharacterName() + QStringLiteral(" cannot be sent to Mirto: a command is one line of "
                                                "printable characters");
    case Kind::NotLatin1:
        return CharacterName() + QStringLiteral(" is not a single-byte (Latin-1) character; Mirto "
                                                "cannot take it");
    case Kind::PromptMark:
        return QStringLiteral("\">\" cannot be sent to Mirto: it would be taken for the end of Mirto's answer");
    case Kind::TooLong:
        return QStringLiteral("a command line has at most %1 characters; this one has %2")
            .arg(LongestSendableLine)
            .arg(Column);
    }
    return {};
}

QString SendableFault::Message() const
{
    if (!IsFault())
        return {};
    QString place;
    if (Line > 0)
        place = QStringLiteral("Line %1").arg(Line);
    if (kind != Kind::TooLong) {
        if (!place.isEmpty())
            place += QStringLiteral(", character %1").arg(Column);
        else
            place = QStringLiteral("Character %1").arg(Column);
    }
    return place.isEmpty() ? Reason() : place + QStringLiteral(": ") + Reason();
}

SendableFault CheckSendableLine(QStringView line)
{
    SendableFault fault;
    int column = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        char32_t c = line.at(i).unicode();
        // A character beyond the 16-bit range is one character, not two.
        if (QChar::isHighSurrogate(c) && i + 1 < line.size() && line.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(line.at(i), line.at(i + 1));
            ++i;
        }
        ++column;
        if (IsSendableChar(c))
            continue;
        fault.Column = column;
        fault.Character = c;
        if (c == U'>')
            fault.kind = SendableFault::Kind::PromptMark;
        else if (c > 0xFF)
            // Unpaired surrogates and unassigned characters included: none
            // has a byte the device could store.
            fault.kind = SendableFault::Kind::NotLatin1;
        else
            fault.kind = SendableFault::Kind::Control;
        return fault;
    }
    if (column > LongestSendableLine) {
        fault.kind = SendableFault::Kind::TooLong;
        fault.Column = column;
    }
    return fault;
}

QString DecodeDeviceText(const QByteArray &bytes)
{
    QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (!utf8.hasError())
        return text;
    // Not UTF-8: a file written in the device's own single-byte form, as
    // the tool writes configuration files.
    return QString::fromLatin1(view);
}

QByteArray SendableBytes(QStringView line)
{
    return line.toLatin1();
}

SendableFault CheckSendableText(const QByteArray &text, QList<SendableLine> &lines)
{
    lines.clear();
    const QString decoded = DecodeDeviceText(text);
    const QList<QStringView> rows = QStringView(decoded).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QStringView row = rows.at(i);
        // Files written on Windows end their lines with CR LF.
        if (row.endsWith(QLatin1Char('\r')))
            row.chop(1);
        if (blankLine(row) || row.startsWith(QLatin1Char('#')))
            continue;
        const int number = int(i + 1);
        SendableFault fault = CheckSendableLine(row);
        if (fault.IsFault()) {
            fault.Line = number;
            lines.clear();
            return fault;
        }
        lines.append({number, SendableBytes(row)});
    }
    return {};
}
