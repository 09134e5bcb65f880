// termios2 keeps any integer rate (14400, 56000, ...), which the classic termios cannot show.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

#include "platform/linux/serial_line_linux.h"
#include "platform/serial_pair.h"

namespace murvik::platform {

namespace {

struct RateCode {
  unsigned code;
  std::uint32_t rate;
};
constexpr RateCode kRates[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};

// The rate nobody sets: a reset to it makes every later setting a change of rate.
constexpr std::uint32_t kIdleRate = 50;

}  // namespace

bool SetSerialLine(int fd, const SerialLine& line) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= BOTHER | CREAD | CLOCAL;
  switch (line.byteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  if (line.parity == 1) t.c_cflag |= PARENB | PARODD;
  if (line.parity == 2) t.c_cflag |= PARENB;
  if (line.parity == 3) t.c_cflag |= PARENB | PARODD | CMSPAR;
  if (line.parity == 4) t.c_cflag |= PARENB | CMSPAR;
  if (line.stopBits != 0) t.c_cflag |= CSTOPB;
  t.c_cflag &= ~(CIBAUD);
  t.c_ispeed = t.c_ospeed = line.baud;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetSerialLine(int fd, SerialLine* out) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  unsigned code = t.c_cflag & CBAUD;
  std::uint32_t rate = t.c_ospeed;
  if (code != BOTHER) {
    for (const auto& r : kRates) {
      if (r.code == code) rate = r.rate;
    }
  }
  out->baud = rate;
  switch (t.c_cflag & CSIZE) {
    case CS5: out->byteSize = 5; break;
    case CS6: out->byteSize = 6; break;
    case CS7: out->byteSize = 7; break;
    default: out->byteSize = 8; break;
  }
  out->parity = 0;
  if (t.c_cflag & PARENB) {
    bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR) {
      out->parity = odd ? 3 : 4;
    } else {
      out->parity = odd ? 1 : 2;
    }
  }
  out->stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
  out->formatObserved = true;
  return true;
}

namespace linux_detail {

bool ResetPairTermios(int masterFd) {
  SerialLine idle;
  idle.baud = kIdleRate;
  return SetSerialLine(masterFd, idle);
}

}  // namespace linux_detail

}  // namespace murvik::platform
