#include "sim/core/SimLineSpeed.h"

#include <array>
#include <termios.h>
#include <utility>

namespace {

constexpr std::array<std::pair<speed_t, int>, 20> Speeds {{
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},         {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
}};

} // namespace

int TerminalBitRate(int fd)
{
    termios tio {};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
        return 0;
    const speed_t speed = ::cfgetospeed(&tio);
    for (const auto &[code, rate] : Speeds) {
        if (code == speed)
            return rate;
    }
    return 0;
}

bool SetTerminalBitRate(int fd, int bitsPerSecond)
{
    termios tio {};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
        return false;
    speed_t speed = B0;
    for (const auto &[code, rate] : Speeds) {
        if (rate <= bitsPerSecond)
            speed = code;
    }
    return ::cfsetspeed(&tio, speed) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
}
