#pragma once
// Small items of a module's configuration record.
#include <cstdint>
#include <string>

namespace murvik {

// A named device behind a module's Ethernet port.
struct TNetDevice {
  std::string name;
  std::string description;
  std::uint32_t IP = 0;  // network byte order
};

// A relay server offered for a module; address is "host" or "host:port" as the login server's
// redirect names it.
struct TransServerItem {
  std::int32_t id = 0;
  std::string title;
  std::string note;
  std::string address;
  bool operator==(const TransServerItem&) const = default;
};

}  // namespace murvik
