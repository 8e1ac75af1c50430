#include "core/firmware/HexImage.h"
#include "tests/HexFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace hexfix;

namespace {

const QString Opened = QStringLiteral("Open Flash Hex File");

QString Ok(quint64 size)
{
    return QStringLiteral("Flash Hex File OK %1 Bytes").arg(size);
}

QString TooLarge(quint64 size)
{
    return QStringLiteral("Error in Flash Hex File. Size exceeds 252KB (258048 B). Size = %1 Bytes")
        .arg(size);
}

QString BadLine(int line)
{
    return QStringLiteral("Error in Flash Hex File Line %1").arg(line);
}

// A data record whose checksum only matches when the bad digit is read as 0.
QByteArray RecordWithBadDigit()
{
    QByteArray line = Record(0, 0x0010, QByteArray("\x12\x00\x34", 3));
    line[12] = 'G'; // low digit of the second data byte
    return line;
}

} // namespace

class tst_hexload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loads_data();
    void loads();
    void lineEnds_data();
    void lineEnds();
    void everyLoadStartsAfresh();
    void readsFiles();
};

// One file each: the result, the message after "Open Flash Hex File", the
// failing line, the addresses (checked for accepted files) and chosen bytes.
void tst_hexload::loads_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("line");
    QTest::addColumn<quint32>("low");
    QTest::addColumn<quint32>("high");
    QTest::addColumn<QList<int>>("probeAddresses");
    QTest::addColumn<QByteArray>("probeBytes");

    const QByteArray small = "\x01\xAB\xFF\x7E";
    QTest::newRow("lower-case records")
        << Join(Records({{0x1230, small}}, true) << ":00000001ff") << 0 << Ok(0x1234 - 0x1230)
        << 0 << quint32(0x1230) << quint32(0x1233) << QList<int>{0x122F, 0x1230, 0x1231, 0x1234}
        << QByteArray("\xFF\x01\xAB\xFF", 4);

    const QList<Span> full = {Filled(0, 258048)};
    const QByteArray fullFlash = Flash(full);
    QTest::newRow("0..258047 accepted")
        << HexText(full) << 0 << Ok(258048) << 0 << quint32(0) << quint32(258047)
        << QList<int>{0, 65535, 65536, 258047, 258048}
        << Bytes({fullFlash[0], fullFlash[65535], fullFlash[65536], fullFlash[258047], 0xFF});
    QTest::newRow("one byte more refused")
        << HexText({Filled(0, 258049)}) << -2 << TooLarge(258049) << 0 << quint32(0) << quint32(0)
        << QList<int>{} << QByteArray();

    const QByteArray second = Pattern(65536, 65536);
    QByteArrayList linear{Extended(4, 0x0001)};
    QByteArrayList segment{Extended(2, 0x1000)};
    for (int offset = 0; offset < 65536; offset += 16) {
        const QByteArray record = Record(0, quint16(offset), second.mid(offset, 16));
        linear << record;
        segment << record;
    }
    const QList<int> secondProbes{0, 65534, 65535, 65536, 131071, 131072};
    const QByteArray secondBytes = Bytes({0xFF, 0xFF, 0xFF, second[0], second[65535], 0xFF});
    QTest::newRow("64 KB at 65536 by linear address")
        << Join(linear << EndRecord) << 0 << Ok(65537) << 0 << quint32(65535) << quint32(131071)
        << secondProbes << secondBytes;
    QTest::newRow("64 KB at 65536 by segment address")
        << Join(segment << EndRecord) << 0 << Ok(65537) << 0 << quint32(65535) << quint32(131071)
        << secondProbes << secondBytes;

    const QByteArray one("\x5A", 1);
    QTest::newRow("linear 0004 does not wrap to 0")
        << Join({Extended(4, 0x0004), Record(0, 0, one), EndRecord}) << -2 << TooLarge(262145)
        << 0 << quint32(0) << quint32(0) << QList<int>{0} << QByteArray("\xFF");
    QTest::newRow("linear FFFF at FFFF does not wrap")
        << Join({Extended(4, 0xFFFF), Record(0, 0xFFFF, one), EndRecord}) << -2
        << TooLarge(4294967296ull) << 0 << quint32(0) << quint32(0) << QList<int>{0, 0xFFFF}
        << QByteArray("\xFF\xFF");
    QTest::newRow("segment FFFF stays above the image")
        << Join({Extended(2, 0xFFFF), Record(0, 0x0010, one), EndRecord}) << -2
        << TooLarge(0x100001) << 0 << quint32(0) << quint32(0) << QList<int>{0x10}
        << QByteArray("\xFF");
    // Refused with its real size, up to its last byte.
    QTest::newRow("record running past the image stores nothing of it")
        << Join({Extended(4, 0x0003), Record(0, 0xFFF8, Pattern(0, 16)), EndRecord}) << -2
        << TooLarge(0x40008) << 0 << quint32(0) << quint32(0) << QList<int>{0x3FFF8}
        << QByteArray("\xFF");
    QTest::newRow("an image of 300000 bytes says so")
        << HexText({Filled(0, 300000)}) << -2 << TooLarge(300000) << 0 << quint32(0)
        << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("data only in the boot loader's area")
        << HexText({Filled(0x3F000, 0x1000)}) << -2 << TooLarge(262144) << 0 << quint32(0)
        << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("one byte at the boot loader's area")
        << HexText({Filled(0x1000, 16), Filled(258048, 1)}) << -2 << TooLarge(258049) << 0
        << quint32(0) << quint32(0) << QList<int>{} << QByteArray();

    const QByteArrayList three = Records({Filled(0, 48)});
    QByteArrayList badChecksum = three;
    const QByteArray third = three[2];
    const unsigned wrongSum = (third.right(2).toUInt(nullptr, 16) + 1) & 0xFF;
    badChecksum[2] = third.left(third.size() - 2) + Hex2(wrongSum);
    QTest::newRow("bad checksum on line 3")
        << Join(badChecksum << EndRecord) << -1 << BadLine(3) << 3 << quint32(0) << quint32(0)
        << QList<int>{} << QByteArray();
    QTest::newRow("blank line")
        << Join({three[0], "", three[1], EndRecord}) << -1 << BadLine(2) << 2 << quint32(0)
        << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("leading blank")
        << Join({three[0], three[1], " " + three[2], EndRecord}) << -1 << BadLine(3) << 3
        << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("250 data bytes fill a 511-character line")
        << Join({Record(0, 0, Pattern(0, 250)), EndRecord}) << 0 << Ok(250) << 0 << quint32(0)
        << quint32(249) << QList<int>{249, 250} << Bytes({Pattern(0, 250)[249], 0xFF});
    QTest::newRow("overlong line fails on its own line")
        << Join({three[0], Record(0, 0x100, Pattern(0x100, 251)), EndRecord}) << -1 << BadLine(2)
        << 2 << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("line shorter than its count")
        << Join({three[0], three[1].left(three[1].size() - 4) + three[1].right(2), EndRecord})
        << -1 << BadLine(2) << 2 << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("line longer than its count")
        << Join({three[0], three[1] + "00", EndRecord}) << -1 << BadLine(2) << 2 << quint32(0)
        << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("file cut short in a record")
        << (Join({three[0], three[1]}) + three[2].left(20)) << -1 << BadLine(3) << 3 << quint32(0)
        << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("digit that is not hexadecimal")
        << Join({three[0], RecordWithBadDigit(), EndRecord}) << -1 << BadLine(2) << 2
        << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("extended address with one byte")
        << Join({Record(4, 0, QByteArray(1, '\0')), three[0], EndRecord}) << -1 << BadLine(1) << 1
        << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("segment address with three bytes")
        << Join({three[0], Record(2, 0, QByteArray(3, '\0')), EndRecord}) << -1 << BadLine(2) << 2
        << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("start address record with data fails")
        << Join({three[0], Record(3, 0, QByteArray("\x00\x00\x12\x34", 4)), EndRecord}) << -1
        << BadLine(2) << 2 << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("record type without data is skipped")
        << Join({three[0], Record(5, 0, {}), EndRecord}) << 0 << Ok(16) << 0 << quint32(0)
        << quint32(15) << QList<int>{} << QByteArray();

    QTest::newRow("no end record")
        << Join(three) << 0 << Ok(48) << 0 << quint32(0) << quint32(47) << QList<int>{47, 48}
        << Bytes({Pattern(0, 48)[47], 0xFF});
    QTest::newRow("junk after the end record ignored")
        << Join({three[0], EndRecord, "garbage", Record(0, 0x40, "\x01")}) << 0 << Ok(16) << 0
        << quint32(0) << quint32(15) << QList<int>{0x40} << QByteArray("\xFF");
    QTest::newRow("end record checksum not examined")
        << Join({three[0], ":00000001AA"}) << 0 << Ok(16) << 0 << quint32(0) << quint32(15)
        << QList<int>{} << QByteArray();
    QTest::newRow("later record overwrites")
        << Join({Record(0, 0x20, "\x11\x22"), Record(0, 0x21, "\x33"), EndRecord}) << 0 << Ok(2)
        << 0 << quint32(0x20) << quint32(0x21) << QList<int>{0x20, 0x21}
        << QByteArray("\x11\x33");
    QTest::newRow("empty data record lowers the low address only")
        << Join({Record(0, 0x10, {}), Record(0, 0x20, "\x01"), EndRecord}) << 0 << Ok(0x11) << 0
        << quint32(0x10) << quint32(0x20) << QList<int>{0x10} << QByteArray("\xFF");

    const QString noData = QStringLiteral("Error in Flash Hex File. No data records found");
    QTest::newRow("no data records") << Join({Extended(4, 1), EndRecord}) << -1 << noData << 0
                                     << quint32(0) << quint32(0) << QList<int>{} << QByteArray();
    QTest::newRow("empty file") << QByteArray() << -1 << noData << 0 << quint32(0) << quint32(0)
                                << QList<int>{} << QByteArray();
}

