#include "core/config/ConfigFile.h"
#include "core/config/DeviceConfig.h"

#include "tests/TestHelpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

ConfigFieldRef fieldOf(DeviceConfigRecord &record, const QByteArray &key)
{
    for (const ConfigKeyEntry &e : ConfigKeyTable) {
        if (key == e.Key)
            return e.Field(record);
    }
    qFatal("no such key");
}

DeviceConfigRecord defaults()
{
    DeviceConfigRecord r;
    ResetConfigRecord(r);
    return r;
}

DeviceConfigRecord parsed(const QByteArray &text)
{
    DeviceConfigRecord r = defaults();
    ParseConfigText(text, r);
    return r;
}

// Every field through the key table, each with a text of its own.
DeviceConfigRecord everyFieldSet()
{
    DeviceConfigRecord r;
    for (const ConfigKeyEntry &e : ConfigKeyTable)
        e.Field(r).set(QByteArray(e.Key).left(e.Size - 1));
    return r;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class tst_configfile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void keyTable_data();
    void keyTable();
    void resetClearsEveryField();
    void liveResetTellsStatus();
    void fixedTextCutsToCapacity();
    void valueMeanings_data();
    void valueMeanings();
    void channelsInUse_data();
    void channelsInUse();

    void readsLines_data();
    void readsLines();
    void readResetsRecordFirst();
    void lineEndsReadAlike();
    void unreadableFilesLeaveRecord_data();
    void unreadableFilesLeaveRecord();

    void writesGoldenFile();
    void writtenTextReadsBack_data();
    void writtenTextReadsBack();
    void serialLine_data();
    void serialLine();
    void channelCountBounds();
    void writeReplacesAtomically();
    void failedWriteKeepsOldFile();
};

// The keys in their fixed order with the sizes of their fields.
void tst_configfile::keyTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("size");
    int index = 0;
    auto row = [&index](const QByteArray &key, int size) {
        QTest::addRow("%d %s", index, key.constData()) << index << key << size;
        ++index;
    };
    for (const auto &[key, size] : QList<std::pair<const char *, int>> {
             {"Mode", 5}, {"Type", 3}, {"WebMethod", 5}, {"Network", 5}, {"IspName", 13},
             {"IspNumber", 25}, {"IspUserName", 35}, {"IspPassword", 25}, {"IspDbUrl", 145},
             {"IspUdUrl", 145}, {"IspUdEnable", 2}})
        row(key, size);
    for (int slot = 1; slot <= 16; ++slot) {
        row("Ch" + QByteArray::number(slot) + "Url", 145);
        row("Ch" + QByteArray::number(slot) + "Name", 13);
    }
    for (const auto &[key, size] : QList<std::pair<const char *, int>> {
             {"IPAddress", 21}, {"Gateway", 21}, {"DNS1", 21}, {"DNS2", 21}, {"Serial#", 6}})
        row(key, size);
}

void tst_configfile::keyTable()
{
    QFETCH(int, index);
    QFETCH(QByteArray, key);
    QFETCH(int, size);
    const ConfigKeyEntry &e = ConfigKeyTable.at(size_t(index));
    QCOMPARE(QByteArray(e.Key), key);
    QCOMPARE(e.Size, size);
    DeviceConfigRecord r;
    QCOMPARE(e.Field(r).capacity(), size - 1);
}

void tst_configfile::resetClearsEveryField()
{
    // The table reaches every field: none is left empty after filling it.
    DeviceConfigRecord r = everyFieldSet();
    QCOMPARE(r.Mode.value(), QByteArray("Mode"));
    QCOMPARE(r.Type.value(), QByteArray("Ty"));
    QCOMPARE(r.IspUdEnable.value(), QByteArray("I"));
    QCOMPARE(r.Channels[15].Url.value(), QByteArray("Ch16Url"));
    QCOMPARE(r.Channels[15].Name.value(), QByteArray("Ch16Name"));
    QCOMPARE(r.Serial.value(), QByteArray("Seria"));
    QCOMPARE(r.DNS2.value(), QByteArray("DNS2"));
    QCOMPARE(ChannelsInUse(r), 16);

    ResetConfigRecord(r);
    DeviceConfigRecord expected;
    expected.Mode.set("1");
    expected.WebMethod.set("D");
    QVERIFY(r == expected);
    QCOMPARE(ChannelsInUse(r), 0);
}

