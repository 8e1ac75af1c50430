// Times a whole firmware update through the update dialog against the device
// simulator's boot loader, paced at 115200 bit/s on a pseudo-terminal: a full
// 252 KB image (addresses 0 to 258047) at pages of 256 bytes. The line itself
// takes (bytes on the wire x 10 / 115200) seconds; the simulator adds its own
// fixed pauses. Everything beyond those is the tool's reaction time, which
// must stay within 2 % of the line time.

#include "tests/HexFixtures.h"
#include "bench/BenchSupport.h"
#include "desktop/firmware/Upload.h"
#include "core/DeviceConnection.h"
#include "core/DevicePorts.h"
#include "core/ToolSettings.h"
#include "sim/core/SimBootLoader.h"
#include "sim/core/SimLauncher.h"
#include "sim/core/SimServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr quint32 ImageBytes = 258048;
constexpr int PageSize = 256;
constexpr int LineRate = 115200;
constexpr int BitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr double Allowance = 1.02;
constexpr int GiveUpMs = 120000;

// The dialog's view of the connection, counting what crosses the line and
// when the device's last byte was taken.
class CountingPort : public BootPort {
public:
    explicit CountingPort(DeviceConnection &connection) : m_conn(connection.Boot()) {}

    qint64 toDevice = 0;
    qint64 fromDevice = 0;
    qint64 lastReadNs = 0;
    // From taking a page request to handing its frame to the line.
    qint64 reactionNs = 0;
    qint64 worstReactionNs = 0;
    int frames = 0;
    QElapsedTimer clock;

    int Interface() const override { return m_conn.Interface(); }
    int PortNumber() const override { return m_conn.PortNumber(); }
    bool ClaimForUpdate(std::function<void(int)> receiver) override
    {
        return m_conn.ClaimForUpdate(std::move(receiver));
    }
    void GiveBack() override { m_conn.GiveBack(); }
    bool UploadActive() const override { return m_conn.UploadActive(); }
    bool PortOpen() const override { return m_conn.PortOpen(); }
    bool ReadyForUpdate() override { return m_conn.ReadyForUpdate(); }
    bool OpenForUpdate() override { return m_conn.OpenForUpdate(); }
    int ReadBytes(char *buffer, int size) override
    {
        const int n = m_conn.ReadBytes(buffer, size);
        if (n > 0) {
            fromDevice += n;
            lastReadNs = clock.nsecsElapsed();
        }
        return n;
    }
    void WriteBytes(const QByteArray &bytes) override
    {
        m_conn.WriteBytes(bytes);
        toDevice += bytes.size();
        if (bytes.size() == PageSize + 3) {
            const qint64 reaction = clock.nsecsElapsed() - lastReadNs;
            reactionNs += reaction;
            worstReactionNs = qMax(worstReactionNs, reaction);
            ++frames;
        }
    }
    void SendCommand(const QByteArray &text) override
    {
        m_conn.SendCommand(text);
        toDevice += text.size();
    }
    void UpdateConnectionStatus() override { m_conn.UpdateConnectionStatus(); }
    bool ReopenAfterUpdate(bool identify) override { return m_conn.ReopenAfterUpdate(identify); }
    void ForgetIdentification() override { m_conn.ForgetIdentification(); }
    void ShowInTerminal(const QByteArray &text) override { m_conn.ShowInTerminal(text); }

private:
    BootPort &m_conn;
};

