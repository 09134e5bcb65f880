#include "tunnel/ppi_assist.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "config/delimited_list.h"
#include "diagnostics/server_log.h"

namespace murvik {

namespace {

constexpr std::uint8_t kSd2 = 0x68;
constexpr std::uint8_t kSd1 = 0x10;
constexpr std::uint8_t kShortAck = 0xE5;
constexpr std::uint8_t kEnd = 0x16;
constexpr std::uint8_t kFdlStatus = 0x49;
constexpr std::size_t kSd2Min = 13;  // up to the PDU reference
constexpr std::size_t kSd1Size = 6;

// Items that are not whole decimal numbers (blank, "x", "2.5", out of range) are skipped rather
// than failing the whole table.
bool ToInteger(const std::string& item, int& value) {
  const char* first = item.data();
  const char* last = first + item.size();
  if (first == last) return false;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

std::string WithAsciiSemicolons(const std::string& text) {
  static constexpr std::string_view kFullWidth = "\xEF\xBC\x9B";  // U+FF1B
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, kFullWidth.size(), kFullWidth) == 0) {
      out.push_back(';');
      i += kFullWidth.size();
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

}  // namespace

void TPpiAssist::Build(const std::string& other, std::int32_t baudRate) {
  std::vector<int> numbers;
  for (const std::string& item : ReadDelimitedText(WithAsciiSemicolons(other), ';')) {
    if (numbers.size() >= kMaxNumbers) break;
    int value = 0;
    if (ToInteger(item, value)) numbers.push_back(value);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  stations_.fill(Station{});
  baudRate_ = baudRate;
  built_ = true;
  for (int address = 0; address < kStations; ++address) {
    for (int n : numbers)
      if (n == address) {
        stations_[static_cast<std::size_t>(address)].alive = true;
        break;
      }
    if (stations_[static_cast<std::size_t>(address)].alive)
      LogF(3, "STATION %d is alive, baud=%d", address, static_cast<int>(baudRate));
  }
}

void TPpiAssist::Discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  built_ = false;
  stations_.fill(Station{});
}

bool TPpiAssist::Built() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return built_;
}

bool TPpiAssist::Alive(int address) const {
  return built_ && address >= 0 && address < kStations && stations_[static_cast<std::size_t>(address)].alive;
}

template <typename F>
bool TPpiAssist::Read(int address, F field) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address < 0 || address >= kStations) return false;
  return field(stations_[static_cast<std::size_t>(address)]);
}

bool TPpiAssist::StationAlive(int address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Alive(address);
}
bool TPpiAssist::ResponseReady(int address) const {
  return Read(address, [](const Station& s) { return s.responseReady; });
}
bool TPpiAssist::NeedPoll(int address) const {
  return Read(address, [](const Station& s) { return s.needPoll; });
}
bool TPpiAssist::PollForwarded(int address) const {
  return Read(address, [](const Station& s) { return s.pollForwarded; });
}

void TPpiAssist::LocalChunk(const std::uint8_t* bytes, std::size_t count, const Io& io) {
  if (bytes == nullptr || count == 0) return;
  std::int32_t baudRate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!built_) return;
    baudRate = baudRate_;
  }
  // Software searching the bus at other baud rates must find nobody.
  if (static_cast<std::int64_t>(io.localBaud()) != static_cast<std::int64_t>(baudRate)) return;

  if (bytes[0] == kSd2)
    LocalSd2(bytes, count, io);
  else if (bytes[0] == kSd1)
    LocalSd1(bytes, count, io);
}

