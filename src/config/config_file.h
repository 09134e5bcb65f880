#pragma once
// The configuration file: every module's record, the group list, the open list and the
// auto-connect option, as UTF-16 XML. The same bytes travel to and from the cloud account.
#include <string>
#include <vector>

namespace murvik {

class TClientMgr;

// What the main window keeps in the file beside the modules.
struct TMainWindowState {
  bool AUTOCONNECT = false;
  std::vector<std::string> groupList;
  std::vector<std::string> openList;  // module serial numbers of the open frames, in frame order
};

struct ConfigLoadResult {
  enum Status { Loaded, Missing, Failed } status = Failed;
  std::string error;              // why it failed
  bool unsupportedModel = false;  // an old MODEL code this version cannot create; error is the user text
};

// The user text for an old MODEL code that no model of this version stands for.
inline constexpr const char* kUnsupportedModelText = "不支持的型号，请示其他版本MURVIK";

// All or nothing: on success the manager's sessions and the state are replaced; on Missing or
// Failed both are left as they were. A failed load of a path is remembered, so the next save to
// that path keeps the broken file as "<path>.bad" first.
ConfigLoadResult LoadConfigFile(const std::string& path, TClientMgr& mgr, TMainWindowState& state);
ConfigLoadResult LoadConfigBytes(const std::string& bytes, TClientMgr& mgr, TMainWindowState& state);

// Writes the file atomically (mode 0600: it holds passwords). On failure the old file is intact
// and error says why. info, when given, tells about a broken file that was kept aside.
bool SaveConfigFile(const std::string& path, const TClientMgr& mgr, const TMainWindowState& state,
                    std::string* error, std::string* info = nullptr);
// The file's bytes: UTF-16LE with a byte-order mark.
std::string SaveConfigBytes(const TClientMgr& mgr, const TMainWindowState& state);

std::string ConfigFilePath();    // <config dir>/MURVIK3.xml
std::string SettingsFilePath();  // <config dir>/MURVIK3.INI

}  // namespace murvik