void tst_configfile::liveResetTellsStatus()
{
    DeviceConfig = everyFieldSet();
    QStringList status;
    ResetConfig([&](const QString &t) { status << t; });
    QCOMPARE(status, QStringList({"settings to default"}));
    QVERIFY(DeviceConfig == defaults());
}

void tst_configfile::fixedTextCutsToCapacity()
{
    FixedText<12> f;
    f.set("123456789012345");
    QCOMPARE(f.value(), QByteArray("123456789012"));
    f.set("short");
    QCOMPARE(f.value(), QByteArray("short"));
    QVERIFY(f == FixedText<12>("short")); // nothing of the longer text lingers
    f.set(QByteArray("ab\0cd", 5));
    QCOMPARE(f.value(), QByteArray("ab"));
    f.set("\xe9t\xe9");
    QCOMPARE(f.value(), QByteArray("\xe9t\xe9"));
    f.clear();
    QVERIFY(f.isEmpty());
}

// How the fields' values are read where the tool tests them.
void tst_configfile::valueMeanings_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("mode 1") << QByteArray("Mode") << QByteArray("1") << "mode 1";
    QTest::newRow("mode 3x") << QByteArray("Mode") << QByteArray("3x") << "mode 3";
    QTest::newRow("mode empty") << QByteArray("Mode") << QByteArray("") << "mode 0";
    QTest::newRow("mode 4") << QByteArray("Mode") << QByteArray("4") << "mode 0";
    QTest::newRow("type E") << QByteArray("Type") << QByteArray("E") << "known ethernet";
    QTest::newRow("type T") << QByteArray("Type") << QByteArray("T") << "known phone";
    QTest::newRow("type TE") << QByteArray("Type") << QByteArray("TE") << "known ethernet phone";
    QTest::newRow("type e") << QByteArray("Type") << QByteArray("e") << "";
    QTest::newRow("type ET") << QByteArray("Type") << QByteArray("ET") << "";
    QTest::newRow("type empty") << QByteArray("Type") << QByteArray("") << "";
    QTest::newRow("network D") << QByteArray("Network") << QByteArray("D") << "dhcp";
    QTest::newRow("network F") << QByteArray("Network") << QByteArray("F") << "fixed";
    QTest::newRow("network DF") << QByteArray("Network") << QByteArray("DF") << "";
    QTest::newRow("web F...") << QByteArray("WebMethod") << QByteArray("File") << "file";
    QTest::newRow("web D") << QByteArray("WebMethod") << QByteArray("D") << "database";
    QTest::newRow("web f") << QByteArray("WebMethod") << QByteArray("f") << "";
    QTest::newRow("update T") << QByteArray("IspUdEnable") << QByteArray("T") << "update";
    QTest::newRow("update t") << QByteArray("IspUdEnable") << QByteArray("t") << "";
}

void tst_configfile::valueMeanings()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);
    DeviceConfigRecord r;
    fieldOf(r, key).set(value);
    QStringList seen;
    if (key == "Mode")
        seen << QStringLiteral("mode %1").arg(ValidMode(r));
    if (IsKnownType(r))
        seen << "known";
    if (HasEthernet(r))
        seen << "ethernet";
    if (HasPhoneLine(r))
        seen << "phone";
    if (IsDhcp(r))
        seen << "dhcp";
    if (IsFixedNetwork(r))
        seen << "fixed";
    if (WebMethodIsFile(r))
        seen << "file";
    if (WebMethodIsDatabase(r))
        seen << "database";
    if (RemoteUpdateOn(r))
        seen << "update";
    QCOMPARE(seen.join(' '), expected);
}

void tst_configfile::channelsInUse_data()
{
    QTest::addColumn<QList<int>>("namedSlots");
    QTest::addColumn<int>("expected");
    QTest::newRow("none") << QList<int>() << 0;
    QTest::newRow("slot 2 only") << QList<int>({2}) << 0;
    QTest::newRow("1 2 then gap") << QList<int>({1, 2, 4}) << 2;
    QList<int> all;
    for (int i = 1; i <= 16; ++i)
        all << i;
    QTest::newRow("all 16") << all << 16;
}