void tst_hexload::loads()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(QString, message);
    QFETCH(int, line);
    QFETCH(quint32, low);
    QFETCH(quint32, high);
    QFETCH(QList<int>, probeAddresses);
    QFETCH(QByteArray, probeBytes);

    HexImage image;
    const HexLoadResult loaded = ParseHexImage(text, image);
    QCOMPARE(loaded.Messages, QStringList({Opened, message}));
    QCOMPARE(loaded.Result, result);
    QCOMPARE(loaded.FailedLine, line);
    if (result == 0) {
        QCOMPARE(image.ImageLowAddress, low);
        QCOMPARE(image.ImageHighAddress, high);
    }
    QCOMPARE(image.FlashImage.size(), std::size_t(HexImage::Capacity));
    for (qsizetype i = 0; i < probeAddresses.size(); ++i)
        QCOMPARE(int(image.FlashImage[std::size_t(probeAddresses[i])]), int(quint8(probeBytes[i])));
}

void tst_hexload::lineEnds_data()
{
    QTest::addColumn<QByteArray>("eol");
    QTest::addColumn<bool>("finalEol");
    QTest::newRow("LF") << QByteArray("\n") << true;
    QTest::newRow("CR LF") << QByteArray("\r\n") << true;
    QTest::newRow("CR LF, last line without one") << QByteArray("\r\n") << false;
}

