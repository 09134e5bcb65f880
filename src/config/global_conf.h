#pragma once
// The global settings read once from MURVIK3.INI before anything else starts.
#include <cstdint>
#include <string>

namespace murvik {

class TGlobalConf {
 public:
  static constexpr std::int32_t kDefaultMtu = 1400;
  static constexpr const char* kDefaultLoginServer = "127.0.0.1";
  static constexpr const char* kDefaultCloudApiHost = "127.0.0.1";

  // Reads the settings file (lines name=value); a missing file keeps the defaults.
  // Answers false with errorText when a value is present but unusable (the default is kept).
  bool Load(const std::string& iniPath, std::string* errorText = nullptr);
  // Parses settings text directly (tests).
  bool LoadText(const std::string& text, std::string* errorText = nullptr);

  std::int32_t MTU = kDefaultMtu;                         // always 128..1400
  std::string defaultLoginServer = kDefaultLoginServer;   // LOGINSERVER=
  std::string cloudApiHost = kDefaultCloudApiHost;        // CLOUDHOST=
  std::string caFile;                                     // CAFILE= (private CA for HTTPS)
};

TGlobalConf& GlobalConf();

}  // namespace murvik