void tst_configfile::channelsInUse()
{
    QFETCH(QList<int>, namedSlots);
    QFETCH(int, expected);
    DeviceConfigRecord r = defaults();
    for (int slot : namedSlots)
        r.Channels[size_t(slot - 1)].Name.set("N" + QByteArray::number(slot));
    QCOMPARE(ChannelsInUse(r), expected);
}

// One file text and the value one field holds after reading it.
void tst_configfile::readsLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray x300(300, 'x');
    QTest::newRow("plain") << QByteArray("mode=3\n") << QByteArray("Mode") << QByteArray("3");
    QTest::newRow("key upper case") << QByteArray("TYPE=E\n") << QByteArray("Type") << QByteArray("E");
    QTest::newRow("value case kept") << QByteArray("type=e\n") << QByteArray("Type") << QByteArray("e");
    QTest::newRow("blank before =") << QByteArray("type = E\n") << QByteArray("Type") << QByteArray("");
    QTest::newRow("blank after =") << QByteArray("type= E\n") << QByteArray("Type") << QByteArray("E");
    QTest::newRow("indented key") << QByteArray(" \tmode=2\n") << QByteArray("Mode") << QByteArray("2");
    QTest::newRow("empty key is Mode") << QByteArray("=2\n") << QByteArray("Mode") << QByteArray("2");
    QTest::newRow("Ch1 is Ch1Url") << QByteArray("Ch1=u\n") << QByteArray("Ch1Url") << QByteArray("u");
    QTest::newRow("ch1n is Ch1Name") << QByteArray("ch1n=Jazz\n") << QByteArray("Ch1Name")
                                     << QByteArray("Jazz");
    QTest::newRow("i is IspName") << QByteArray("i=abc\n") << QByteArray("IspName") << QByteArray("abc");
    QTest::newRow("d is DNS1") << QByteArray("d=1.2.3.4\n") << QByteArray("DNS1")
                               << QByteArray("1.2.3.4");
    QTest::newRow("ch10name") << QByteArray("ch10name=Ten\n") << QByteArray("Ch10Name")
                              << QByteArray("Ten");
    QTest::newRow("key longer than entry") << QByteArray("ispnamex=abc\n") << QByteArray("IspName")
                                           << QByteArray("");
    QTest::newRow("no =") << QByteArray("mode 3\n") << QByteArray("Mode") << QByteArray("1");
    QTest::newRow("serial key") << QByteArray("Serial#=1A2B3\n") << QByteArray("Serial#")
                                << QByteArray("1A2B3");
    QTest::newRow("unquoted ends at blank") << QByteArray("ispname=My ISP\n") << QByteArray("IspName")
                                            << QByteArray("My");
    QTest::newRow("unquoted ends at tab") << QByteArray("ispname=My\tISP\n")
                                          << QByteArray("IspName") << QByteArray("My");
    QTest::newRow("quoted") << QByteArray("ispname=\"My ISP\"\n") << QByteArray("IspName")
                            << QByteArray("My ISP");
    QTest::newRow("quoted, rest ignored") << QByteArray("ispname=\"a\" b\n") << QByteArray("IspName")
                                          << QByteArray("a");
    QTest::newRow("escaped quotes") << QByteArray("ispname=\"say \\\"hi\\\"!\"\n")
                                    << QByteArray("IspName") << QByteArray("say \"hi\"!");
    QTest::newRow("escape in unquoted") << QByteArray("ispname=a\\\"b\n") << QByteArray("IspName")
                                        << QByteArray("a\"b");
    QTest::newRow("other backslash kept") << QByteArray("ispname=a\\b\n") << QByteArray("IspName")
                                          << QByteArray("a\\b");
    QTest::newRow("no closing quote") << QByteArray("ispname=\"My ISP\n") << QByteArray("IspName")
                                      << QByteArray("");
    QTest::newRow("lone quote") << QByteArray("ispname=\"\n") << QByteArray("IspName") << QByteArray("");
    QTest::newRow("empty value") << QByteArray("mode=\n") << QByteArray("Mode") << QByteArray("");
    QTest::newRow("cut to capacity") << QByteArray("ispname=12345678901234567890\n")
                                     << QByteArray("IspName") << QByteArray("123456789012");
    QTest::newRow("last of repeated key") << QByteArray("mode=2\nmode=3\n") << QByteArray("Mode")
                                          << QByteArray("3");
    QTest::newRow("CR LF") << QByteArray("00000\r\n0\r\nmode=3\r\n") << QByteArray("Mode")
                           << QByteArray("3");
    QTest::newRow("no final line end") << QByteArray("mode=2") << QByteArray("Mode") << QByteArray("2");
    QTest::newRow("NUL ends the line") << QByteArray("ispname=ab\0cd\n", 14) << QByteArray("IspName")
                                       << QByteArray("ab");

    // A long line is one line: its tail sets nothing, its value is cut.
    QTest::newRow("long line tail is no key") << "ispdburl=" + x300 + "mode=3\n" << QByteArray("Mode")
                                              << QByteArray("1");
    QTest::newRow("long line value cut") << "ispdburl=" + x300 + "\n" << QByteArray("IspDbUrl")
                                         << QByteArray(144, 'x');
    QTest::newRow("quoted value past 255") << "ch1url=\"" + QByteArray(250, 'u') + " v\"\n"
                                           << QByteArray("Ch1Url") << QByteArray(144, 'u');
    // A value ending in a backslash, as the writer writes it.
    QTest::newRow("trailing backslash") << QByteArray("ch1name=\"My Radio\\\"\n")
                                        << QByteArray("Ch1Name") << QByteArray("My Radio\\");
    QTest::newRow("trailing backslash, blanks") << QByteArray("ch1name=\"My Radio\\\"  \n")
                                                << QByteArray("Ch1Name") << QByteArray("My Radio\\");
    QTest::newRow("backslash only") << QByteArray("ch1name=\"\\\"\n") << QByteArray("Ch1Name")
                                    << QByteArray("\\");
    QTest::newRow("quote and trailing backslash") << QByteArray("ch1name=\"a \\\"b\\\"\n")
                                                  << QByteArray("Ch1Name") << QByteArray("a \"b\\");
    // A bare CR ends the line: the value never holds a control character.
    QTest::newRow("bare CR ends line") << QByteArray("mode=3\rtype=E\n") << QByteArray("Type")
                                       << QByteArray("E");
    QTest::newRow("bare CR in quotes") << QByteArray("ispname=\"ab\rcd\"\n") << QByteArray("IspName")
                                       << QByteArray("");
    QTest::newRow("bare CR unquoted") << QByteArray("ispname=ab\rcd\n") << QByteArray("IspName")
                                      << QByteArray("ab");
    // An editor's UTF-8 file: the letter is stored as the one byte the
    // device keeps, not as two garbled ones.
    QTest::newRow("UTF-8 letter") << QByteArray("ch1name=\"Caf\xC3\xA9 Bleu\"\n") << QByteArray("Ch1Name")
                                  << QByteArray("Caf\xE9 Bleu");
    QTest::newRow("Latin-1 letter, as written") << QByteArray("ch1name=\"Caf\xE9 Bleu\"\r\n") << QByteArray("Ch1Name")
                                                << QByteArray("Caf\xE9 Bleu");
    QTest::newRow("byte-order mark before a key") << QByteArray("\xEF\xBB\xBFmode=3\n") << QByteArray("Mode")
                                                  << QByteArray("3");
}

