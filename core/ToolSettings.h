#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

enum InterfaceKind { InterfaceSerial = 0, InterfaceNetwork = 1, InterfaceUsb = 2 };

// The tool's own settings, kept in "mirto.ini" in the start directory.
struct ToolSettings {
    int UserLevel = 0;
    bool Bootload = false;
    QString BootFile;
    int UploadSpeed = 0;
    QString ConfigFile;
    bool ConfigFileNamed = false;
    int InterfaceType = InterfaceSerial;
    char TypeRestriction = 'N';
};

// The user's configuration folder for the tool: $XDG_CONFIG_HOME/mirto
// (~/.config/mirto). The desktop menu starts the tool there.
QString ToolConfigFolder();

// "[UploadSpeed]" is the position of the speed choice: 0 to 3.
constexpr int MaxUploadSpeed = 3;
// A settings file is a few hundred bytes; no more than this is read of it.
constexpr qint64 MaxSettingsFileSize = 64 * 1024;

// The settings as the file carries them: with the port number, which the
// tool keeps in its serial port.
struct StoredSettings : ToolSettings {
    int PortNum = 0;
};

// Applies every line of a settings file onto `settings`, which holds the
// defaults: only what the file names changes. Keys are searched anywhere in a
// line while values are cut at fixed positions behind the key's length, as
// files written by earlier versions of the tool expect.
void ParseSettings(const QByteArray &fileText, StoredSettings &settings);

// The eight lines of a settings file, each ending in CR LF. `portEntry` is the
// selected entry of the port list (written only for the serial interface).
QByteArray FormatSettings(const ToolSettings &settings, const QString &portEntry);

using StatusSink = std::function<void(const QString &)>;

// Reads the file at `path` into `settings`; 0 when read, -1 when it cannot be
// opened. Progress lines go to `status`.
int ReadSettingsFile(const QString &path, StoredSettings &settings, const StatusSink &status);

// Replaces the file at `path` atomically; a failed write keeps the old file.
// Returns false (and reports "Unable to create ini-file") on failure.
bool WriteSettingsFile(const QString &path, const ToolSettings &settings,
                       const QString &portEntry, const StatusSink &status);
