#pragma once
// The --record file: one JSON line per datagram received or sent, flushed at once so that a
// test can read it while the simulator runs.
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/net.h"

namespace murvik::sim {

struct RecordFlags {
  bool dropped = false;  // an injected drop: never reached the wire
  bool bad = false;      // failed the size check
  std::string note;      // why a received datagram was ignored
  nlohmann::ordered_json fields;  // what the handler read, e.g. a frame's line settings
};

class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  // dir is "rx" or "tx", server "login" or "relay".
  void Write(const char* dir, const char* server, const platform::SockAddrV4& peer, const std::uint8_t* data,
             std::size_t size, const RecordFlags& flags = {});
  // A line about something that is no datagram, e.g. a frame a port could not send.
  void WriteNote(const char* dir, const nlohmann::ordered_json& fields);

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t startMs_ = 0;
};

std::string PeerText(const platform::SockAddrV4& peer);

}  // namespace murvik::sim
