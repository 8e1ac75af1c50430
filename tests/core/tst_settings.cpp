#include "core/ToolSettings.h"
#include "tests/TestHelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>


namespace {

StoredSettings parsed(const QByteArray &text)
{
    StoredSettings s;
    ParseSettings(text, s);
    return s;
}

} // namespace

class tst_settings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsKeys_data();
    void readsKeys();
    void lastLineWithoutLineEnd();
    void longLinesAreReadWhole();
    void repeatedKeyTakesLast();
    void writesEightLinesWithCrLf_data();
    void writesEightLinesWithCrLf();
    void roundTrip();
    void fileMissingAndUnwritable();
    void onlyThePlainFilesStartIsRead();
    void failedReplaceKeepsTheOldFile();
};

// One settings line and the field it must change (or leave at its default).
void tst_settings::readsKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    QTest::newRow("port COM3") << QByteArray("[Port]=COM3\n") << "port" << "3";
    QTest::newRow("port COM12") << QByteArray("[Port]=COM12\n") << "port" << "12";
    QTest::newRow("port COM16") << QByteArray("[Port]=COM16\n") << "port" << "16";
    QTest::newRow("port COM17 ignored") << QByteArray("[Port]=COM17\n") << "port" << "0";
    QTest::newRow("port COM0 ignored") << QByteArray("[Port]=COM0\n") << "port" << "0";
    QTest::newRow("port empty") << QByteArray("[Port]=\n") << "port" << "0";
    QTest::newRow("port not a number") << QByteArray("[Port]=COMx\n") << "port" << "0";
    QTest::newRow("port CR LF") << QByteArray("[Port]=COM5\r\n") << "port" << "5";
    QTest::newRow("user expert") << QByteArray("[User]=expert\n") << "user" << "1";
    QTest::newRow("user EXPERT") << QByteArray("[User]=EXPERT\n") << "user" << "1";
    QTest::newRow("user beginner") << QByteArray("[User]=beginner\n") << "user" << "0";
    QTest::newRow("user key lower case") << QByteArray("[user]=expert\n") << "user" << "0";
    QTest::newRow("bootload Yes") << QByteArray("[Bootload]=Yes\n") << "bootload" << "1";
    QTest::newRow("bootload no") << QByteArray("[Bootload]=no\n") << "bootload" << "0";
    QTest::newRow("bootfile") << QByteArray("[Bootfile]=/tmp/fw.hex\r\n") << "bootfile"
                              << "/tmp/fw.hex";
    QTest::newRow("speed 3") << QByteArray("[UploadSpeed]=3\n") << "speed" << "3";
    QTest::newRow("speed 12 clamped") << QByteArray("[UploadSpeed]=12\n") << "speed" << "3";
    QTest::newRow("speed largest int clamped") << QByteArray("[UploadSpeed]=2147483647\n") << "speed"
                                               << "3";
    QTest::newRow("speed negative clamped") << QByteArray("[UploadSpeed]=-6\n") << "speed" << "0";
    QTest::newRow("speed non-digit") << QByteArray("[UploadSpeed]=:\n") << "speed" << "0";
    QTest::newRow("configfile") << QByteArray("[Configfile]=/home/a.cfg\n") << "config"
                                << "/home/a.cfg|named";
    QTest::newRow("configfile empty still named") << QByteArray("[Configfile]=\n") << "config"
                                                  << "|named";
    QTest::newRow("interface network") << QByteArray("[Interface]=Network\n") << "interface"
                                       << "1";
    QTest::newRow("interface usb") << QByteArray("[Interface]=USB\n") << "interface" << "2";
    QTest::newRow("interface other") << QByteArray("[Interface]=modem\n") << "interface" << "0";
    QTest::newRow("restriction e") << QByteArray("[TypeRestriction]=e\n") << "restriction"
                                   << "E";
    QTest::newRow("restriction X") << QByteArray("[TypeRestriction]=X\n") << "restriction"
                                   << "N";
    // The key is found anywhere in a line but its value is cut at the fixed
    // position behind the key length: an indented key yields a shifted value.
    QTest::newRow("indented key shifts value") << QByteArray("  [User]=expert\n") << "user"
                                               << "0";
    QTest::newRow("value with trailing text") << QByteArray("[User]=expert \n") << "user" << "0";
    QTest::newRow("line without key ignored") << QByteArray("Port=COM3\n") << "port" << "0";
}