void tst_configfile::readsLines()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, expected);
    DeviceConfigRecord r = parsed(text);
    QCOMPARE(fieldOf(r, key).value(), expected);
}

void tst_configfile::readResetsRecordFirst()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.cfg");
    writeFile(path, "mode=3\n");
    DeviceConfigRecord r = everyFieldSet();
    QStringList status;
    QCOMPARE(ReadConfigFile(path, r, [&](const QString &t) { status << t; }), 0);
    DeviceConfigRecord expected = defaults();
    expected.Mode.set("3");
    QVERIFY(r == expected);
    QCOMPARE(status, QStringList({"opened configuration file", "settings to default",
                                  "parsing configuration file", "closed configuration file"}));
}

void tst_configfile::lineEndsReadAlike()
{
    const QByteArray crlf = FormatConfigFile(everyFieldSet(), 16, "12345");
    QByteArray lf = crlf;
    lf.replace("\r\n", "\n");
    QVERIFY(lf != crlf);
    QVERIFY(parsed(lf) == parsed(crlf));
}

// Files that cannot be read, and files that are no configuration file, leave
// the record as it was and say why.
void tst_configfile::unreadableFilesLeaveRecord_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing" << QByteArray() << "There is no such file.";
    QTest::newRow("folder") << "folder" << QByteArray() << "It is not a file.";
    QTest::newRow("fifo") << "fifo" << QByteArray() << "It is not a file.";
    QTest::newRow("too large") << "file" << "mode=3\n" + QByteArray(ConfigFileMaxBytes, '\n')
                               << "It is larger than 1024 KB; a configuration file is a few "
                                  "hundred bytes.";
    const QString noSetting =
        "Not one of its lines is a setting (key=value): it is not a configuration file.";
    QTest::newRow("text without a setting")
        << "file" << QByteArray("Dear customer,\r\nplease find attached\r\n") << noSetting;
    // The tool's own settings file: keys in brackets, none a setting here.
    QTest::newRow("settings file") << "file" << QByteArray("[Port]=COM1\r\n[Type]=E\r\n")
                                   << noSetting;
    QTest::newRow("empty") << "file" << QByteArray("") << "It is empty.";
    const QString binary =
        "It holds bytes of value zero: it is a binary file, not a configuration file.";
    QTest::newRow("binary") << "file" << QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10) << binary;
    // A setting among binary bytes does not make it a configuration file.
    QTest::newRow("binary with a setting in it")
        << "file" << QByteArray("mode=3\n\0\0\x01ispname=x\n", 20) << binary;
    // Text the device cannot take is refused with its line, field and
    // character, rather than loaded garbled and programmed as "OK".
    QTest::newRow("CJK and euro in a channel name")
        << "file" << QByteArray("00000\r\n0\r\nmode=3\r\nch1name=\"Radio \xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC\"\r\n")
        << QStringLiteral("Line 4, Ch1Name, character 7: \"\u65e5\" (U+65E5) is not a single-byte (Latin-1) "
                          "character; Mirto cannot take it. Nothing was loaded.");
    QTest::newRow("euro in the ISP password, key shortened")
        << "file" << QByteArray("mode=2\nisppass=\xE2\x82\xACuro\n")
        << QStringLiteral("Line 2, IspPassword, character 1: \"\u20ac\" (U+20AC) is not a single-byte (Latin-1) "
                          "character; Mirto cannot take it. Nothing was loaded.");
    QTest::newRow("prompt mark in a URL") << "file" << QByteArray("mode=3\nch1url=http://h/a>b\n")
                                          << QStringLiteral("Line 2, Ch1Url, character 11: \">\" cannot be sent to "
                                                            "Mirto: it would be taken for the end of Mirto's answer. "
                                                            "Nothing was loaded.");
    QTest::newRow("ESC in a quoted value") << "file" << QByteArray("mode=3\nispname=\"a\x1b[2J\"\n")
                                           << QStringLiteral("Line 2, IspName, character 2: ESC (U+001B) cannot be "
                                                             "sent to Mirto: a command is one line of printable "
                                                             "characters. Nothing was loaded.");
    QTest::newRow("tab in a quoted value") << "file" << QByteArray("mode=3\nispname=\"My\tISP\"\n")
                                           << QStringLiteral("Line 2, IspName, character 3: a tab (U+0009) cannot be "
                                                             "sent to Mirto: a command is one line of printable "
                                                             "characters. Nothing was loaded.");
}

