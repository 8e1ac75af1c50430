#include "sim/core/SimDemoImage.h"

#include <QSaveFile>

namespace {

QByteArray Hex2(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    const char pair[2] = {digits[(value >> 4) & 0xF], digits[value & 0xF]};
    return QByteArray(pair, 2);
}

QByteArray DataRecord(quint16 address, const QByteArray &data)
{
    unsigned sum = unsigned(data.size()) + (address >> 8) + (address & 0xFF);
    QByteArray line = ":" + Hex2(unsigned(data.size())) + Hex2(address >> 8) + Hex2(address & 0xFF) + "00";
    for (const char c : data) {
        line += Hex2(quint8(c));
        sum += quint8(c);
    }
    return line + Hex2((256 - sum % 256) % 256) + "\r\n";
}

} // namespace

QByteArray DemoImageFlash()
{
    QByteArray flash = QByteArrayLiteral("Mirto demo firmware image, written by mirto-sim\r\n");
    // The rest changes from byte to byte, so that a page sent twice or out of
    // place shows in the written image.
    for (qsizetype a = flash.size(); a < DemoImageBytes; ++a)
        flash += char((a * 131 + (a >> 8) * 7 + 29) & 0xFF);
    return flash;
}

QByteArray DemoImageHex()
{
    const QByteArray flash = DemoImageFlash();
    QByteArray text;
    // The image stays below 64 KB: no extended address record is needed.
    static_assert(DemoImageBytes <= 0x10000);
    for (qsizetype a = 0; a < flash.size(); a += 16)
        text += DataRecord(quint16(a), flash.mid(a, 16));
    return text + ":00000001FF\r\n";
}

bool WriteDemoImage(const QString &path, QString &error)
{
    QSaveFile file(path);
    const QByteArray text = DemoImageHex();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
