#include "devices/vir_com.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "devices/vir_com_mgr.h"
#include "diagnostics/server_log.h"
#include "platform/paths.h"

namespace murvik {

namespace {

// The owner takes at most kChunk bytes per call (one COM_DATA). Reading more at once and handing
// it over in slices saves a wake-up, a read and a line query per slice when the program streams.
constexpr std::size_t kChunk = 512;
constexpr std::size_t kReadSize = 8 * kChunk;

}  // namespace

TVirCom::TVirCom(VirComPortRequest request, HiddenNameLookup lookup, std::string driverFolder)
    : request_(std::move(request)), lookup_(std::move(lookup)), driverFolder_(std::move(driverFolder)) {
  if (!lookup_) lookup_ = [](const std::string& com) { return VirComMgr().HiddenPortName(com); };
  if (driverFolder_.empty()) driverFolder_ = platform::DriverFolder();
  if (driverFolder_.back() != '/') driverFolder_ += '/';
}

TVirCom::~TVirCom() { Close(); }

bool TVirCom::Open() {
  std::string device = lookup_(request_.portName);
  if (device.size() < 5 || device.compare(0, 4, "CNCB") != 0) return false;
  char* end = nullptr;
  long index = std::strtol(device.c_str() + 4, &end, 10);
  if (end == device.c_str() + 4 || *end != '\0' || index < 0) return false;
  std::string state = platform::DriverStateDir();
  int n = static_cast<int>(index);
  std::string error;
  if (!end_.Take(state, n, &error)) {
    // After a reboot (or a killed holder) the first user brings the holder back.
    if (platform::PairHolderRunning(state, n)) {
      LogF(3, "TVirCom::%s: %s", device.c_str(), error.c_str());
      return false;
    }
    platform::StartDetached({driverFolder_ + "setupc", "hold", std::to_string(n)});
    for (int i = 0; i < 200 && !platform::PairHolderRunning(state, n); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!end_.Take(state, n, &error)) {
      LogF(3, "TVirCom::%s: %s", device.c_str(), error.c_str());
      return false;
    }
  }
  TakeLine();
  LogF(3, "m_BaudRate=%u, m_ByteSize=%d, m_Parity=%d, m_StopBits=%d\n", m_BaudRate.load(), m_ByteSize.load(),
       m_Parity.load(), m_StopBits.load());
  stop_.Clear();
  thread_ = std::thread([this] { ServiceLoop(); });
  return true;
}

void TVirCom::TakeLine() {
  platform::SerialLine line;
  if (!end_.Line(&line)) return;
  m_BaudRate = line.baud;
  m_ByteSize = line.formatObserved ? line.byteSize : request_.byteSize;
  m_Parity = line.formatObserved ? line.parity : request_.parity;
  m_StopBits = line.stopBits;
}

void TVirCom::ServiceLoop() {
  std::uint8_t buf[kReadSize];
  for (;;) {
    long n = end_.Read(buf, sizeof buf, stop_.Fd());
    if (n <= 0) return;
    TakeLine();
    for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += kChunk) {
      std::size_t size = std::min(kChunk, static_cast<std::size_t>(n) - at);
      LogF(3, "TVirCom::type=COM, Read data,length=%d", static_cast<int>(size));
      if (request_.receiver) request_.receiver(buf + at, size);
    }
  }
}

bool TVirCom::Write(const std::uint8_t* bytes, std::size_t count) {
  if (!end_.IsOpen()) return false;
  LogF(3, "TVirCom::type=COM, Write data,length=%d", static_cast<int>(count));
  return end_.Write(bytes, count) == static_cast<long>(count);
}

bool TVirCom::Close() {
  if (thread_.joinable()) {
    stop_.Signal();
    thread_.join();
  }
  end_.Release();
  return true;
}

wire::LineSettings TVirCom::Line() const {
  wire::LineSettings s;
  s.baudRate = m_BaudRate;
  s.byteSize = m_ByteSize;
  s.parity = m_Parity;
  s.stopBits = m_StopBits;
  return s;
}

std::unique_ptr<IVirComPort> MakeVirCom(const VirComPortRequest& request) { return std::make_unique<TVirCom>(request); }

}  // namespace murvik
