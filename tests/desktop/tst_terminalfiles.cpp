#include "desktop/Commainform.h"
#include "desktop/TerminalView.h"
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

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

QTEST_MAIN(TestTerminalFiles)
#include "tst_terminalfiles.moc"
