#include "desktop/config/Summary.h"

#include "tests/TestHelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QtTest>


namespace {

struct Channel {
    QByteArray name;
    QByteArray url;
};

// A record as a file or the dialog would leave it; fields not named stay as
// a reset left them.
DeviceConfigRecord Record(const QByteArray &mode, const QByteArray &type, QList<Channel> channels = {})
{
    DeviceConfigRecord r;
    ResetConfigRecord(r);
    r.Mode.set(mode);
    r.Type.set(type);
    for (int i = 0; i < channels.size(); ++i) {
        r.Channels[size_t(i)].Name.set(channels[i].name);
        r.Channels[size_t(i)].Url.set(channels[i].url);
    }
    return r;
}

QList<Channel> Numbered(int count)
{
    QList<Channel> list;
    for (int i = 1; i <= count; ++i)
        list.append({"Radio " + QByteArray::number(i), "http://192.0.2.1/s" + QByteArray::number(i)});
    return list;
}

// Paragraphs written compactly: "# " a heading, "- " a detail, "" a blank.
QStringList Compact(const QList<SummaryParagraph> &paragraphs)
{
    QStringList out;
    for (const SummaryParagraph &p : paragraphs) {
        switch (p.kind) {
        case SummaryParagraph::Kind::Heading:
            out << QStringLiteral("# ") + p.Text;
            break;
        case SummaryParagraph::Kind::Detail:
            out << QStringLiteral("- ") + p.Text;
            break;
        case SummaryParagraph::Kind::Blank:
            out << (p.Text.isEmpty() ? QString() : QStringLiteral("?blank with text ") + p.Text);
            break;
        }
    }
    return out;
}

const QStringList kTypeUnset = {"# Type setting (not stored in Mirto)", "- Type is set to ", ""};

// Sections of a summary that several rows share.
const QStringList kChannelsNa1 = {"# Channel setting", "- Not Applicable in mode 1", ""};
const QStringList kUpdateNa1 = {"# Remote Update setting", "- Not Applicable in mode 1"};
const QStringList kNetworkNaT = {"# Network settings", "- Not Applicable when type set to 'T'", ""};

} // namespace

Q_DECLARE_METATYPE(DeviceConfigRecord)

class tst_summary : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void summary_data();
    void summary();
    void caption();
    void renderedValuesStayPlainText();
    void webFile_data();
    void webFile();
    void writeWebFileReplacesWholeFile();
    void writeWebFileFailures_data();
    void writeWebFileFailures();
};

