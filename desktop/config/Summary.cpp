#include "desktop/config/Summary.h"

#include "core/AtomicFile.h"

#include <QColor>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>

#include <algorithm>

namespace {

using Kind = SummaryParagraph::Kind;

QString Text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

// Labels padded so that the values of a section start in one column.
QString Label(const char *label, int width)
{
    return QString::fromLatin1(label).leftJustified(width, QLatin1Char(' '));
}

class Paragraphs {
public:
    void Heading(const QString &text) { m_list.append({Kind::Heading, text}); }
    void Detail(const QString &text) { m_list.append({Kind::Detail, text}); }
    void Blank() { m_list.append({Kind::Blank, QString()}); }
    QList<SummaryParagraph> Take() { return std::move(m_list); }

private:
    QList<SummaryParagraph> m_list;
};

QString TypeMeaning(const DeviceConfigRecord &c)
{
    if (c.Type == "E")
        return QStringLiteral(" (Ethernet)");
    if (c.Type == "T")
        return QStringLiteral(" (Telephone line)");
    if (c.Type == "TE")
        return QStringLiteral(" (Telephone line + Ethernet)");
    return QString();
}

QString ModeText(const DeviceConfigRecord &c, int mode)
{
    switch (mode) {
    case 1:
        return QStringLiteral("1");
    case 2:
        if (WebMethodIsFile(c))
            return QStringLiteral("2 (using a Web File)");
        if (WebMethodIsDatabase(c))
            return QStringLiteral("2 (using a Web Database)");
        return QStringLiteral("2 (WARNING: unknown Web method)");
    case 3:
        return QStringLiteral("3");
    default:
        return QString();
    }
}

const QColor HeadingColour(Qt::red);
const QColor DetailColour(Qt::blue);

// Puts the cursor into a fresh left-aligned paragraph: the document's first
// one, or a new one behind the last.
void NewParagraph(QTextCursor &cursor, bool &first, const QTextCharFormat &chars)
{
    QTextBlockFormat block;
    block.setAlignment(Qt::AlignLeft);
    if (first) {
        cursor.setBlockFormat(block);
        cursor.setBlockCharFormat(chars);
        first = false;
    } else {
        cursor.insertBlock(block, chars);
    }
}

} // namespace

QList<SummaryParagraph> SummaryParagraphs(const DeviceConfigRecord &c)
{
    const int mode = ValidMode(c);
    Paragraphs p;

    p.Heading(QStringLiteral("Type setting (not stored in Mirto)"));
    p.Detail(QStringLiteral("Type is set to ") + Text(c.Type.value()) + TypeMeaning(c));
    p.Blank();

    p.Heading(QStringLiteral("Mode setting"));
    p.Detail(QStringLiteral("Mode is set to ") + ModeText(c, mode));
    if (mode == 2)
        p.Detail(QStringLiteral("Web URL: ") + Text(c.IspDbUrl.value()));
    p.Blank();

    if (HasPhoneLine(c)) {
        p.Heading(QStringLiteral("ISP setting"));
        if (mode == 1) {
            p.Detail(QStringLiteral("Not Applicable in mode 1"));
        } else {
            p.Detail(Label("Name:", 15) + Text(c.IspName.value()));
            p.Detail(Label("Number:", 15) + Text(c.IspNumber.value()));
            p.Detail(Label("Username:", 15) + Text(c.IspUserName.value()));
            p.Detail(Label("Password:", 15) + Text(c.IspPassword.value()));
        }
        p.Blank();
    }

    p.Heading(QStringLiteral("Network settings"));
    if (!HasEthernet(c)) {
        p.Detail(QStringLiteral("Not Applicable when type set to 'T'"));
    } else if (IsDhcp(c)) {
        p.Detail(QStringLiteral("Network mode is DHCP"));
    } else {
        p.Detail(QStringLiteral("Network mode is Fixed IP"));
        p.Blank();
        p.Detail(Label("IP address:", 17) + Text(c.IPAddress.value()));
        p.Detail(Label("Gateway:", 17) + Text(c.Gateway.value()));
        p.Detail(Label("DNS 1:", 17) + Text(c.DNS1.value()));
        p.Detail(Label("DNS2:", 17) + Text(c.DNS2.value()));
    }
    p.Blank();

    p.Heading(QStringLiteral("Channel setting"));
    if (mode == 1) {
        p.Detail(QStringLiteral("Not Applicable in mode 1"));
    } else if (mode == 2) {
        p.Detail(QStringLiteral("Not Applicable in mode 2"));
    } else {
        for (int i = 0; i < ConfigChannelSlots; ++i) {
            const ConfigChannel &slot = c.Channels[size_t(i)];
            if (slot.Name.isEmpty())
                continue;
            // One blank fewer after a two-digit number keeps the names in line.
            const QString number = QString::number(i + 1);
            p.Detail(number + (number.size() == 1 ? QStringLiteral(".  Name: ") : QStringLiteral(". Name: "))
                     + Text(slot.Name.value()));
            p.Detail(QStringLiteral("    Url:  ") + Text(slot.Url.value()));
            p.Blank();
        }
    }
    p.Blank();

    p.Heading(QStringLiteral("Remote Update setting"));
    if (mode == 1) {
        p.Detail(QStringLiteral("Not Applicable in mode 1"));
    } else if (RemoteUpdateOn(c)) {
        p.Detail(QStringLiteral("Remote Update is Enabled"));
        p.Detail(QStringLiteral("Update URL: ") + Text(c.IspUdUrl.value()));
    } else {
        p.Detail(QStringLiteral("Remote Update is Disabled"));
    }
    return p.Take();
}

