#include "ppi_station.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace murvik::sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSd1 = 0x10;
constexpr std::uint8_t kSd2 = 0x68;
constexpr std::uint8_t kSc = 0xE5;   // short acknowledgement
constexpr std::uint8_t kSd4 = 0xDC;  // token
constexpr std::uint8_t kEnd = 0x16;
constexpr int kDefaultAddress = 2;
constexpr int kMaxAddress = 126;

// 8-bit sum: the FCS of SD1 (over DA, SA, FC) and of SD2 (over DA to the last data byte).
std::uint8_t Fcs(const std::uint8_t* data, std::size_t size) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return sum;
}

// 68 LE LE 68 DA SA FC data FCS 16, data at most 252 bytes.
Bytes Sd2(std::uint8_t da, std::uint8_t sa, std::uint8_t fc, const Bytes& data) {
  const auto le = static_cast<std::uint8_t>(3 + data.size());
  Bytes f(data.size() + 9);
  f[0] = f[3] = kSd2;
  f[1] = f[2] = le;
  f[4] = da;
  f[5] = sa;
  f[6] = fc;
  std::copy(data.begin(), data.end(), f.begin() + 7);
  f[f.size() - 2] = Fcs(f.data() + 4, le);
  f[f.size() - 1] = kEnd;
  return f;
}

// 10 DA SA FC FCS 16.
Bytes Sd1(std::uint8_t da, std::uint8_t sa, std::uint8_t fc) {
  Bytes f = {kSd1, da, sa, fc};
  f.push_back(Fcs(f.data() + 1, 3));
  f.push_back(kEnd);
  return f;
}

constexpr std::uint8_t kRequest = 0x40;    // FC bit: a request from a master
constexpr std::uint8_t kFdlStatus = 0x09;  // FC function: request FDL status
constexpr std::uint8_t kSrdLow = 0x0C;     // FC function: send and request data (the poll)
constexpr std::uint8_t kSrdHigh = 0x0D;
constexpr std::uint8_t kSlaveOk = 0x00;  // FC of the FDL status reply: a slave, ready
constexpr std::uint8_t kDataLow = 0x08;  // FC of a response carrying data
constexpr std::size_t kMaxPdu = 240;     // the S7-200's PDU size on PPI

constexpr std::uint8_t kS7 = 0x32;
constexpr std::uint8_t kJob = 1, kAckData = 3, kUserData = 7;
constexpr std::uint8_t kReadVar = 0x04, kWriteVar = 0x05, kSetupCommunication = 0xF0;
constexpr std::uint8_t kItemOk = 0xFF, kItemOutOfRange = 0x05, kItemTypeUnsupported = 0x06, kItemNotAvailable = 0x0A;
// Error class and code of an ack-data header.
constexpr std::uint16_t kErrorContext = 0x8104;  // the parameter names nothing the station does
constexpr std::uint16_t kErrorPduSize = 0x8500;  // the response would not fit the PDU

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
void PutBe16(Bytes& b, std::size_t at, std::size_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

std::string Hex16(const std::uint8_t* p) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X%02X", p[0], p[1]);
  return text;
}

// Bytes per element of an S7 ANY pointer's transport size; 0 for one the station does not serve.
std::size_t ElementSize(std::uint8_t transportSize) {
  switch (transportSize) {
    case 0x01:
    case 0x02:
    case 0x03:
      return 1;  // BIT, BYTE, CHAR
    case 0x04:
    case 0x05:
      return 2;  // WORD, INT
    case 0x06:
    case 0x07:
    case 0x08:
      return 4;  // DWORD, DINT, REAL
    default:
      return 0;
  }
}

