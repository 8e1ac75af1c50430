#pragma once

#include <QByteArray>
#include <QString>

// A firmware image to try an update with: Intel HEX text of DemoImageBytes
// bytes of flash from address 0, records of 16 bytes with CR LF line ends,
// which the tool loads and the simulator's boot loader takes with either chip
// and any page size. Its flash starts with a line of text that names it, so
// that a written image shows what it is.
inline constexpr int DemoImageBytes = 16384;
QByteArray DemoImageFlash();
QByteArray DemoImageHex();

// Writes DemoImageHex() to `path` (replaced whole). False with the reason in
// `error` when it cannot.
bool WriteDemoImage(const QString &path, QString &error);
