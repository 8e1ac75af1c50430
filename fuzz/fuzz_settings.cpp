// The settings file reader, fed any text, and the writer behind it. Two sets
// of settings come from every input: the ones the reader makes of it, and
// ones the tool could hold, with the paths of files the user picked taken
// from its lines. Each is written to a file and read back, and must come back
// as it was.

#include "fuzz/FuzzCheck.h"
#include "core/ToolSettings.h"

#include <QFile>

#include <cstddef>
#include <cstdint>

namespace {

void CheckRanges(const StoredSettings &s)
{
    FUZZ_CHECK(s.UserLevel == 0 || s.UserLevel == 1);
    FUZZ_CHECK(s.UploadSpeed >= 0 && s.UploadSpeed <= MaxUploadSpeed);
    FUZZ_CHECK(s.PortNum >= 0 && s.PortNum <= 16);
    FUZZ_CHECK(s.InterfaceType == InterfaceSerial || s.InterfaceType == InterfaceNetwork
               || s.InterfaceType == InterfaceUsb);
    FUZZ_CHECK(s.TypeRestriction == 'N' || s.TypeRestriction == 'E');
}

void RoundTrip(const StoredSettings &written)
{
    // The main window writes the selected entry of the port list, "COMn", or
    // nothing when none is selected; other interfaces always store COM1.
    const QString portEntry = written.PortNum > 0 ? QStringLiteral("COM%1").arg(written.PortNum)
                                                  : QString();
    const QString path = fuzz::ScratchFile("mirto.ini");
    const auto quiet = [](const QString &) {};
    FUZZ_CHECK(WriteSettingsFile(path, written, portEntry, quiet));
    StoredSettings back;
    FUZZ_CHECK(ReadSettingsFile(path, back, quiet) == 0);
    CheckRanges(back);

    FUZZ_CHECK(back.PortNum == (written.InterfaceType == InterfaceSerial ? written.PortNum : 1));
    FUZZ_CHECK(back.UserLevel == written.UserLevel);
    FUZZ_CHECK(back.Bootload == written.Bootload);
    FUZZ_CHECK(back.BootFile == written.BootFile);
    FUZZ_CHECK(back.UploadSpeed == written.UploadSpeed);
    FUZZ_CHECK(back.ConfigFile == written.ConfigFile);
    // The writer always names a configuration file, an empty name included.
    FUZZ_CHECK(back.ConfigFileNamed);
    FUZZ_CHECK(back.InterfaceType == written.InterfaceType);
    FUZZ_CHECK(back.TypeRestriction == written.TypeRestriction);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    StoredSettings read;
    ParseSettings(text, read);
    CheckRanges(read);
    RoundTrip(read);

    // Settings the tool could hold: the first byte gives the choices, the
    // next two lines the paths, as the file system names them. A line end
    // in a path has no place in a file of lines and is left out here.
    if (size == 0)
        return 0;
    const std::uint8_t choices = data[0];
    StoredSettings held;
    held.UserLevel = choices & 1;
    held.Bootload = (choices >> 1) & 1;
    held.UploadSpeed = (choices >> 2) & 3;
    held.InterfaceType = ((choices >> 4) & 3) % 3;
    held.TypeRestriction = (choices >> 6) & 1 ? 'E' : 'N';
    held.PortNum = choices % 17;
    const QList<QByteArray> lines = text.mid(1).split('\n');
    held.BootFile = QFile::decodeName(lines.value(0));
    held.ConfigFile = QFile::decodeName(lines.value(1));
    RoundTrip(held);
    return 0;
}
