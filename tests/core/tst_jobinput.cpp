#include "core/JobInput.h"
#include "core/config/ConfigFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

DeviceConfigRecord studio()
{
    DeviceConfigRecord r;
    ResetConfigRecord(r);
    r.Mode.set("3");
    r.Channels[0].Name.set("Radio One");
    r.Channels[0].Url.set("http://one");
    r.Channels[1].Name.set("Jazz");
    r.Channels[1].Url.set("http://jazz");
    return r;
}

} // namespace

class tst_jobinput : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsFileOnce_data();
    void readsFileOnce();
    void configAsProgrammed_data();
    void configAsProgrammed();
};

void tst_jobinput::readsFileOnce_data()
{
    QTest::addColumn<QString>("name"); // made by the test
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // empty when read

    QTest::newRow("file") << QStringLiteral("fw.hex") << QByteArray(":00000001FF\r\n") << QString();
    QTest::newRow("empty file") << QStringLiteral("empty.hex") << QByteArray() << QString();
    QTest::newRow("at the limit") << QStringLiteral("big.hex") << QByteArray(2048, 'x') << QString();
    QTest::newRow("over the limit") << QStringLiteral("bigger.hex") << QByteArray(2049, 'x')
                                    << QStringLiteral("It is larger than 2 KB.");
    QTest::newRow("missing") << QStringLiteral("missing.hex") << QByteArray() << QStringLiteral("There is no such file.");
    QTest::newRow("folder") << QStringLiteral("folder/") << QByteArray() << QStringLiteral("It is not a file.");
    // A FIFO would block the read until someone writes.
    QTest::newRow("fifo") << QStringLiteral("fifo|") << QByteArray() << QStringLiteral("It is not a file.");
}

void tst_jobinput::readsFileOnce()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    if (name.endsWith(QLatin1Char('/'))) {
        path = dir.filePath(name.chopped(1));
        QVERIFY(QDir().mkpath(path));
    } else if (name.endsWith(QLatin1Char('|'))) {
        path = dir.filePath(name.chopped(1));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        path = dir.filePath(name);
        if (!name.startsWith(QLatin1String("missing")))
            QVERIFY(writeFile(path, bytes));
    }

    JobInput input;
    input.Path = QStringLiteral("untouched");
    QString told;
    const bool read = ReadJobInput(path, 2048, input, &told);
    QCOMPARE(told, reason);
    QCOMPARE(read, reason.isEmpty());
    if (!read) {
        QCOMPARE(input.Path, QStringLiteral("untouched"));
        return;
    }
    QCOMPARE(input.Bytes, bytes);
    QCOMPARE(input.Sha256, sha256(bytes));
    QCOMPARE(input.Path, QFileInfo(path).absoluteFilePath());
    QVERIFY(!input.Edited);

    // What the job works from stays what was read, whatever the file becomes.
    QVERIFY(writeFile(path, QByteArray("replaced during the job")));
    QCOMPARE(input.Bytes, bytes);
    QCOMPARE(input.Sha256, sha256(bytes));
}

void tst_jobinput::configAsProgrammed_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file was loaded
    QTest::addColumn<bool>("edited");

    // The same settings written by hand: other case, other order, a comment.
    QTest::newRow("file as loaded") << QByteArray("# studio\nCH2URL=http://jazz\nmode=3\nch1name=\"Radio One\"\n"
                                                  "ch1url=http://one\nch2name=Jazz\n")
                                    << false;
    // The window fills in fields that change nothing the device gets.
    QTest::newRow("differs only where nothing is sent")
        << QByteArray("mode=3\nNetwork=D\nispudenable=F\nch1name=\"Radio One\"\nch1url=http://one\nch2name=Jazz\n"
                      "ch2url=http://jazz\n")
        << false;
    QTest::newRow("name changed after the load") << QByteArray("mode=3\nch1name=\"Radio Two\"\nch1url=http://one\n"
                                                               "ch2name=Jazz\nch2url=http://jazz\n")
                                                 << true;
    QTest::newRow("a channel added after the load") << QByteArray("mode=3\nch1name=\"Radio One\"\nch1url=http://one\n")
                                                    << true;
    QTest::newRow("no file loaded") << QByteArray() << true;
}

void tst_jobinput::configAsProgrammed()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, edited);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    if (!file.isEmpty()) {
        path = dir.filePath(QStringLiteral("studio.cfg"));
        QVERIFY(writeFile(path, file));
    }
    const DeviceConfigRecord config = studio();
    const JobInput input = ConfigJobInput(config, 2, "12AB3", path);
    // Unedited, the file is named by its own hash, as wherever it is
    // programmed from; edited, by the configuration as programmed.
    const QByteArray programmed = edited ? FormatConfigFile(config, 2, "12AB3") : file;
    QCOMPARE(input.Bytes, programmed);
    QCOMPARE(input.Sha256, sha256(programmed));
    QCOMPARE(input.Edited, edited);
    QCOMPARE(input.Path, path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath());

    // The bytes are a configuration file of what was programmed.
    DeviceConfigRecord back;
    ResetConfigRecord(back);
    QVERIFY(ParseConfigText(input.Bytes, back) > 0);
    QCOMPARE(back.Channels, config.Channels);
    QCOMPARE(back.Mode, config.Mode);
}

QTEST_GUILESS_MAIN(tst_jobinput)
#include "tst_jobinput.moc"