void TPpiAssist::LocalSd2(const std::uint8_t* bytes, std::size_t count, const Io& io) {
  if (count < kSd2Min) {
    LogF(3, "SD2 too short (%d bytes), dropped\r\n", static_cast<int>(count));
    return;
  }
  const int da = bytes[4];
  const std::uint8_t rosctr = bytes[8];
  const bool needPoll = rosctr == 1 || rosctr == 7;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Alive(da)) return;
    Station& s = stations_[static_cast<std::size_t>(da)];
    s.pduRef = {bytes[11], bytes[12]};
    s.pollForwarded = false;
    s.responseReady = false;  // a response not yet collected is superseded
    s.needPoll = needPoll;
  }
  if (needPoll)
    LogF(3, "SD2(ROSCTR=%#02X, PDU_REF=%#04X):need poll\r\n", static_cast<unsigned>(rosctr),
         static_cast<unsigned>(bytes[11] | (bytes[12] << 8)));
  else
    LogF(3, "SD2(ROSCTR=%#02X):need not poll\r\n", static_cast<unsigned>(rosctr));
  io.writeLocal(&kShortAck, 1);
  io.sendToModule(bytes, count);
}

void TPpiAssist::LocalSd1(const std::uint8_t* bytes, std::size_t count, const Io& io) {
  if (count < kSd1Size) {
    LogF(3, "SD1 too short (%d bytes), dropped\r\n", static_cast<int>(count));
    return;
  }
  const int da = bytes[1];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Alive(da)) return;
  }

  if (bytes[3] == kFdlStatus) {
    const std::uint8_t reply[kSd1Size] = {
        kSd1, bytes[1], bytes[2], 0x00, static_cast<std::uint8_t>(bytes[1] + bytes[2]), kEnd};
    io.writeLocal(reply, sizeof reply);
    Log(3, "SD1:FDL STATUS\r\n");
    return;
  }

  Log(3, "SD1: poll\r\n");
  // The response is copied out so the port is written with no lock held.
  std::uint8_t response[kMaxResponse];
  std::size_t responseLength = 0;
  bool respond = false;
  bool forward = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Alive(da)) return;
    Station& s = stations_[static_cast<std::size_t>(da)];
    if (s.responseReady) {
      s.responseReady = s.pollForwarded = s.needPoll = false;
      responseLength = s.responseLength;
      std::memcpy(response, s.response.data(), responseLength);
      respond = true;
    } else if (!s.needPoll && !s.pollForwarded) {
      // A response that the module returns unasked (ROSCTR 1 or 7) needs no poll; any other is
      // fetched by forwarding the first poll once.
      s.pollForwarded = true;
      s.responseReady = false;
      forward = true;
    }
  }

  if (respond) {
    io.writeLocal(response, responseLength);
    Log(3, "SD1: responsed\r\n");
    return;
  }
  io.writeLocal(&kShortAck, 1);
  Log(3, "SD1: auto response\r\n");
  if (!forward) return;
  io.sendToModule(bytes, count);
  Log(3, "SD1: send to plc\r\n");
}

void TPpiAssist::ModuleData(const std::uint8_t* bytes, std::size_t count, const Io& io) {
  (void)io;  // responses wait for the software's next poll
  // SD1 frames, short acknowledgements and anything else stay on the module side.
  if (bytes == nullptr || count == 0 || bytes[0] != kSd2) return;
  if (count < kSd2Min) {
    LogF(3, "SD2 too short (%d bytes), dropped\r\n", static_cast<int>(count));
    return;
  }
  const int sa = bytes[5];
  if (sa >= kStations || count > kMaxResponse) return;

  // The reference rewrite re-signs the frame, so a response damaged on the module's line must
  // be refused here or the software would take it as sound.
  std::uint8_t sum = 0;
  for (std::size_t i = 4; i + 2 < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  if (sum != bytes[count - 2]) {
    LogF(3, "SD2 response with bad FCS from station %d, dropped\r\n", sa);
    return;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (!built_) return;
  Station& s = stations_[static_cast<std::size_t>(sa)];
  std::memcpy(s.response.data(), bytes, count);
  if (bytes[8] != 1) {
    // The software matches the response to its request by its own PDU reference.
    s.response[11] = s.pduRef[0];
    s.response[12] = s.pduRef[1];
    std::uint8_t fcs = 0;
    for (std::size_t i = 4; i + 2 < count; ++i)  // bytes 4 to n - 3
      fcs = static_cast<std::uint8_t>(fcs + s.response[i]);
    s.response[count - 2] = fcs;
  }
  s.responseLength = static_cast<std::uint16_t>(count);
  s.responseReady = true;
}

}  // namespace murvik