void tst_hexload::lineEnds()
{
    QFETCH(QByteArray, eol);
    QFETCH(bool, finalEol);
    const QList<Span> spans = {Filled(0x100, 40), Filled(0x20000, 20)};
    QByteArray text = Join(Records(spans) << EndRecord, eol);
    if (!finalEol)
        text.chop(eol.size());
    HexImage image;
    const HexLoadResult loaded = ParseHexImage(text, image);
    QCOMPARE(loaded.Result, 0);
    QCOMPARE(loaded.Messages.last(), Ok(0x20000 + 20 - 0x100));
    const QByteArray flash = Flash(spans);
    QVERIFY(std::equal(image.FlashImage.begin(), image.FlashImage.end(),
                       reinterpret_cast<const quint8 *>(flash.constData())));
}

// A smaller file loaded after a larger one leaves nothing of the first behind.
void tst_hexload::everyLoadStartsAfresh()
{
    HexImage image;
    QCOMPARE(ParseHexImage(HexText({Filled(0, 5000, 1), Filled(70000, 100, 1)}), image).Result, 0);
    const QList<Span> smaller = {Filled(0x200, 64, 2)};
    QCOMPARE(ParseHexImage(HexText(smaller), image).Result, 0);
    QCOMPARE(image.ImageLowAddress, quint32(0x200));
    QCOMPARE(image.ImageHighAddress, quint32(0x23F));
    const QByteArray flash = Flash(smaller);
    QVERIFY(std::equal(image.FlashImage.begin(), image.FlashImage.end(),
                       reinterpret_cast<const quint8 *>(flash.constData())));

    // A file that fails still resets the image before it fails.
    QCOMPARE(ParseHexImage(":zz\r\n", image).Result, -1);
    QCOMPARE(image.ImageHighAddress, quint32(0));
    QCOMPARE(image.FlashImage[0x200], quint8(0xFF));
}

// Files that cannot be read leave the previous image alone.
void tst_hexload::readsFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QList<Span> spans = {Filled(0x40, 32)};
    const QString good = dir.filePath("good.hex");
    {
        QFile file(good);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexText(spans));
    }
    HexImage image;
    const HexLoadResult loaded = LoadHexFile(good, image);
    QCOMPARE(loaded.Result, 0);
    QCOMPARE(loaded.Messages, QStringList({Opened, Ok(32)}));

    const QString huge = dir.filePath("huge.hex");
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(HexFileMaxBytes + 1));
    }
    // A pipe in the file's place would block the tool for good.
    const QString pipe = dir.filePath("pipe.hex");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString unopened = QStringLiteral("Unable to open Hex File");
    const QList<QPair<QString, QString>> failing = {
        {dir.filePath("missing.hex"), unopened},
        {pipe, unopened},
        {QString(), unopened},
        {dir.path(), unopened},
        {huge, QStringLiteral("Error in Flash Hex File. File larger than 16 MB")},
    };
    for (const auto &[path, message] : failing) {
        const HexLoadResult failed = LoadHexFile(path, image);
        QCOMPARE(failed.Result, -1);
        QCOMPARE(failed.Messages, QStringList{message});
        QCOMPARE(image.ImageLowAddress, quint32(0x40));
        QCOMPARE(image.ImageHighAddress, quint32(0x5F));
        QCOMPARE(image.FlashImage[0x40], quint8(spans[0].bytes[0]));
    }
}

QTEST_GUILESS_MAIN(tst_hexload)
#include "tst_hexload.moc"