void tst_settings::readsKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const StoredSettings s = parsed(text);
    QString actual;
    if (field == "port")
        actual = QString::number(s.PortNum);
    else if (field == "user")
        actual = QString::number(s.UserLevel);
    else if (field == "bootload")
        actual = QString::number(int(s.Bootload));
    else if (field == "bootfile")
        actual = s.BootFile;
    else if (field == "speed")
        actual = QString::number(s.UploadSpeed);
    else if (field == "config")
        actual = s.ConfigFile + (s.ConfigFileNamed ? "|named" : "");
    else if (field == "interface")
        actual = QString::number(s.InterfaceType);
    else if (field == "restriction")
        actual = QString(QChar::fromLatin1(s.TypeRestriction));
    QCOMPARE(actual, expected);
}

void tst_settings::lastLineWithoutLineEnd()
{
    const StoredSettings s = parsed("[User]=expert\n[TypeRestriction]=E");
    QCOMPARE(s.TypeRestriction, 'E');
    QCOMPARE(parsed("[Port]=COM7").PortNum, 7);
}

void tst_settings::longLinesAreReadWhole()
{
    const QString deep = "/data/" + QString(400, 'd') + "/device.cfg";
    const StoredSettings s = parsed("[Configfile]=" + deep.toLatin1() + "\r\n[User]=expert\r\n");
    QCOMPARE(s.ConfigFile, deep);
    QCOMPARE(s.UserLevel, 1);
    // A piece of an over-long line must not be taken for a line of its own.
    const QByteArray trap = "[Bootfile]=" + QByteArray(245, 'x') + "[Port]=COM9\n";
    QCOMPARE(parsed(trap).PortNum, 0);
}

void tst_settings::repeatedKeyTakesLast()
{
    const StoredSettings s = parsed("[Port]=COM3\n[Port]=COM4\n[Port]=COM99\n");
    QCOMPARE(s.PortNum, 4);
}

void tst_settings::writesEightLinesWithCrLf_data()
{
    QTest::addColumn<int>("interfaceType");
    QTest::addColumn<QString>("portEntry");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray rest = "[User]=expert\r\n[Bootload]=no\r\n[Bootfile]=/fw/a.hex\r\n"
                            "[UploadSpeed]=2\r\n[Configfile]=/c/x.cfg\r\n";
    QTest::newRow("serial") << int(InterfaceSerial) << "COM12"
                            << "[Port]=COM12\r\n" + rest
                                   + "[Interface]=serial\r\n[TypeRestriction]=E\r\n";
    QTest::newRow("serial, nothing selected")
        << int(InterfaceSerial) << "" << "[Port]=\r\n" + rest
                                              + "[Interface]=serial\r\n[TypeRestriction]=E\r\n";
    QTest::newRow("usb") << int(InterfaceUsb) << "COM12"
                         << "[Port]=COM1\r\n" + rest
                                + "[Interface]=usb\r\n[TypeRestriction]=E\r\n";
    QTest::newRow("network") << int(InterfaceNetwork) << "COM12"
                             << "[Port]=COM1\r\n" + rest
                                    + "[Interface]=network\r\n[TypeRestriction]=E\r\n";
}

void tst_settings::writesEightLinesWithCrLf()
{
    QFETCH(int, interfaceType);
    QFETCH(QString, portEntry);
    QFETCH(QByteArray, expected);
    ToolSettings s;
    s.UserLevel = 1;
    s.BootFile = "/fw/a.hex";
    s.UploadSpeed = 2;
    s.ConfigFile = "/c/x.cfg";
    s.InterfaceType = interfaceType;
    s.TypeRestriction = 'E';
    QTemporaryDir dir;
    const QString path = dir.filePath("mirto.ini");
    QStringList status;
    QVERIFY(WriteSettingsFile(path, s, portEntry, [&](const QString &t) { status << t; }));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), expected);
    QCOMPARE(status, QStringList({"creating ini-file", "closed ini-file"}));
}

