// driver/tapinstall: creates, lists, disables, enables and removes the virtual Ethernet adapters.
// Each adapter is a persistent TAP interface owned by the invoking user; the driver state keeps
// its instance id, GUID and description, which Linux has no place for.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "driver/tapinstall_state.h"
#include "platform/paths.h"
#include "platform/serial_pair.h"
#include "platform/tap.h"

namespace {

using murvik::driver::AdapterRecord;
using murvik::driver::AdapterState;
using murvik::driver::kTapComponentId;
namespace platform = murvik::platform;

const char kUsage[] =
    "Usage: tapinstall <command>\n"
    "  find tap0901                  list the adapters: instance id : description\n"
    "  install <inf file> tap0901    create an adapter (a persistent TAP interface, up)\n"
    "  remove @<instance id>         remove one adapter\n"
    "  remove tap0901                remove every adapter\n"
    "  disable @<instance id>        bring the adapter's interface down\n"
    "  enable @<instance id>         bring it up again\n"
    "  --help                        this text\n"
    "Changing adapters needs CAP_NET_ADMIN. The inf file is looked up in the current\n"
    "directory, then beside this program.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool IsComponentId(const std::string& s) { return Upper(s) == Upper(kTapComponentId); }

bool Save(const AdapterState& state) {
  std::string error;
  if (murvik::driver::SaveAdapterState(state, &error)) return true;
  std::fprintf(stderr, "tapinstall: cannot write %s: %s\n", murvik::driver::AdapterStateFilePath().c_str(),
               error.c_str());
  return false;
}

bool Bring(const AdapterRecord& a, bool up) {
  std::string error;
  if (platform::SetInterfaceUp(a.connectionName, up, &error)) return true;
  std::fprintf(stderr, "tapinstall: %s: %s\n", a.instanceId.c_str(), error.c_str());
  return false;
}

// After a reboot the recorded interfaces are gone: make them again, down when disabled. Those in
// skip are left alone (they are about to be removed).
void Restore(const AdapterState& state, const std::set<std::string>& skip) {
  bool netAdmin = platform::HasNetAdmin();
  for (const auto& a : state.adapters) {
    if (skip.count(a.instanceId) != 0 || platform::InterfaceExists(a.connectionName)) continue;
    if (!netAdmin) {
      std::fprintf(stderr, "tapinstall: warning: interface %s of %s is missing and cannot be re-created: %s\n",
                   a.connectionName.c_str(), a.instanceId.c_str(), platform::NetAdminMissingText().c_str());
      continue;
    }
    std::string error;
    if (!platform::CreatePersistentTap(a.connectionName, &error) ||
        !platform::SetInterfaceUp(a.connectionName, !a.disabled, &error))
      std::fprintf(stderr, "tapinstall: cannot re-create %s of %s: %s\n", a.connectionName.c_str(), a.instanceId.c_str(),
                   error.c_str());
  }
}

int Find(AdapterState& state) {
  Restore(state, {});
  int count = 0;
  for (const auto& a : state.adapters) {
    if (!IsComponentId(a.componentId)) continue;
    std::printf("%-28s: %s\n", a.instanceId.c_str(), a.description.c_str());
    ++count;
  }
  if (count == 0)
    std::printf("No matching devices found.\n");
  else
    std::printf("%d matching device(s) found.\n", count);
  return 0;
}

// The inf file names the component ids it provides ("ComponentId=tap0901" lines); a missing or
// foreign one is refused as an installer would refuse it.
bool InfProvides(const std::string& infName, std::string* errorText) {
  std::string path = infName;
  if (infName.find('/') == std::string::npos && !platform::FileExists(infName))
    path = platform::JoinPath(platform::ProgramDir(), infName);
  std::string text;
  if (!platform::ReadFile(path, &text)) {
    *errorText = "cannot read " + infName + " (looked in the current directory and in " + platform::ProgramDir() + ")";
    return false;
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (Upper(Trim(line.substr(0, eq))) == "COMPONENTID" && IsComponentId(Trim(line.substr(eq + 1)))) return true;
  }
  *errorText = path + " does not provide " + kTapComponentId;
  return false;
}

int Install(AdapterState& state, const std::string& infName) {
  std::string error;
  if (!InfProvides(infName, &error)) {
    std::fprintf(stderr, "tapinstall: %s\n", error.c_str());
    return 1;
  }
  Restore(state, {});
  AdapterRecord a;
  a.instanceId = state.FreeInstanceId();
  a.connectionName = state.FreeConnectionName([](const std::string& name) { return platform::InterfaceExists(name); });
  a.guid = murvik::driver::NewAdapterGuid();
  a.description = state.FreeDescription();
  a.componentId = kTapComponentId;
  if (a.instanceId.empty() || a.connectionName.empty()) {
    std::fputs("tapinstall: no free instance id or interface name left\n", stderr);
    return 1;
  }
  if (a.guid.empty()) {
    std::fputs("tapinstall: the random source failed, no GUID for the adapter\n", stderr);
    return 1;
  }
  if (!platform::CreatePersistentTap(a.connectionName, &error) || !platform::SetInterfaceUp(a.connectionName, true, &error)) {
    std::fprintf(stderr, "tapinstall: %s\n", error.c_str());
    platform::RemovePersistentTap(a.connectionName, nullptr);
    return 1;
  }
  state.adapters.push_back(a);
  std::sort(state.adapters.begin(), state.adapters.end(),
            [](const AdapterRecord& x, const AdapterRecord& y) { return x.instanceId < y.instanceId; });
  if (!Save(state)) {
    // An interface nobody recorded would never be found again.
    platform::RemovePersistentTap(a.connectionName, nullptr);
    return 1;
  }
  std::printf("%s : Installed as %s (%s)\n", a.instanceId.c_str(), a.connectionName.c_str(), a.description.c_str());
  std::printf("1 device(s) installed.\n");
  return 0;
}

int Remove(AdapterState& state, const std::string& target) {
  std::vector<std::string> ids;
  if (target.front() == '@') {
    AdapterRecord* a = state.Find(target.substr(1));
    if (a == nullptr) {
      std::fprintf(stderr, "tapinstall: no adapter %s\n", target.substr(1).c_str());
      std::printf("No devices were removed.\n");
      return 1;
    }
    ids.push_back(a->instanceId);
  } else {
    for (const auto& a : state.adapters) {
      if (IsComponentId(a.componentId)) ids.push_back(a.instanceId);
    }
  }
  Restore(state, std::set<std::string>(ids.begin(), ids.end()));
  int removed = 0;
  bool ok = true;
  for (const auto& id : ids) {
    AdapterRecord* a = state.Find(id);
    std::string error;
    if (!platform::RemovePersistentTap(a->connectionName, &error)) {
      std::fprintf(stderr, "tapinstall: %s: %s\n", id.c_str(), error.c_str());
      std::printf("%s : Remove failed\n", id.c_str());
      ok = false;
      continue;
    }
    std::erase_if(state.adapters, [&](const AdapterRecord& r) { return r.instanceId == id; });
    std::printf("%s : Removed\n", id.c_str());
    ++removed;
  }
  if (removed > 0 && !Save(state)) return 1;
  if (removed == 0)
    std::printf("No devices were removed.\n");
  else
    std::printf("%d device(s) were removed.\n", removed);
  return ok ? 0 : 1;
}

int SetEnabled(AdapterState& state, const std::string& target, bool enable) {
  Restore(state, {});
  AdapterRecord* a = state.Find(target.substr(1));
  if (a == nullptr) {
    std::fprintf(stderr, "tapinstall: no adapter %s\n", target.substr(1).c_str());
    std::printf("No devices were %s.\n", enable ? "enabled" : "disabled");
    return 1;
  }
  if (!Bring(*a, enable)) return 1;
  const bool was = a->disabled;
  a->disabled = !enable;
  if (!Save(state)) {
    if (was != a->disabled) Bring(*a, !enable);  // keep the interface as the record says
    return 1;
  }
  std::printf("%s : %s\n", a->instanceId.c_str(), enable ? "Enabled" : "Disabled");
  std::printf("1 device(s) %s.\n", enable ? "enabled" : "disabled");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string command = Upper(args[0]);
  // The shape of the command line first: a usage error touches nothing.
  auto instanceArg = [&] { return args.size() == 2 && args[1].size() > 1 && args[1][0] == '@'; };
  bool shapeOk = false;
  if (command == "FIND") shapeOk = args.size() == 2 && IsComponentId(args[1]);
  if (command == "INSTALL") shapeOk = args.size() == 3 && !args[1].empty() && IsComponentId(args[2]);
  if (command == "REMOVE") shapeOk = instanceArg() || (args.size() == 2 && IsComponentId(args[1]));
  if (command == "DISABLE" || command == "ENABLE") shapeOk = instanceArg();
  if (!shapeOk) {
    if (command != "FIND" && command != "INSTALL" && command != "REMOVE" && command != "DISABLE" && command != "ENABLE")
      std::fprintf(stderr, "tapinstall: unknown command %s\n", args[0].c_str());
    return Usage();
  }
  if (command != "FIND" && !platform::HasNetAdmin()) {
    std::fprintf(stderr, "tapinstall: %s\n", platform::NetAdminMissingText().c_str());
    return 1;
  }

  const std::string stateDir = platform::DriverStateDir();
  if (!platform::MakeDirs(stateDir)) {
    std::fprintf(stderr, "tapinstall: cannot create the driver state directory %s\n", stateDir.c_str());
    return 1;
  }
  platform::FileLock lock(murvik::driver::AdapterStateLockPath());
  if (!lock.Locked()) {
    std::fprintf(stderr, "tapinstall: cannot lock %s\n", murvik::driver::AdapterStateLockPath().c_str());
    return 1;
  }
  std::string error;
  auto state = murvik::driver::LoadAdapterState(&error);
  if (!state) {
    std::fprintf(stderr, "tapinstall: %s\n", error.c_str());
    return 1;
  }
  if (command == "FIND") return Find(*state);
  if (command == "INSTALL") return Install(*state, args[1]);
  if (command == "REMOVE") return Remove(*state, args[1]);
  return SetEnabled(*state, args[1], command == "ENABLE");
}