void tst_summary::summary_data()
{
    QTest::addColumn<DeviceConfigRecord>("record");
    QTest::addColumn<QStringList>("expected");

    DeviceConfigRecord reset;
    ResetConfigRecord(reset);
    QTest::newRow("reset record")
        << reset
        << kTypeUnset + QStringList {"# Mode setting", "- Mode is set to 1", ""} + kNetworkNaT + kChannelsNa1
               + kUpdateNa1;

    {
        DeviceConfigRecord r = Record("3", "E", Numbered(12));
        r.Network.set("D");
        r.IspUdEnable.set("T");
        r.IspUdUrl.set("http://192.0.2.9/update");
        QStringList channels = {"# Channel setting"};
        for (int n = 1; n <= 12; ++n) {
            const QString number = QString::number(n);
            channels << (n < 10 ? "- " + number + ".  Name: Radio " + number
                                : "- " + number + ". Name: Radio " + number)
                     << "-     Url:  http://192.0.2.1/s" + number << "";
        }
        QTest::newRow("mode 3, twelve channels, names in one column")
            << r
            << QStringList {"# Type setting (not stored in Mirto)", "- Type is set to E (Ethernet)", "",
                            "# Mode setting", "- Mode is set to 3", "",
                            "# Network settings", "- Network mode is DHCP", ""}
                   + channels
                   + QStringList {"", "# Remote Update setting", "- Remote Update is Enabled",
                                  "- Update URL: http://192.0.2.9/update"};
    }
    {
        DeviceConfigRecord r = Record("2", "T", Numbered(2));
        r.WebMethod.set("F");
        r.IspDbUrl.set("http://192.0.2.2/list.txt?a=1&b=2");
        r.IspName.set("Dialup");
        r.IspNumber.set("0123456");
        r.IspUserName.set("user");
        r.IspPassword.set("secret");
        QTest::newRow("mode 2 with web file, type T")
            << r
            << QStringList {"# Type setting (not stored in Mirto)", "- Type is set to T (Telephone line)", "",
                            "# Mode setting", "- Mode is set to 2 (using a Web File)",
                            "- Web URL: http://192.0.2.2/list.txt?a=1&b=2", "",
                            "# ISP setting", "- Name:          Dialup", "- Number:        0123456",
                            "- Username:      user", "- Password:      secret", ""}
                   + kNetworkNaT
                   + QStringList {"# Channel setting", "- Not Applicable in mode 2", "",
                                  "# Remote Update setting", "- Remote Update is Disabled"};
    }
    {
        DeviceConfigRecord r = Record("1", "TE");
        r.Network.set("F");
        r.IPAddress.set("198.51.100.3");
        r.Gateway.set("198.51.100.1");
        r.DNS1.set("198.51.100.53");
        r.DNS2.set("198.51.100.54");
        r.IspName.set("never shown");
        QTest::newRow("type TE, fixed addresses, mode 1")
            << r
            << QStringList {"# Type setting (not stored in Mirto)",
                            "- Type is set to TE (Telephone line + Ethernet)", "",
                            "# Mode setting", "- Mode is set to 1", "",
                            "# ISP setting", "- Not Applicable in mode 1", "",
                            "# Network settings", "- Network mode is Fixed IP", "",
                            "- IP address:      198.51.100.3", "- Gateway:         198.51.100.1",
                            "- DNS 1:           198.51.100.53", "- DNS2:            198.51.100.54", ""}
                   + kChannelsNa1 + kUpdateNa1;
    }
    {
        // Only the first character of the web method counts; a network that
        // is neither D nor F shows as fixed addresses.
        DeviceConfigRecord r = Record("2x", "E");
        r.WebMethod.set("X");
        r.Network.set("");
        QTest::newRow("unknown web method, empty network")
            << r
            << QStringList {"# Type setting (not stored in Mirto)", "- Type is set to E (Ethernet)", "",
                            "# Mode setting", "- Mode is set to 2 (WARNING: unknown Web method)",
                            "- Web URL: ", "",
                            "# Network settings", "- Network mode is Fixed IP", "",
                            "- IP address:      ", "- Gateway:         ", "- DNS 1:           ",
                            "- DNS2:            ", "",
                            "# Channel setting", "- Not Applicable in mode 2", "",
                            "# Remote Update setting", "- Remote Update is Disabled"};
    }
    {
        // Lower case is no known type; no valid mode lists the channels as
        // mode 3 does, also a named slot behind an empty one.
        DeviceConfigRecord r = Record("4", "e", {{"One", "u1"}, {"", ""}, {"Three", "u3"}});
        QTest::newRow("no valid mode, unknown type, slot behind a gap")
            << r
            << QStringList {"# Type setting (not stored in Mirto)", "- Type is set to e", "",
                            "# Mode setting", "- Mode is set to ", ""}
                   + kNetworkNaT
                   + QStringList {"# Channel setting", "- 1.  Name: One", "-     Url:  u1", "",
                                  "- 3.  Name: Three", "-     Url:  u3", "", "",
                                  "# Remote Update setting", "- Remote Update is Disabled"};
    }
}

void tst_summary::summary()
{
    QFETCH(DeviceConfigRecord, record);
    QFETCH(QStringList, expected);
    QCOMPARE(Compact(SummaryParagraphs(record)), expected);
}

void tst_summary::caption()
{
    QCOMPARE(ConfigureCaption(true), QStringLiteral("Configure Mirto"));
    QCOMPARE(ConfigureCaption(false), QStringLiteral("Configure Mirto (no configuration file loaded)"));
}

void tst_summary::renderedValuesStayPlainText()
{
    DeviceConfigRecord r = Record("3", "T", {{"<b>Jazz</b>", "http://h/?a=1&amp;b=<i>"}});
    r.IspName.set("A&B <hr>");
    QTextDocument document;
    document.setHtml(QStringLiteral("<p>old text</p>"));
    const QList<SummaryParagraph> paragraphs = SummaryParagraphs(r);
    RenderSummary(document, paragraphs);

    QCOMPARE(document.blockCount(), paragraphs.size());
    QTextBlock block = document.begin();
    for (const SummaryParagraph &p : paragraphs) {
        QCOMPARE(block.text(), p.Text);
        const bool heading = p.kind == SummaryParagraph::Kind::Heading;
        QCOMPARE(block.textList() != nullptr, heading);
        QCOMPARE(block.blockFormat().alignment(), Qt::AlignLeft);
        if (!p.Text.isEmpty())
            QCOMPARE(block.begin().fragment().charFormat().foreground().color(),
                     QColor(heading ? Qt::red : Qt::blue));
        block = block.next();
    }
    const QString plain = document.toPlainText();
    QVERIFY(plain.contains(QStringLiteral("1.  Name: <b>Jazz</b>")));
    QVERIFY(plain.contains(QStringLiteral("Url:  http://h/?a=1&amp;b=<i>")));
    QVERIFY(plain.contains(QStringLiteral("Name:          A&B <hr>")));
    QVERIFY(!plain.contains(QStringLiteral("old text")));

    QTextDocument preview;
    RenderLines(preview, WebFileLines(r, 1, false));
    QCOMPARE(preview.toPlainText(), QStringLiteral("ch1name=<b>Jazz</b>\nch1url=http://h/?a=1&amp;b=<i>"));
}

