// How long the event loop stands still while the tool meets a failing device:
// unplugged, its TCP connection reset, a flood of text without a prompt, zero
// bytes without end, an answer that never ends, in every state that talks in
// command lines, and a firmware update whose device fails at its reset or
// whose boot loader dies between pages or inside a frame. The simulator runs
// as a process of its own and sets off each fault at the command the state
// sends. For each fault the longest stall is printed, with PASS or FAIL
// against 100 ms: a window that stands still longer than that looks frozen.
// The tests check what the user is told; this holds the figure, which means
// something only on a machine that is not busy with other work.

#include "bench/BenchSupport.h"
#include "core/DeviceConnection.h"
#include "core/config/Programming.h"
#include "core/firmware/UpdateSession.h"
#include "sim/core/SimLauncher.h"
#include "tests/FaultCases.h"
#include "tests/HexFixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

using faultcases::AfterMs;
using faultcases::LoopProbe;

constexpr qint64 StallLimitMs = 100;
constexpr int GiveUpMs = 60000;

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The faults are the point here: what the tool tells the user is noted, not
// taken as a failed run.
class FaultUser : public DeviceUser {
public:
    QStringList told;
    void TellUser(const QString &text) override { told << text.simplified(); }
    void TellBusy(const QString &text) override { told << QStringLiteral("busy: ") + text.simplified(); }
    void ShowLinkError(const std::exception &error) override
    {
        told << QString::fromLocal8Bit(error.what()).simplified();
    }
    bool AskHostAddress(QString &address) override
    {
        address = QStringLiteral("127.0.0.1");
        return true;
    }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    void AppendTerminal(const QByteArray &) override {}
    void AddStatus(const QString &text) override { status = text; }
    void ShowIdentification(const QString &) override {}
    void ShowConnectionState(const ConnectionState &) override {}
    void PortsChanged() override {}
    QString status;
};

struct QuietSink : ProgrammingSink {
    QStringList messages;
    void ShowMessage(const QString &text, const QString &) override { messages << text.simplified(); }
    void AddStatus(const QString &) override {}
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
};

struct Row {
    QString name;
    qint64 worst = -1; // -1: the run did not get as far as the fault
    qint64 took = 0;
    QString seen;
    bool Pass() const { return worst >= 0 && worst < StallLimitMs; }
};

void Print(const Row &row)
{
    if (row.worst < 0) {
        std::printf("fault_stalls: %-44s did not run: %s  FAIL\n", qPrintable(row.name), qPrintable(row.seen));
        return;
    }
    std::printf("fault_stalls: %-44s longest stall %4lld ms (%5lld ms in all; %s)  %s\n", qPrintable(row.name),
                qlonglong(row.worst), qlonglong(row.took), qPrintable(row.seen.isEmpty() ? "nothing said" : row.seen),
                row.Pass() ? "PASS" : "FAIL");
}

Row CommandState(const QString &state, bool tcp, const QString &fault)
{
    Row row;
    row.name = QStringLiteral("%1, %2 (%3)").arg(state, fault, tcp ? "TCP" : "serial");
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), QStringList({QStringLiteral("--tcp-port"), QStringLiteral("0")})
                                                        + faultcases::Options(fault, faultcases::Trigger(state)));
    if (sim.ComPort() <= 0 || sim.TcpPort() <= 0) {
        row.seen = QStringLiteral("the simulator did not start");
        return row;
    }
    ToolSettings settings;
    settings.InterfaceType = tcp ? InterfaceNetwork : InterfaceSerial;
    FaultUser user;
    DeviceConnection conn(settings, user);
    conn.VaComm().SetPortNum(sim.ComPort());
    conn.ClientSocket().SetPort(sim.TcpPort());
    if (state != QLatin1String("identification")) {
        conn.OpenConnection();
        if (!RunUntil([&] { return conn.IsConnected(); }, 10000)) {
            row.seen = QStringLiteral("no link to the simulator");
            conn.Shutdown();
            return row;
        }
    }

    QuietSink sink;
    QElapsedTimer clock;
    clock.start();
    {
        LoopProbe probe;
        faultcases::RunState(conn, state, sink);
        RunFor(AfterMs);
        row.worst = probe.worst();
    }
    row.took = clock.elapsed();
    QStringList seen = user.told + sink.messages;
    if (!user.status.isEmpty())
        seen << QStringLiteral("status: ") + user.status;
    row.seen = seen.join(QStringLiteral("; "));
    conn.Shutdown();
    return row;
}

