#include "shell/Commainform.h"
#include "shell/TerminalView.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Connection management over TCP. Everything talks to 127.0.0.1 only: the
// address box's proposal is never accepted as it stands.
namespace {

using Env = StartDirectoryEnv;

void makeNetworkForm(TMainForm &form, int port)
{
    form.InterfaceType = InterfaceNetwork;
    form.ClientSocket().SetPort(port);
}

// Opens the network link, typing 127.0.0.1 into the address box.
void connectTo127(TMainForm &form)
{
    InputAnswerer answer("127.0.0.1");
    form.OpenConnectionClicked(nullptr);
}

// A window connected over TCP to a server listening on 127.0.0.1.
struct ConnectedWindow {
    Env env;
    QTcpServer server;
    TMainForm form;
    bool open()
    {
        if (!server.isListening() && !server.listen(QHostAddress::LocalHost, 0))
            return false;
        makeNetworkForm(form, server.serverPort());
        connectTo127(form);
        return QTest::qWaitFor([this] { return form.Connected; }, 5000);
    }
};

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class tst_network : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addressCancelledOrEmpty_data();
    void addressCancelledOrEmpty();
    void nothingListeningTimesOut();
    void connectAndDeviceCloses();
    void userClosesAndWindowCloses();
    void errorWhileConnected();
    void exchangeOverTcp();
    void deviceClosesDuringExchange();
    void reopenClosesFirstAndProposesAgain();
};

void tst_network::addressCancelledOrEmpty_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("cancelled") << QString();
    QTest::newRow("empty") << QString("");
}

void tst_network::addressCancelledOrEmpty()
{
    QFETCH(QString, typed);
    Env env;
    TMainForm form;
    makeNetworkForm(form, freePort());
    InputAnswerer answer(typed);
    form.OpenConnectionClicked(nullptr);
    QVERIFY(answer.seen());
    QCOMPARE(answer.title(), QString("Computer to connect to"));
    QCOMPARE(answer.label(), QString("IP-address:"));
    QCOMPARE(answer.proposed(), QString("192.168.0.100"));
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(!form.TOTimer().isActive());
}

void tst_network::nothingListeningTimesOut()
{
    Env env;
    TMainForm form;
    makeNetworkForm(form, freePort());
    ModalAnswerer box;
    {
        InputAnswerer answer("127.0.0.1");
        QElapsedTimer t;
        t.start();
        form.OpenConnectionClicked(nullptr);
        QCOMPARE(form.StatusPanelText(3), QString("  trying 127.0.0.1...."));
        QVERIFY(QGuiApplication::overrideCursor());
        QVERIFY(!form.Connected);
        QTRY_COMPARE_WITH_TIMEOUT(box.text(), QString("Unable to connect...."), 5000);
        QVERIFY(t.elapsed() >= 1900);
    }
    QCOMPARE(box.allTexts().size(), 1);
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(!form.Connected);
}

void tst_network::connectAndDeviceCloses()
{
    ConnectedWindow link;
    QVERIFY(link.open());
    TMainForm &form = link.form;
    QCOMPARE(form.StatusPanelText(3), QString(" Connect 127.0.0.1"));
    QVERIFY(form.findChild<QToolButton *>("CloseConToolButton")->isEnabled());
    QVERIFY(!QGuiApplication::overrideCursor());
    QTRY_VERIFY(link.server.hasPendingConnections());
    QTcpSocket *peer = link.server.nextPendingConnection();
    QTest::qWait(2200); // the connect time-out must not fire after a connect
    ModalAnswerer box;
    peer->close();
    QTRY_COMPARE(box.text(), QString(" Socket Connection closed by Mirto"));
    QVERIFY(!form.Connected);
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QCOMPARE(box.allTexts().size(), 1);
}