void tst_summary::webFile_data()
{
    QTest::addColumn<DeviceConfigRecord>("record");
    QTest::addColumn<int>("channelCount");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("preview");

    QTest::newRow("no channel in use") << Record("2", "E", Numbered(3)) << 0 << QByteArray() << QStringList();
    QTest::newRow("two channels")
        << Record("2", "E", Numbered(2)) << 2
        << QByteArray("ch1name=\"Radio 1\"\r\nch1url=http://192.0.2.1/s1\r\n"
                      "ch2name=\"Radio 2\"\r\nch2url=http://192.0.2.1/s2\r\n")
        << QStringList {"ch1name=Radio 1", "ch1url=http://192.0.2.1/s1", "ch2name=Radio 2",
                        "ch2url=http://192.0.2.1/s2"};
    QTest::newRow("quote in a name unescaped, Latin-1 kept")
        << Record("2", "E", {{"Say \"hi\"\xe9", "http://a/b c"}}) << 1
        << QByteArray("ch1name=\"Say \"hi\"\xe9\"\r\nch1url=http://a/b c\r\n")
        << QStringList {QString::fromLatin1("ch1name=Say \"hi\"\xe9"), "ch1url=http://a/b c"};
    QTest::newRow("only the channels in use")
        << Record("2", "E", Numbered(3)) << 1
        << QByteArray("ch1name=\"Radio 1\"\r\nch1url=http://192.0.2.1/s1\r\n")
        << QStringList {"ch1name=Radio 1", "ch1url=http://192.0.2.1/s1"};
    {
        QByteArray bytes;
        QStringList preview;
        for (int n = 1; n <= 16; ++n) {
            const QByteArray i = QByteArray::number(n);
            bytes += "ch" + i + "name=\"Radio " + i + "\"\r\nch" + i + "url=http://192.0.2.1/s" + i + "\r\n";
            preview << "ch" + i + "name=Radio " + i << "ch" + i + "url=http://192.0.2.1/s" + i;
        }
        QTest::newRow("16 channels, two-digit numbers") << Record("2", "E", Numbered(16)) << 16 << bytes << preview;
    }
}

void tst_summary::webFile()
{
    QFETCH(DeviceConfigRecord, record);
    QFETCH(int, channelCount);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, preview);
    QCOMPARE(WebFileBytes(record, channelCount), bytes);
    QCOMPARE(WebFileLines(record, channelCount, false), preview);
}

void tst_summary::writeWebFileReplacesWholeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("list.txt"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
    }
    QStringList status;
    QString reason = QStringLiteral("untouched");
    const DeviceConfigRecord r = Record("2", "E", Numbered(1));
    QCOMPARE(WriteWebFile(path, r, 1, [&](const QString &s) { status << s; }, &reason), 0);
    QCOMPARE(status, (QStringList {"creating web file", "closed web file"}));
    QCOMPARE(reason, QStringLiteral("untouched"));
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), WebFileBytes(r, 1));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {"list.txt"});

    // No channel in use: an empty file, not the old one.
    QCOMPARE(WriteWebFile(path, r, 0, {}), 0);
    QCOMPARE(QFileInfo(path).size(), 0);
}

void tst_summary::writeWebFileFailures_data()
{
    QTest::addColumn<bool>("missingFolder");
    QTest::newRow("folder missing") << true;
    QTest::newRow("write fails half way") << false;
}

void tst_summary::writeWebFileFailures()
{
    QFETCH(bool, missingFolder);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = missingFolder ? dir.filePath(QStringLiteral("gone/list.txt"))
                                       : dir.filePath(QStringLiteral("list.txt"));
    const QByteArray old = "ch1name=\"Old\"\r\nch1url=http://old\r\n";
    if (!missingFolder) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    QStringList status;
    QString reason;
    const DeviceConfigRecord r = Record("2", "E", Numbered(16));
    int result = 0;
    if (missingFolder) {
        result = WriteWebFile(path, r, 16, [&](const QString &s) { status << s; }, &reason);
    } else {
        // A file-size limit makes the write fail after the first bytes, as a
        // full disk would (root ignores permissions, so they cannot do it).
        FileSizeLimit limit(100);
        result = WriteWebFile(path, r, 16, [&](const QString &s) { status << s; }, &reason);
    }
    QCOMPARE(result, -1);
    QVERIFY2(!reason.isEmpty(), "the system's reason is passed on");
    QCOMPARE(status.last(), QStringLiteral("Unable to create web file"));
    QVERIFY(!status.contains(QStringLiteral("closed web file")));
    if (missingFolder) {
        QVERIFY(!QFileInfo::exists(path));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), old);
        // Nothing of the failed attempt stays behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {"list.txt"});
    }
}

QTEST_MAIN(tst_summary)
#include "tst_summary.moc"