QString ConfigureCaption(bool configLoaded)
{
    return configLoaded ? QStringLiteral("Configure Mirto")
                        : QStringLiteral("Configure Mirto (no configuration file loaded)");
}

void RenderSummary(QTextDocument &document, const QList<SummaryParagraph> &paragraphs)
{
    document.clear();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    bool first = true;
    for (const SummaryParagraph &paragraph : paragraphs) {
        QTextCharFormat chars;
        chars.setForeground(paragraph.kind == Kind::Heading ? HeadingColour : DetailColour);
        NewParagraph(cursor, first, chars);
        if (paragraph.kind == Kind::Heading) {
            QTextListFormat bullet;
            bullet.setStyle(QTextListFormat::ListDisc);
            cursor.createList(bullet);
        }
        // insertText never interprets markup: a name with "<b>" shows as typed.
        cursor.insertText(paragraph.Text, chars);
    }
    cursor.endEditBlock();
}

QStringList WebFileLines(const DeviceConfigRecord &config, int channelCount, bool quoted)
{
    QStringList lines;
    const int count = std::clamp(channelCount, 0, ConfigChannelSlots);
    for (int i = 0; i < count; ++i) {
        const ConfigChannel &slot = config.Channels[size_t(i)];
        if (slot.Name.isEmpty())
            continue;
        const QString n = QString::number(i + 1);
        const QString name = Text(slot.Name.value());
        // Nothing in a name is escaped: a quote inside it goes into the
        // file as it is, between the two enclosing quotes.
        lines.append(QStringLiteral("ch") + n + QStringLiteral("name=")
                     + (quoted ? QLatin1Char('"') + name + QLatin1Char('"') : name));
        lines.append(QStringLiteral("ch") + n + QStringLiteral("url=") + Text(slot.Url.value()));
    }
    return lines;
}

QByteArray WebFileBytes(const DeviceConfigRecord &config, int channelCount)
{
    QByteArray bytes;
    for (const QString &line : WebFileLines(config, channelCount))
        bytes += line.toLatin1() + "\r\n";
    return bytes;
}

void RenderLines(QTextDocument &document, const QStringList &lines)
{
    document.clear();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    bool first = true;
    for (const QString &line : lines) {
        NewParagraph(cursor, first, QTextCharFormat());
        cursor.insertText(line);
    }
    cursor.endEditBlock();
}

int WriteWebFile(const QString &path, const DeviceConfigRecord &config, int channelCount,
                 const StatusSink &status, QString *reason)
{
    const auto tell = [&status](const QString &text) {
        if (status)
            status(text);
    };
    // Written beside the old file and renamed over it at the end, so that a
    // failure half way leaves the old file as it was.
    AtomicFileWriter file(path);
    const auto fail = [&] {
        tell(QStringLiteral("Unable to create web file"));
        if (reason)
            *reason = file.ErrorString();
        return -1;
    };
    if (!file.Open())
        return fail();
    tell(QStringLiteral("creating web file"));
    if (!file.Write(WebFileBytes(config, channelCount)) || !file.Commit())
        return fail();
    tell(QStringLiteral("closed web file"));
    return 0;
}
