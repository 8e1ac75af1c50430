#pragma once

#include <QByteArray>

// One part of the device identification shown in the status bar.
struct IdentPart {
    QByteArray text; // what the status bar shows
    bool store;      // the text is the device's own and is kept
};

// What stands for a part the device's answer did not hold.
inline constexpr char UnknownIdentPart[] = "?????";

// Takes the 5 characters that start `offset` characters after `word` in the
// device's answer (fewer when the answer ends sooner; none is not stored).
// "fffff" in any case means the device has no value: "FFFFF", not stored. A
// missing word gives UnknownIdentPart.
IdentPart ParseIdentPart(const QByteArray &reply, const char *word, int offset);

// The device gave no real serial number: none was read, or its answer held
// none (UnknownIdentPart). Such a device cannot be told from any other.
bool NoRealSerialNumber(const QByteArray &serial);