class BenchSettings : public SettingsStore {
public:
    ToolSettings settings;
    ToolSettings &Settings() override { return settings; }
    void WriteSettings() override {}
};

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QApplication> app(argc, argv, "firmware_upload");
    if (!app.IsValid())
        return 2;
    ModalGuard guard("firmware_upload");

    QTemporaryDir dir;
    // The image and its HEX file of 16-byte records, made as the tests make them.
    const QByteArray image = hexfix::Pattern(0, ImageBytes, 7);
    const QString hexPath = dir.filePath(QStringLiteral("full.hex"));
    const QString writtenPath = dir.filePath(QStringLiteral("written.bin"));
    {
        QFile hex(hexPath);
        if (!hex.open(QIODevice::WriteOnly) || hex.write(hexfix::HexText({{0, image}})) < 0) {
            std::printf("firmware_upload: FAIL (cannot write %s)\n", qPrintable(hexPath));
            return 1;
        }
    }

    std::printf("firmware_upload: %u bytes (highest address %u) in pages of %d at %d bit/s "
                "(load average %s)\n",
                ImageBytes, ImageBytes - 1, PageSize, LineRate, qPrintable(LoadAverage()));
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH),
                    {QStringLiteral("--no-tcp"), QStringLiteral("--page-size"),
                     QString::number(PageSize), QStringLiteral("--line-rate"),
                     QString::number(LineRate), QStringLiteral("--image"), writtenPath});
    std::printf("firmware_upload: %s\n", qPrintable(sim.Banner()));
    if (sim.ComPort() <= 0) {
        std::printf("firmware_upload: FAIL (the simulator did not start)\n");
        return 1;
    }

    ToolSettings tool;
    BenchUser user("firmware_upload");
    DeviceConnection connection(tool, user);
    connection.VaComm().SetPortNum(sim.ComPort());
    CountingPort port(connection);
    BenchSettings settings;
    settings.settings.BootFile = hexPath;
    settings.settings.UploadSpeed = 3; // 115200: entered by the reset command
    TUploadForm form(port, settings, nullptr);

    QEventLoop loop;
    bool closed = false;
    QObject::connect(&form, &QDialog::finished, &loop, [&] {
        closed = true;
        loop.quit();
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);

    form.show();
    // Start once the showing's activation has opened the port.
    QTimer::singleShot(0, &form, [&] {
        if (!port.PortOpen()) {
            std::printf("firmware_upload: FAIL (the dialog did not open the port)\n");
            loop.quit();
            return;
        }
        port.clock.start();
        form.findChild<QPushButton *>(QStringLiteral("StartUploadButton"))->click();
    });
    giveUp.start(GiveUpMs);
    loop.exec();

    const double wallMs = double(port.lastReadNs) / 1e6;
    const qint64 wireBytes = port.toDevice + port.fromDevice;
    const double lineMs = double(wireBytes) * BitsPerByte * 1000.0 / LineRate;
    const double fixedMs = SimBootLoader::EraseMs;
    const double limitMs = Allowance * lineMs + fixedMs;
    const int pages = int((ImageBytes - 1) / PageSize) + 1;

    QFile written(writtenPath);
    const bool imageOk = written.open(QIODevice::ReadOnly) && written.readAll() == image;

    std::printf("firmware_upload: %d pages; %lld bytes to the device, %lld from it\n", pages,
                port.toDevice, port.fromDevice);
    std::printf("firmware_upload: the dialog said: %s\n",
                qPrintable(form.MessageLines().value(form.MessageLines().size() - 1)));
    std::printf("firmware_upload: simulator's fixed pauses: erase %d ms; the second \"reset\" "
                "starts the boot loader at once (the %d ms reset pause applies to a single reset "
                "only)\n",
                SimBootLoader::EraseMs, SimServer::ResetWindowMs);
    std::printf("firmware_upload: wall %.1f ms (Start to the finish byte), line %.1f ms, "
                "fixed %.0f ms\n",
                wallMs, lineMs, fixedMs);
    std::printf("firmware_upload: beyond line and pauses %.1f ms, %.3f ms per page\n",
                wallMs - lineMs - fixedMs, (wallMs - lineMs - fixedMs) / pages);
    if (port.frames > 0)
        std::printf("firmware_upload: the tool's own share: page request to frame written %.1f us "
                    "on average, %.1f us at most (%d frames); the rest is the simulator's timers "
                    "and the pseudo-terminal\n",
                    double(port.reactionNs) / port.frames / 1e3, double(port.worstReactionNs) / 1e3,
                    port.frames);
    const bool timely = wallMs <= limitMs;
    const bool pass = closed && imageOk && timely && user.told.isEmpty() && !guard.Seen();
    if (!user.told.isEmpty())
        std::printf("firmware_upload: the connection said: %s\n", qPrintable(user.told.join(" | ")));
    std::printf("firmware_upload: %s (wall <= %.2f x line + fixed = %.1f ms: %s, image written "
                "exactly: %s, dialog closed by the boot loader: %s)\n",
                pass ? "PASS" : "FAIL", Allowance, limitMs, timely ? "yes" : "no",
                imageOk ? "yes" : "no", closed ? "yes" : "no");
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