Row FirmwareUpdate(const QString &name, const QStringList &options)
{
    Row row;
    row.name = QStringLiteral("firmware update, ") + name;
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("image.hex"));
    QFile hex(hexPath);
    if (!dir.isValid() || !hex.open(QIODevice::WriteOnly)) {
        row.seen = QStringLiteral("no image file");
        return row;
    }
    hex.write(hexfix::HexText({hexfix::Filled(0, 8 * 256)}));
    hex.close();
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH),
                    QStringList({QStringLiteral("--no-tcp"), QStringLiteral("--line-rate"), QStringLiteral("0"),
                                 QStringLiteral("--page-size"), QStringLiteral("256"), QStringLiteral("--image"),
                                 dir.filePath(QStringLiteral("written.bin"))})
                        + options);
    if (sim.ComPort() <= 0) {
        row.seen = QStringLiteral("the simulator did not start");
        return row;
    }
    ToolSettings settings;
    settings.InterfaceType = InterfaceSerial;
    FaultUser user;
    DeviceConnection conn(settings, user);
    conn.VaComm().SetPortNum(sim.ComPort());
    conn.OpenConnection();
    if (!conn.IsConnected()) {
        row.seen = QStringLiteral("could not open the port");
        return row;
    }

    UpdateSession session(conn.Boot(), hexPath);
    bool finished = false;
    QString reason;
    QObject::connect(&session, &UpdateSession::Finished, [&](bool, const QString &why) {
        finished = true;
        reason = why.simplified();
    });
    QElapsedTimer clock;
    clock.start();
    {
        LoopProbe probe;
        if (session.Start(true)) {
            RunUntil([&] { return finished; }, GiveUpMs);
            RunFor(AfterMs);
        }
        row.worst = finished ? probe.worst() : -1;
    }
    row.took = clock.elapsed();
    row.seen = finished ? QStringLiteral("update failed: ") + reason : QStringLiteral("the update never ended");
    conn.Shutdown();
    return row;
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QCoreApplication> app(argc, argv, "fault_stalls");
    if (!app.IsValid())
        return 2;
    std::printf("fault_stalls: the longest the event loop kept a due timer waiting while each fault was met, "
                "against %lld ms (load average %s)\n",
                qlonglong(StallLimitMs), qPrintable(LoadAverage()));
    std::fflush(stdout);

    QList<Row> rows;
    const auto run = [&rows](Row row) {
        Print(row);
        std::fflush(stdout);
        rows << row;
    };
    const QStringList streams = {QStringLiteral("flood"), QStringLiteral("zeros"), QStringLiteral("endless")};
    // Identification runs over the serial and USB links only.
    run(CommandState(QStringLiteral("identification"), false, QStringLiteral("unplug")));
    for (const QString &fault : streams)
        run(CommandState(QStringLiteral("identification"), false, fault));
    for (const char *state : {"direct command", "programming", "read-out", "test console"}) {
        const QString name = QString::fromLatin1(state);
        run(CommandState(name, false, QStringLiteral("unplug")));
        run(CommandState(name, true, QStringLiteral("unplug")));
        run(CommandState(name, true, QStringLiteral("reset")));
        for (const QString &fault : streams)
            for (const bool tcp : {false, true})
                run(CommandState(name, tcp, fault));
    }
    run(FirmwareUpdate(QStringLiteral("unplug at reset"), {QStringLiteral("--unplug-at"), QStringLiteral("reset")}));
    run(FirmwareUpdate(QStringLiteral("flood at reset"), {QStringLiteral("--flood-at"), QStringLiteral("reset"),
                                                          QStringLiteral("--flood"), QStringLiteral("1000000")}));
    run(FirmwareUpdate(QStringLiteral("zeros at reset"), {QStringLiteral("--zeros"), QStringLiteral("reset")}));
    run(FirmwareUpdate(QStringLiteral("endless at reset"), {QStringLiteral("--endless"), QStringLiteral("reset")}));
    run(FirmwareUpdate(QStringLiteral("dies between pages"), {QStringLiteral("--die-at-page"), QStringLiteral("3")}));
    run(FirmwareUpdate(QStringLiteral("dies in the middle of a frame"),
                       {QStringLiteral("--die-at-page"), QStringLiteral("2"), QStringLiteral("--die-mid-frame")}));

    qint64 worst = 0;
    int failed = 0;
    for (const Row &row : std::as_const(rows)) {
        worst = qMax(worst, row.worst);
        if (!row.Pass())
            ++failed;
    }
    const bool pass = failed == 0;
    std::printf("fault_stalls: %lld faults, longest stall of all %lld ms, %d over %lld ms or not run\n",
                qlonglong(rows.size()), qlonglong(worst), failed, qlonglong(StallLimitMs));
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