void tst_configfile::unreadableFilesLeaveRecord()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath("a.cfg");
    if (kind == "folder")
        path = dir.path();
    else if (kind == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == "file")
        writeFile(path, content);

    DeviceConfigRecord r = everyFieldSet();
    const DeviceConfigRecord before = r;
    QStringList status;
    QString told;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ReadConfigFile(path, r, [&](const QString &t) { status << t; }, &told), -1);
    QVERIFY(clock.elapsed() < 5000); // a FIFO without a writer must not block
    QVERIFY(r == before);
    QCOMPARE(told, reason);
    QVERIFY(!status.isEmpty());
    QVERIFY(!status.contains("settings to default"));
    if (kind != "file")
        QCOMPARE(status, QStringList({"Unable to open configuration file"}));
}

// What the writer writes, the reader gives back, whatever the letters.
void tst_configfile::writtenTextReadsBack_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("latin1"); // written one byte a character
    QTest::newRow("plain") << QByteArray("Jazz FM") << true;
    QTest::newRow("Latin-1 letter") << QByteArray("Caf\xE9") << true;
    // These bytes read as UTF-8 "é": the file must not be taken for UTF-8.
    QTest::newRow("bytes that read as UTF-8") << QByteArray("Caf\xC3\xA9") << false;
}

