#pragma once

#include <QByteArray>

#include <optional>

// Dotted IPv4 addresses by the classic socket-library rules: one to four
// parts separated by '.', each decimal, octal after a leading 0 or
// hexadecimal after 0x/0X. The last part fills all the octets that are left
// (10.1 is 10.0.0.1), earlier parts one octet each. Nothing else is allowed:
// no blanks, no signs, no empty parts. Values hold the first octet in their
// highest byte.
std::optional<quint32> ParseIpAddress(const QByteArray &text);

// The parse with the classic failure value: all 32 bits set, which is also
// the value of 255.255.255.255 itself.
quint32 ParseIpAddressOrAllOnes(const QByteArray &text);

// Four decimal octets without leading zeros.
QByteArray FormatIpAddress(quint32 value);
