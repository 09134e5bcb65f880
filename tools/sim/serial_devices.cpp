#include "serial_devices.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ppi_station.h"

namespace murvik::sim {

namespace {

class EchoDevice : public SerialDevice {
 public:
  const char* Kind() const override { return "echo"; }
  void FromPc(const std::uint8_t* data, std::size_t size, const LineSettings&) override { EmitBytes(data, size); }
};

class NullDevice : public SerialDevice {
 public:
  const char* Kind() const override { return "null"; }
  void FromPc(const std::uint8_t*, std::size_t, const LineSettings&) override {}
};

class PtyDevice : public SerialDevice {
 public:
  ~PtyDevice() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  bool Open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return Fail("pty", error);
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return Fail("ptsname", error);
    path_ = name;
    // Held open by us, so the master never sees a hang-up while no test has the slave open.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return Fail(name, error);
    termios t{};
    if (tcgetattr(slave_, &t) != 0) return Fail("tcgetattr", error);
    cfmakeraw(&t);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) return Fail("tcsetattr", error);
    return true;
  }

  const char* Kind() const override { return "pty"; }
  int Fd() const override { return master_; }
  std::string Path() const override { return path_; }

  void FromPc(const std::uint8_t* data, std::size_t size, const LineSettings&) override {
    while (size > 0) {
      ssize_t n = write(master_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        lostBytes += size;  // nobody reads the slave and its buffer is full
        return;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  void OnReadable() override {
    std::uint8_t buf[512];
    for (int i = 0; i < 64; ++i) {  // bounded, so the sockets are not starved
      ssize_t n = read(master_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      EmitBytes(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  bool Fail(const std::string& what, std::string& error) {
    error = what + ": " + std::strerror(errno);
    return false;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace

bool IsSerialDeviceKind(const std::string& kind) {
  int address = 0;
  return kind == "echo" || kind == "null" || kind == "pty" || ParsePpiKind(kind, address);
}

std::unique_ptr<SerialDevice> MakeSerialDevice(const std::string& kind, std::string& error) {
  if (kind == "echo") return std::make_unique<EchoDevice>();
  if (kind == "null") return std::make_unique<NullDevice>();
  if (kind == "pty") {
    auto pty = std::make_unique<PtyDevice>();
    if (!pty->Open(error)) return nullptr;
    return pty;
  }
  if (int address = 0; ParsePpiKind(kind, address)) return MakePpiStation(address);
  error = "unknown serial backend '" + kind + "'";
  return nullptr;
}

}  // namespace murvik::sim