void tst_configfile::writtenTextReadsBack()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, latin1);
    DeviceConfigRecord r = defaults();
    r.Mode.set("3");
    r.Channels[0].Name.set(name);
    r.Channels[0].Url.set("http://h/1");
    const QByteArray file = FormatConfigFile(r, 1, "12AB3");
    QCOMPARE(file.contains("ch1name=\"" + name + '"') || file.contains("ch1name=" + name + "\r"), latin1);
    DeviceConfigRecord back = defaults();
    ParseConfigText(file, back);
    QCOMPARE(back.Channels[0].Name.value(), name);
}

void tst_configfile::writesGoldenFile()
{
    DeviceConfigRecord r = defaults();
    r.Type.set("TE");
    r.Mode.set("2");
    r.WebMethod.set("F");
    r.Network.set("F");
    r.IspName.set("My ISP");
    r.IspNumber.set("0123456");
    r.IspUserName.set("user");
    r.IspPassword.set("pa\"ss");
    r.IspDbUrl.set("http://example.com/list.txt");
    r.IspUdUrl.set("http://example.com/fw");
    r.IspUdEnable.set("T");
    r.Gateway.set("192.0.2.1");
    r.DNS1.set("192.0.2.53");
    r.Channels[0].Name.set("Jazz FM");
    r.Channels[0].Url.set("http://example.com/jazz");
    r.Channels[1].Name.set("My Radio\\");
    r.Channels[1].Url.set("http://example.com/my");
    r.Channels[3].Name.set("Behind gap");
    r.Channels[3].Url.set("http://example.com/gap");
    r.Serial.set("0A1B2");

    const QByteArray golden = "1A2B3\r\n"
                              "0\r\n"
                              "type=TE\r\n"
                              "mode=2\r\n"
                              "webmethod=F\r\n"
                              "ispname=\"My ISP\"\r\n"
                              "ispnumber=0123456\r\n"
                              "ispusername=user\r\n"
                              "isppassword=\"pa\\\"ss\"\r\n"
                              "ispdburl=http://example.com/list.txt\r\n"
                              "ispudurl=http://example.com/fw\r\n"
                              "ispudenable=T\r\n"
                              "IPAddress=0.0.0.0\r\n"
                              "Gateway=192.0.2.1\r\n"
                              "DNS1=192.0.2.53\r\n"
                              "DNS2=0.0.0.0\r\n"
                              "Network=F\r\n"
                              "ch1name=\"Jazz FM\"\r\n"
                              "ch1url=http://example.com/jazz\r\n"
                              "ch2name=\"My Radio\\\"\r\n"
                              "ch2url=http://example.com/my\r\n"
                              "Serial#=0A1B2\r\n";
    QCOMPARE(FormatConfigFile(r, ChannelsInUse(r), "1A2B3"), golden);

    // Read back: the same record, save the addresses written for empty ones
    // and the slot behind the gap, which is not in use and not written.
    DeviceConfigRecord expected = r;
    expected.IPAddress.set("0.0.0.0");
    expected.DNS2.set("0.0.0.0");
    expected.Channels[3] = ConfigChannel();
    QVERIFY(parsed(golden) == expected);
}

