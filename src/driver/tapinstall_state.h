#pragma once
// The persistent record of the TAP adapters the adapter tool made: one entry per adapter with
// its instance id, GUID, description, component id and interface name. The tool writes it under
// its lock file; the device manager reads it for the list of adapters.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace murvik::driver {

inline constexpr char kTapComponentId[] = "tap0901";
inline constexpr char kAdapterDescription[] = "MURVIK3 Virtual Ethernet Adapter";
inline constexpr char kInterfacePrefix[] = "murvik";

struct AdapterRecord {
  std::string instanceId;      // ROOT\NET\0000
  std::string guid;            // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  std::string description;     // as find prints it
  std::string componentId;     // tap0901
  std::string connectionName;  // the Linux interface name
  bool disabled = false;
  bool operator==(const AdapterRecord&) const = default;
};

struct AdapterState {
  std::vector<AdapterRecord> adapters;  // ascending instance id

  // By instance id, ignoring case as instance ids do.
  AdapterRecord* Find(const std::string& instanceId);
  // Lowest free ROOT\NET\nnnn; empty when all 10000 are taken.
  std::string FreeInstanceId() const;
  // The base description, then " #2", " #3", ...: the lowest number no record carries.
  std::string FreeDescription() const;
  // Lowest free murvik<n> that no record holds and inUse does not claim (an interface of
  // someone else's must never be taken over).
  std::string FreeConnectionName(const std::function<bool(const std::string&)>& inUse) const;
};

// Description number n: the base text for 1, "<base> #n" after that.
std::string AdapterDescription(int n);
// A random GUID text in braces, upper-case hex; empty when the random source fails.
std::string NewAdapterGuid();

std::string AdapterStateToJson(const AdapterState& state);
// nullopt when the text is not a state record or a record is malformed (a bad interface name
// there would make the tool act on an interface it never made).
std::optional<AdapterState> AdapterStateFromJson(const std::string& text);

// The state file and its lock file in the driver state directory.
std::string AdapterStateFilePath();
std::string AdapterStateLockPath();
// An absent file is an empty state. A damaged one answers nullopt with errorText: starting
// empty would forget interfaces that still exist.
std::optional<AdapterState> LoadAdapterState(std::string* errorText);
bool SaveAdapterState(const AdapterState& state, std::string* errorText);

}  // namespace murvik::driver
