#include "recorder.h"

#include <nlohmann/json.hpp>

#include "packets.h"
#include "platform/poll_loop.h"

namespace murvik::sim {

std::string PeerText(const platform::SockAddrV4& peer) {
  return platform::Ipv4ToText(peer.addr) + ":" + std::to_string(peer.port);
}

Recorder::~Recorder() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Recorder::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "w");
  startMs_ = platform::MonotonicMs();
  return file_ != nullptr;
}

void Recorder::Write(const char* dir, const char* server, const platform::SockAddrV4& peer, const std::uint8_t* data,
                     std::size_t size, const RecordFlags& flags) {
  if (file_ == nullptr) return;
  nlohmann::ordered_json j;
  j["t_ms"] = platform::MonotonicMs() - startMs_;
  j["dir"] = dir;
  j["server"] = server;
  j["peer"] = PeerText(peer);
  if (auto h = ReadHead(data, size)) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", h->command);
    j["cmd"] = code;
    j["name"] = CommandName(h->command);
    j["seq"] = h->seq;
    j["sid"] = h->sid;
  }
  j["len"] = size;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[data[i] >> 4];
    hex += kHex[data[i] & 15];
  }
  j["hex"] = hex;
  if (flags.dropped) j["dropped"] = true;
  if (flags.bad) j["bad"] = true;
  if (!flags.note.empty()) j["note"] = flags.note;
  if (flags.fields.is_object()) j.update(flags.fields);
  std::string line = j.dump();
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

void Recorder::WriteNote(const char* dir, const nlohmann::ordered_json& fields) {
  if (file_ == nullptr) return;
  nlohmann::ordered_json j;
  j["t_ms"] = platform::MonotonicMs() - startMs_;
  j["dir"] = dir;
  if (fields.is_object()) j.update(fields);
  std::string line = j.dump();
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace murvik::sim