void tst_settings::roundTrip()
{
    ToolSettings s;
    s.UserLevel = 1;
    s.Bootload = true;
    s.BootFile = "/fw/b.hex";
    s.UploadSpeed = 3;
    s.ConfigFile = "/c/y.cfg";
    s.InterfaceType = InterfaceSerial;
    s.TypeRestriction = 'E';
    StoredSettings back = parsed(FormatSettings(s, "COM9"));
    QCOMPARE(back.PortNum, 9);
    QCOMPARE(back.UserLevel, 1);
    QCOMPARE(back.Bootload, true);
    QCOMPARE(back.BootFile, s.BootFile);
    QCOMPARE(back.UploadSpeed, 3);
    QCOMPARE(back.ConfigFile, s.ConfigFile);
    QVERIFY(back.ConfigFileNamed);
    QCOMPARE(back.TypeRestriction, 'E');

    // A speed out of range is written as the nearest choice, so the file
    // always holds a digit; USB stores the port as COM1.
    s.UploadSpeed = 10;
    s.InterfaceType = InterfaceUsb;
    QVERIFY(FormatSettings(s, "COM9").contains("[UploadSpeed]=3\r\n"));
    back = parsed(FormatSettings(s, "COM9"));
    QCOMPARE(back.UploadSpeed, 3);
    QCOMPARE(back.PortNum, 1);
    QCOMPARE(back.InterfaceType, int(InterfaceUsb));
}

void tst_settings::fileMissingAndUnwritable()
{
    QTemporaryDir dir;
    QStringList status;
    auto sink = [&](const QString &t) { status << t; };
    StoredSettings s;
    QCOMPARE(ReadSettingsFile(dir.filePath("none.ini"), s, sink), -1);
    QCOMPARE(status, QStringList({"Unable to open ini-file"}));

    status.clear();
    QVERIFY(!WriteSettingsFile(dir.filePath("missing/dir/mirto.ini"), s, "COM1", sink));
    QCOMPARE(status, QStringList({"Unable to create ini-file"}));

    status.clear();
    QFile f(dir.filePath("mirto.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[User]=expert\r\n");
    f.close();
    QCOMPARE(ReadSettingsFile(dir.filePath("mirto.ini"), s, sink), 0);
    QCOMPARE(s.UserLevel, 1);
    QCOMPARE(status,
             QStringList({"opened ini-file", "parsing ini file", "closed ini-file"}));
}

void tst_settings::onlyThePlainFilesStartIsRead()
{
    QTemporaryDir dir;
    auto sink = [](const QString &) {};
    // A pipe in the file's place would block the start-up for good.
    const QString fifo = dir.filePath("fifo.ini");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    StoredSettings s;
    QCOMPARE(ReadSettingsFile(fifo, s, sink), -1);

    // A huge file is read only as far as a settings file can reach.
    QFile f(dir.filePath("big.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(MaxSettingsFileSize, '\n'));
    f.write("[User]=expert\r\n");
    f.close();
    QCOMPARE(ReadSettingsFile(f.fileName(), s, sink), 0);
    QCOMPARE(s.UserLevel, 0);
}

void tst_settings::failedReplaceKeepsTheOldFile()
{
    // The disk takes only part of the new file: the settings file is never
    // rewritten in place, so the old one stays whole and the failure shows.
    QTemporaryDir dir;
    const QString path = dir.filePath("mirto.ini");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[User]=expert\r\n");
    f.close();
    QStringList status;
    ToolSettings s;
    {
        FileSizeLimit limit(40);
        QVERIFY(!WriteSettingsFile(path, s, "COM1", [&](const QString &t) { status << t; }));
    }
    QCOMPARE(status.last(), QString("Unable to create ini-file"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("[User]=expert\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {"mirto.ini"});
}

QTEST_GUILESS_MAIN(tst_settings)
#include "tst_settings.moc"
