#include "desktop/Commainform.h"
#include "desktop/TerminalView.h"
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Answers the window's file dialogs as the user does: notes the folder and
// the name the dialog offers, types `answer` into the name box and accepts
// (or cancels when `answer` is null).
class FileDialogAnswerer {
public:
    explicit FileDialogAnswerer(const QString &answer) : m_answer(answer)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            offeredName = name ? name->text() : QString();
            offeredFolder = dialog->directory().absolutePath();
            ++answered;
            if (m_answer.isNull()) {
                dialog->reject();
                return;
            }
            if (name)
                name->setText(m_answer);
            static_cast<QDialog *>(dialog)->accept();
        });
        m_timer.start(10);
    }
    void Answer(const QString &answer) { m_answer = answer; }

    QString offeredName;
    QString offeredFolder;
    int answered = 0;

private:
    QString m_answer;
    QTimer m_timer;
};

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestTerminalFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void saveOverTheLogIsRefused_data();
    void saveOverTheLogIsRefused();
    void dialogsOfferANameAndTheLastFolder_data();
    void dialogsOfferANameAndTheLastFolder();
    void dialogsReadNoFileWhileTyping_data();
    void dialogsReadNoFileWhileTyping();
};

void TestTerminalFiles::saveOverTheLogIsRefused_data()
{
    QTest::addColumn<QString>("named"); // how the save names its file
    QTest::addColumn<bool>("refused");
    QTest::newRow("the log's own name") << "device.log" << true;
    QTest::newRow("a symbolic link to it") << "symbolic.txt" << true;
    QTest::newRow("a hard link to it") << "hard.txt" << true;
    QTest::newRow("another file") << "terminal.txt" << false;
}

void TestTerminalFiles::saveOverTheLogIsRefused()
{
    QFETCH(QString, named);
    QFETCH(bool, refused);
    StartDirectoryEnv env;
    env.writeIni("[User]=beginner\r\n");
    const QString logPath = env.filePath(QStringLiteral("device.log"));
    TMainForm form;
    FileDialogAnswerer files(logPath);
    form.findChild<QAction *>(QStringLiteral("LogToFileItem"))->trigger();
    QCOMPARE(form.LogFilePath(), logPath);
    QVERIFY(::symlink("device.log", QFile::encodeName(env.filePath("symbolic.txt")).constData()) == 0);
    QVERIFY(::link(QFile::encodeName(logPath).constData(),
                   QFile::encodeName(env.filePath("hard.txt")).constData())
            == 0);
    form.AppendTerminal("first\r\n");

    const QString savePath = env.filePath(named);
    files.Answer(savePath);
    {
        ModalAnswerer told(0x00004000 /* Yes: overwrite */);
        form.SaveResponseClicked();
        QCOMPARE(told.text().startsWith("Not saved: the terminal is being logged to "), refused);
    }
    // The log goes on into the file it names, which keeps every line.
    form.AppendTerminal("second\r\n");
    QCOMPARE(form.StatusNote("LogFileLabel"), QString("Logging to device.log"));
    const QByteArray logged = ReadAll(logPath);
    QVERIFY2(logged.contains("] first\r\n") && logged.contains("] second\r\n"), logged.constData());
    QCOMPARE(logged.count('\n'), 2);
    if (!refused)
        QCOMPARE(ReadAll(savePath), QByteArray("first\r\n"));
}

void TestTerminalFiles::dialogsOfferANameAndTheLastFolder_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("log to file") << "LogToFileItem" << "log";
    QTest::newRow("save terminal") << "SaveTerminalItem" << "txt";
}

void TestTerminalFiles::dialogsOfferANameAndTheLastFolder()
{
    QFETCH(QString, item);
    QFETCH(QString, suffix);
    StartDirectoryEnv env;
    env.writeIni("[User]=beginner\r\n");
    const QString start = QDir::currentPath();
    QVERIFY(QDir(start).mkpath("kept"));
    {
        TMainForm form;
        form.AppendTerminal("text\r\n");
        FileDialogAnswerer files(env.filePath("kept/first." + suffix));
        form.findChild<QAction *>(item)->trigger();
        QCOMPARE(files.answered, 1);
        // A real name, of the date and time, in the start directory.
        const QRegularExpression name(QRegularExpression::anchoredPattern(
            "mirto-\\d{4}-\\d\\d-\\d\\d-\\d{4}\\." + suffix));
        QVERIFY2(name.match(files.offeredName).hasMatch(), qPrintable(files.offeredName));
        QCOMPARE(files.offeredFolder, start);
        QVERIFY(QFile::exists(env.filePath("kept/first." + suffix)));
    }
    // The next run offers the folder last used, kept per user, never in
    // mirto.ini.
    TMainForm again;
    FileDialogAnswerer files(QString{});
    again.findChild<QAction *>(item)->trigger();
    QCOMPARE(files.offeredFolder, env.filePath("kept"));
    QVERIFY(!ReadAll(env.filePath("mirto.ini")).contains("kept"));
}

void TestTerminalFiles::dialogsReadNoFileWhileTyping_data()
{
    QTest::addColumn<QString>("item");
    QTest::newRow("log to file") << "LogToFileItem";
    QTest::newRow("save terminal") << "SaveTerminalItem";
    QTest::newRow("send command file") << "SendCommandFileItem";
}

void TestTerminalFiles::dialogsReadNoFileWhileTyping()
{
    QFETCH(QString, item);
    StartDirectoryEnv env;
    env.writeIni("[User]=expert\r\n");
    // A file that, like /proc/kmsg, must not be read: a read of it may never
    // end. A regular file, watched for every open: a FIFO the dialog would
    // pass over by its kind.
    QTemporaryDir folder;
    const QString file = folder.filePath("kmsg");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<6>[    0.000000] Linux version\n");
    }
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(file).constData(), IN_OPEN | IN_ACCESS) >= 0);
    TMainForm form;
    QString shownType;
    QTimer typer;
    connect(&typer, &QTimer::timeout, &typer, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (name->text() != folder.path() + '/') {
            // Typed as the user types it: the dialog lists the folder.
            name->setText(folder.path() + '/');
            return;
        }
        auto *model = dialog->findChild<QFileSystemModel *>();
        const QModelIndex index = model->index(file);
        if (!index.isValid())
            return;
        // What the dialog shows of the file, as it would draw it.
        model->data(index, Qt::DecorationRole);
        shownType = model->data(model->index(index.row(), 2, index.parent())).toString();
        if (shownType.isEmpty())
            return;
        dialog->reject();
    });
    typer.start(20);
    form.findChild<QAction *>(item)->trigger();
    QVERIFY(!shownType.isEmpty());
    char events[4096];
    const ssize_t read = ::read(watch, events, sizeof events);
    ::close(watch);
    QVERIFY2(read < 0, qPrintable("the dialog opened the file; its type: " + shownType));
}

QTEST_MAIN(TestTerminalFiles)
#include "tst_terminalfiles.moc"
