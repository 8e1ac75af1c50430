#include "tests/TestHelpers.h"

#include "core/links/ComPorts.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QtTest>

#include <csignal>

// mirto-cli and a port another program holds: said at once, or with
// --wait-for-port waited for until it is free.
class tst_portwait : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void heldPort_data();
    void heldPort();
    void interruptEndsTheWait();
};

void tst_portwait::heldPort_data()
{
    QTest::addColumn<int>("waitSeconds"); // 0: no --wait-for-port
    QTest::addColumn<bool>("freed");      // the holder lets go while the run waits
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("told");
    QTest::newRow("freed while waited for") << 120 << true << 0 << "";
    QTest::newRow("still held when the wait ends")
        << 1 << false << 1 << "was still in use by another program after waiting 1 s";
    QTest::newRow("not waited for") << 0 << false << 1 << "is in use by another program: close it there";
}

void tst_portwait::heldPort()
{
    QFETCH(int, waitSeconds);
    QFETCH(bool, freed);
    QFETCH(int, exitCode);
    QFETCH(QString, told);
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--serial", "12AB3"});
    QVERIFY(sim.comPort() > 0);
    // Another program has the port open, as the window would.
    QSerialPort holder;
    holder.setPortName(QFileInfo(ComPortTarget(sim.comPort())).canonicalFilePath());
    QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

    QStringList arguments {"--port", ComName(sim)};
    if (waitSeconds > 0)
        arguments << "--wait-for-port" << QString::number(waitSeconds);
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), arguments + QStringList {"identify"});
    QVERIFY(cli.waitForStarted());
    const QByteArray waiting = ComName(sim).toLatin1() + " is in use by another program; waiting up to "
                               + QByteArray::number(waitSeconds) + " s for it\n";
    QByteArray out;
    QElapsedTimer freedAt;
    if (freed) {
        QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains(waiting), 30000);
        holder.close();
        freedAt.start();
    }
    QVERIFY(cli.waitForFinished(60000));
    out += cli.readAllStandardOutput();
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    QCOMPARE(cli.exitCode(), exitCode);
    QCOMPARE(out.contains(waiting), waitSeconds > 0);
    if (freed) {
        QVERIFY2(out.contains("12AB3"), out.constData());
        // Ended by the port coming free, not by the wait running out.
        QVERIFY(freedAt.elapsed() < 60000);
    } else {
        QVERIFY2(err.contains(told), qPrintable(err));
    }
}

void tst_portwait::interruptEndsTheWait()
{
    // A job engine cancels the job while the port is waited for.
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY(sim.comPort() > 0);
    QSerialPort holder;
    holder.setPortName(QFileInfo(ComPortTarget(sim.comPort())).canonicalFilePath());
    QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--port", ComName(sim), "--wait-for-port", "600", "send", "ver"});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains("waiting up to 600 s"), 30000);
    ::kill(pid_t(cli.processId()), SIGTERM);
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    QVERIFY2(err.contains("Interrupted while waiting for " + ComName(sim) + ", which another program holds: nothing was sent"),
             qPrintable(err));
}

QTEST_GUILESS_MAIN(tst_portwait)
#include "tst_portwait.moc"