// Read var: one data item per requested item (12-byte ANY pointers 12 0A 10 ...), the parameter
// holding exactly `items` of them. The values are a fixed pattern, so a reader can check where
// they came from: the byte at address A reads as the low byte of A, a bit as that bit of its byte.
bool ReadVar(const std::uint8_t* param, std::size_t parLen, Bytes& outParam, Bytes& outData) {
  const std::size_t items = parLen >= 2 ? param[1] : 0;
  if (parLen != 2 + 12 * items) return false;
  outParam = {kReadVar, static_cast<std::uint8_t>(items)};
  for (std::size_t i = 0; i < items; ++i) {
    const std::uint8_t* item = param + 2 + 12 * i;
    const std::size_t size = item[0] == 0x12 && item[1] == 0x0A && item[2] == 0x10 ? ElementSize(item[3]) : 0;
    const std::size_t bytes = size * Be16(item + 4);
    const std::uint32_t bitAddress = (item[9] << 16) | (item[10] << 8) | item[11];
    const std::uint32_t byteAddress = bitAddress >> 3;
    if (!outData.empty() && outData.size() % 2 != 0) outData.push_back(0x00);  // items start even
    std::uint8_t code = kItemOk;
    if (size == 0)
      code = kItemTypeUnsupported;
    else if (bytes == 0 || 12 + outParam.size() + outData.size() + 4 + bytes > kMaxPdu)
      code = kItemOutOfRange;
    if (code != kItemOk) {
      outData.insert(outData.end(), {code, 0x00, 0x00, 0x00});
      continue;
    }
    const bool bit = item[3] == 0x01;
    const std::size_t length = bit ? bytes : bytes * 8;  // in bits
    outData.insert(outData.end(), {kItemOk, static_cast<std::uint8_t>(bit ? 0x03 : 0x04),
                                   static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
    for (std::size_t k = 0; k < bytes; ++k)
      outData.push_back(static_cast<std::uint8_t>(bit ? (byteAddress >> (bitAddress & 7)) & 1 : byteAddress + k));
  }
  return true;
}

class PpiStation : public SerialDevice {
 public:
  explicit PpiStation(int address) : address_(static_cast<std::uint8_t>(address)) {}

  const char* Kind() const override { return "ppi"; }
  void FromPc(const std::uint8_t* data, std::size_t size, const LineSettings& line) override;
  void OnConfigured(std::uint16_t plcType) override { modulePolls_ = plcType == 2; }
  nlohmann::ordered_json Stats() const override;
  nlohmann::ordered_json TakeRecordFields() override;

 private:
  // Answers one whole frame addressed to this station; `what` says what was done.
  void OnSd1(const std::uint8_t* f, std::string& what);
  void OnSd2(const std::uint8_t* f, std::size_t size, std::string& what);
  // The response PDU to a request's S7 PDU, or empty when it has none.
  Bytes Respond(const std::uint8_t* pdu, std::size_t size, std::string& what);
  void Emit(const Bytes& frame) { EmitBytes(frame.data(), frame.size()); }

  std::uint8_t address_;
  bool modulePolls_ = false;
  Bytes pending_;                                                    // the SD2 response the next poll collects
  nlohmann::ordered_json record_ = nlohmann::ordered_json::array();  // per frame of the last burst

  struct Counters {
    std::uint64_t frames = 0, fdlStatus = 0, jobs = 0, userData = 0, otherPdus = 0, polls = 0, responses = 0,
                  shortAcks = 0, modulePolls = 0, otherStation = 0, ignored = 0, tooShort = 0, badFcs = 0,
                  badFrames = 0;
  } count_;
};

}  // namespace

bool ParsePpiKind(const std::string& kind, int& address) {
  if (kind == "ppi") {
    address = kDefaultAddress;
    return true;
  }
  if (kind.rfind("ppi:", 0) != 0 || kind.size() < 5 || kind.size() > 7) return false;
  int value = 0;
  for (std::size_t i = 4; i < kind.size(); ++i) {
    if (kind[i] < '0' || kind[i] > '9') return false;
    value = value * 10 + (kind[i] - '0');
  }
  if (value > kMaxAddress) return false;
  address = value;
  return true;
}

void PpiStation::FromPc(const std::uint8_t* d, std::size_t n, const LineSettings&) {
  std::size_t at = 0;
  while (at < n) {
    const std::uint8_t* f = d + at;
    const std::size_t left = n - at;
    std::string what;
    std::size_t size = 0;  // of the frame at `at`; 0 ends the burst
    if (f[0] == kSd1) {
      if (left < 6) {
        ++count_.tooShort;
        what = "short SD1";
      } else if (f[5] != kEnd) {
        ++count_.badFrames;
        what = "bad SD1 end";
      } else {
        size = 6;
        if (f[4] != Fcs(f + 1, 3)) {
          ++count_.badFcs;
          what = "bad FCS";
        } else if (f[1] != address_) {
          ++count_.otherStation;
          what = "for station " + std::to_string(f[1]);
        } else {
          OnSd1(f, what);
        }
      }
    } else if (f[0] == kSd2) {
      const std::size_t le = left >= 2 ? f[1] : 0;
      if (left < 4 || le < 4 || left < le + 6) {  // LE covers DA, SA, FC and data
        ++count_.tooShort;
        what = "short SD2";
      } else if (f[2] != f[1] || f[3] != kSd2 || f[le + 5] != kEnd) {
        ++count_.badFrames;
        what = "bad SD2 framing";
      } else {
        size = le + 6;
        if (f[le + 4] != Fcs(f + 4, le)) {
          ++count_.badFcs;
          what = "bad FCS";
        } else if (f[4] != address_) {
          ++count_.otherStation;
          what = "for station " + std::to_string(f[4]);
        } else {
          OnSd2(f, size, what);
        }
      }
    } else if (f[0] == kSd4) {
      if (left < 3) {
        ++count_.tooShort;
        what = "short token";
      } else {
        size = 3;  // a master passing the token: nothing for a slave
        ++count_.ignored;
        what = "token";
      }
    } else if (f[0] == kSc) {
      size = 1;
      ++count_.ignored;
      what = "E5";
    } else {
      ++count_.badFrames;
      what = "no start delimiter";
    }
    if (size > 0) ++count_.frames;
    record_.push_back(what);
    if (size == 0) return;  // the rest of the burst cannot be framed
    at += size;
  }
}

void PpiStation::OnSd1(const std::uint8_t* f, std::string& what) {
  const std::uint8_t fc = f[3];
  const std::uint8_t master = f[2];
  if ((fc & kRequest) == 0) {
    ++count_.ignored;
    what = "SD1 response";
  } else if ((fc & 0x0F) == kFdlStatus) {
    ++count_.fdlStatus;
    Emit(Sd1(master, address_, kSlaveOk));
    what = "FDL status";
  } else if ((fc & 0x0F) == kSrdLow || (fc & 0x0F) == kSrdHigh) {
    ++count_.polls;
    if (!pending_.empty()) {
      ++count_.responses;
      Emit(pending_);
      pending_.clear();
      what = "poll -> response";
    } else {
      ++count_.shortAcks;
      Emit({kSc});
      what = "poll -> E5";
    }
  } else {
    ++count_.ignored;
    what = "SD1 FC " + std::to_string(fc);
  }
}

void PpiStation::OnSd2(const std::uint8_t* f, std::size_t size, std::string& what) {
  const std::uint8_t fc = f[6];
  const std::uint8_t master = f[5];
  if ((fc & kRequest) == 0) {
    ++count_.ignored;
    what = "SD2 response";
    return;
  }
  // A new request supersedes a response not yet collected.
  pending_.clear();
  const Bytes pdu = Respond(f + 7, size - 9, what);
  ++count_.shortAcks;
  Emit({kSc});
  if (pdu.empty()) return;
  pending_ = Sd2(master, address_, kDataLow, pdu);
  if (!modulePolls_) return;
  // The module's part of the assistance (PlcType 2): it polls at once and passes the response on.
  ++count_.modulePolls;
  ++count_.responses;
  Emit(pending_);
  pending_.clear();
  what += ", module poll -> response";
}

Bytes PpiStation::Respond(const std::uint8_t* pdu, std::size_t size, std::string& what) {
  what = "SD2 -> E5";
  // A job or user data header is 10 bytes: 32 ROSCTR 00 00 REF REF PARLEN DATALEN.
  if (size < 10 || pdu[0] != kS7 || 10u + Be16(pdu + 6) + Be16(pdu + 8) > size ||
      (pdu[1] != kJob && pdu[1] != kUserData)) {
    ++count_.otherPdus;
    return {};
  }
  const std::uint8_t* param = pdu + 10;
  const std::size_t parLen = Be16(pdu + 6);
  Bytes outParam, outData;
  Bytes out = {kS7, pdu[1], pdu[2], pdu[3], pdu[4], pdu[5], 0, 0, 0, 0};  // the request's reference
  if (pdu[1] == kJob) {
    ++count_.jobs;
    what = "job ref=" + Hex16(pdu + 4) + " -> E5";
    out[1] = kAckData;
    std::uint16_t error = 0;
    if (parLen == 0) {
      error = kErrorContext;
    } else if (param[0] == kReadVar) {
      if (!ReadVar(param, parLen, outParam, outData)) error = kErrorContext;
    } else if (param[0] == kWriteVar) {
      const std::uint8_t items = parLen >= 2 ? param[1] : 0;
      outParam = {kWriteVar, items};
      outData.assign(items, kItemOk);
    } else {
      outParam.assign(param, param + parLen);  // setup communication and the rest: echoed
      if (param[0] == kSetupCommunication && parLen >= 8 && Be16(param + 6) > kMaxPdu) PutBe16(outParam, 6, kMaxPdu);
    }
    if (error == 0 && 12 + outParam.size() + outData.size() > kMaxPdu) error = kErrorPduSize;
    if (error != 0) {
      outParam.clear();
      outData.clear();
    }
    out.insert(out.end(), {static_cast<std::uint8_t>(error >> 8), static_cast<std::uint8_t>(error)});
  } else {
    ++count_.userData;
    what = "user data ref=" + Hex16(pdu + 4) + " -> E5";
    // Parameter head 00 01 12 LEN 11 TYPE|GROUP SUB SEQ; the response's is 00 01 12 08 12
    // 8|GROUP SUB SEQ, data unit 00, last 00, error 00 00, and its one data item says that the
    // station has no such object.
    const std::uint8_t group = parLen >= 6 ? static_cast<std::uint8_t>(param[5] & 0x0F) : 0;
    const std::uint8_t sub = parLen >= 7 ? param[6] : 0;
    const std::uint8_t seq = parLen >= 8 ? param[7] : 0;
    outParam = {0x00, 0x01, 0x12, 0x08, 0x12, static_cast<std::uint8_t>(0x80 | group), sub, seq, 0, 0, 0, 0};
    outData = {kItemNotAvailable, 0x00, 0x00, 0x00};
  }
  PutBe16(out, 6, outParam.size());
  PutBe16(out, 8, outData.size());
  out.insert(out.end(), outParam.begin(), outParam.end());
  out.insert(out.end(), outData.begin(), outData.end());
  return out;
}

nlohmann::ordered_json PpiStation::Stats() const {
  nlohmann::ordered_json j;
  j["station"] = address_;
  j["module_polls_on"] = modulePolls_;
  j["frames"] = count_.frames;
  j["fdl_status"] = count_.fdlStatus;
  j["jobs"] = count_.jobs;
  j["user_data"] = count_.userData;
  j["other_pdus"] = count_.otherPdus;
  j["polls"] = count_.polls;
  j["responses"] = count_.responses;
  j["short_acks"] = count_.shortAcks;
  j["module_polls"] = count_.modulePolls;
  j["response_pending"] = !pending_.empty();
  j["other_station"] = count_.otherStation;
  j["ignored"] = count_.ignored;
  j["too_short"] = count_.tooShort;
  j["bad_fcs"] = count_.badFcs;
  j["bad_frames"] = count_.badFrames;
  return j;
}

nlohmann::ordered_json PpiStation::TakeRecordFields() {
  nlohmann::ordered_json j;
  j["ppi"] = std::move(record_);
  record_ = nlohmann::ordered_json::array();
  return j;
}

std::unique_ptr<SerialDevice> MakePpiStation(int address) { return std::make_unique<PpiStation>(address); }

}  // namespace murvik::sim