void tst_network::userClosesAndWindowCloses()
{
    ConnectedWindow link;
    TMainForm &form = link.form;
    for (int round = 0; round < 2; ++round) {
        QVERIFY(link.open());
        ModalAnswerer box;
        if (round == 0)
            form.CloseConnectionClicked();
        else
            form.close(); // closing the window ends the link, with its message
        QCOMPARE(box.text(), QString(" Socket Connection closed by Mirto"));
        QVERIFY(!form.Connected);
        QVERIFY(!form.ClientSocket().Active());
    }
}

void tst_network::errorWhileConnected()
{
    ConnectedWindow link;
    QVERIFY(link.open());
    TMainForm &form = link.form;
    ModalAnswerer box;
    int code = 104;
    Q_EMIT form.ClientSocket().OnError(&form.ClientSocket(), ErrorEvent::Receive, code);
    QCOMPARE(code, 0);
    // The handler's own close ends the connection first.
    QCOMPARE(box.allTexts(), QStringList({" Socket Connection closed by Mirto",
                                          "Unexpected Clientsocket error...."}));
    QVERIFY(!form.Connected);
    QVERIFY(!form.ClientSocket().Active());
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    // A failed connect is only marked handled: the time-out reports it.
    code = 111;
    Q_EMIT form.ClientSocket().OnError(&form.ClientSocket(), ErrorEvent::Connect, code);
    QCOMPARE(code, 0);
}

void tst_network::exchangeOverTcp()
{
    Env env;
    SimProcess sim({"--tcp-port", "0"});
    QVERIFY2(sim.tcpPort() > 0, qPrintable(sim.banner()));
    TMainForm form;
    makeNetworkForm(form, sim.tcpPort());
    connectTo127(form);
    QTRY_VERIFY(form.Connected);
    QElapsedTimer t;
    t.start();
    form.ExchangeCommand("ver\n");
    QVERIFY(form.PromptSeen);
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(form.ReplyBuffer.contains("V: "));
    QVERIFY(form.ReplyBuffer.endsWith('>'));
    // CR is dropped and LF starts a new line; no time stamps on this path.
    const QString shown = form.Memo()->Text();
    QVERIFY2(shown.contains("Mirto V: 4.0.1\nBuild"), qPrintable(shown));
    QVERIFY(!shown.contains('\r'));
    form.ExchangeCommand("mode 2\n");
    QVERIFY(form.PromptSeen);
    QVERIFY2(form.Memo()->Text().contains("# mode changed"), qPrintable(form.Memo()->Text()));
    ModalAnswerer box;
    form.CloseConnectionClicked();
}

void tst_network::deviceClosesDuringExchange()
{
    Env env;
    // A device that hangs up on the first command, served from its own thread
    // because the tool's thread is held by the exchange.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    std::thread device([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char buf[64];
        if (::read(peer, buf, sizeof buf) > 0)
            ::close(peer);
    });
    TMainForm form;
    makeNetworkForm(form, ntohs(addr.sin_port));
    connectTo127(form);
    QTRY_VERIFY(form.Connected);
    ModalAnswerer box;
    QElapsedTimer t;
    t.start();
    form.ExchangeCommand("mode\n");
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!form.PromptSeen);
    QVERIFY(!form.Connected);
    QVERIFY(!box.seen()); // told once the exchange is over
    QTRY_COMPARE(box.text(), QString(" Socket Connection closed by Mirto"));
    device.join();
    ::close(listener);
}

void tst_network::reopenClosesFirstAndProposesAgain()
{
    ConnectedWindow link;
    QVERIFY(link.open());
    TMainForm &form = link.form;
    ModalAnswerer box;
    InputAnswerer answer {QString()}; // cancelled this time
    form.OpenConnectionClicked(nullptr);
    QCOMPARE(answer.proposed(), QString("192.168.0.100")); // not what was typed before
    QCOMPARE(box.allTexts(), QStringList({" Socket Connection closed by Mirto"}));
    QVERIFY(!form.ClientSocket().Active());
    QVERIFY(!form.Connected);
}

QTEST_MAIN(tst_network)
#include "tst_network.moc"