void tst_configfile::serialLine_data()
{
    QTest::addColumn<QByteArray>("serialNumber");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::newRow("identified") << QByteArray("1A2B3") << QByteArray("1A2B3");
    QTest::newRow("none yet") << QByteArray() << QByteArray("00000");
    QTest::newRow("short") << QByteArray("1A2B") << QByteArray("00000");
    QTest::newRow("long") << QByteArray("1A2B3C") << QByteArray("00000");
    QTest::newRow("with =") << QByteArray("ab=cd") << QByteArray("00000");
    QTest::newRow("with CR") << QByteArray("ab\rcd") << QByteArray("00000");
    QTest::newRow("with LF") << QByteArray("ab\ncd") << QByteArray("00000");
    QTest::newRow("with NUL") << QByteArray("ab\0cd", 5) << QByteArray("00000");
}

void tst_configfile::serialLine()
{
    QFETCH(QByteArray, serialNumber);
    QFETCH(QByteArray, firstLine);
    const QByteArray text = FormatConfigFile(defaults(), 0, serialNumber);
    QVERIFY(text.startsWith(firstLine + "\r\n0\r\ntype=\r\n"));
    // The first line sets nothing when read back.
    QVERIFY(parsed(text) == parsed(text.mid(text.indexOf("\r\n0\r\n"))));
}

void tst_configfile::channelCountBounds()
{
    DeviceConfigRecord r = everyFieldSet();
    QCOMPARE(FormatConfigFile(r, 99, "12345"), FormatConfigFile(r, 16, "12345"));
    QVERIFY(!FormatConfigFile(r, -1, "12345").contains("ch1name="));
    // Slot 2 named without slot 1: no channel is in use, none is written.
    DeviceConfigRecord gap = parsed("ch2name=Jazz\n");
    QCOMPARE(gap.Channels[1].Name.value(), QByteArray("Jazz"));
    QVERIFY(!FormatConfigFile(gap, ChannelsInUse(gap), "12345").contains("ch"));
}

void tst_configfile::writeReplacesAtomically()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.cfg");
    writeFile(path, "old contents that are longer than nothing\r\n");
    const DeviceConfigRecord r = defaults();
    QStringList status;
    QString error;
    QCOMPARE(WriteConfigFile(path, r, 0, "12345", [&](const QString &t) { status << t; }, &error),
             0);
    QCOMPARE(readFile(path), FormatConfigFile(r, 0, "12345"));
    QCOMPARE(status, QStringList({"creating config file", "closed configuration file"}));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"a.cfg"}));
}

void tst_configfile::failedWriteKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.cfg");
    const QByteArray old = "mode=3\r\n";
    writeFile(path, old);
    QStringList status;
    auto sink = [&](const QString &t) { status << t; };
    QString error;

    // The folder cannot be created in.
    QCOMPARE(WriteConfigFile(dir.filePath("missing/a.cfg"), defaults(), 0, "12345", sink, &error),
             -1);
    QCOMPARE(status, QStringList({"Unable to create config file"}));
    QVERIFY(!error.isEmpty());

    // The write itself fails half-way (a full disk).
    status.clear();
    error.clear();
    int result = 0;
    {
        // Test output written meanwhile would be cut as well: nothing is
        // checked inside.
        FileSizeLimit limit(16);
        result = WriteConfigFile(path, defaults(), 0, "12345", sink, &error);
    }
    QCOMPARE(result, -1);
    QCOMPARE(status, QStringList({"creating config file", "Unable to create config file"}));
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"a.cfg"}));

    // A folder we may not write in (folder permissions do not stop root).
    if (geteuid() != 0) {
        status.clear();
        error.clear();
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        result = WriteConfigFile(path, defaults(), 0, "12345", sink, &error);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(result, -1);
        QCOMPARE(status, QStringList({"Unable to create config file"}));
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(path), old);
    }
}

QTEST_GUILESS_MAIN(tst_configfile)
#include "tst_configfile.moc"
