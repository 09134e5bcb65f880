#include "devices/vir_com_mgr.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "driver/tapinstall_state.h"
#include "platform/paths.h"
#include "platform/tap.h"

namespace murvik {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The decimal number formed by the leading digits of s (0 when none): the way a plain
// conversion of "COM12" from its fourth character, or of "CNCA2" from its fifth, reads it.
int LeadingNumber(const std::string& s) {
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > 1000000) break;
  }
  return static_cast<int>(v);
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!cur.empty()) lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

SSerInfo ParsePortLine(const std::string& line) {
  SSerInfo info;
  std::string fields = ReplaceAll(ReplaceAll(line, " ", ","), "\t", ",");
  std::size_t pos = 0;
  while (pos <= fields.size()) {
    std::size_t comma = fields.find(',', pos);
    if (comma == std::string::npos) comma = fields.size();
    std::string field = fields.substr(pos, comma - pos);
    pos = comma + 1;
    if (field.empty()) continue;
    auto eq = field.find('=');
    if (eq != std::string::npos) {
      std::string name = Upper(field.substr(0, eq));
      std::string value = Upper(field.substr(eq + 1));
      if (name == "PORTNAME") info.PortName = value;
      if (name == "REALPORTNAME") info.RealPortName = value;
      continue;
    }
    bool a = field.find("CNCA") != std::string::npos;
    bool b = field.find("CNCB") != std::string::npos;
    if (!a && !b) continue;
    info.side = a ? 1 : 0;
    // A field that names a device but no number is no port at all.
    std::string digits = field.size() > 4 ? field.substr(4) : std::string();
    info.pairIndex = AllDigits(digits) ? LeadingNumber(digits) : -1;
  }
  return info;
}

std::string TrimBlanks(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

std::vector<SSerInfo> ParsePortList(const std::string& text) {
  std::vector<SSerInfo> out;
  for (const auto& line : SplitLines(text)) out.push_back(ParsePortLine(line));
  return out;
}

int ParseCreatedPairIndex(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return -1;
  std::size_t end = text.find_first_of(" \t\r\n", start);
  std::string token = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (token.find("CNCA") == std::string::npos || token.size() <= 4) return -1;
  std::string digits = token.substr(4);
  return AllDigits(digits) ? LeadingNumber(digits) : -1;
}

std::vector<ADAPTERINFO> ParseAdapterFind(const std::string& text) {
  std::vector<ADAPTERINFO> out;
  for (const auto& line : SplitLines(text)) {
    auto colon = line.find(':');
    if (colon == std::string::npos || line.find(':', colon + 1) != std::string::npos) continue;
    ADAPTERINFO a;
    a.PnpInstanceID = TrimBlanks(line.substr(0, colon));
    a.Description = TrimBlanks(line.substr(colon + 1));
    out.push_back(std::move(a));
  }
  return out;
}

CVirComMgr::CVirComMgr(std::string driverFolder, ToolRunner runner)
    : driverFolder_(std::move(driverFolder)), runner_(std::move(runner)) {
  if (!driverFolder_.empty() && driverFolder_.back() != '/') driverFolder_ += '/';
  setupcPrefix_ = driverFolder_ + "setupc ";
  tapinstallPrefix_ = driverFolder_ + "tapinstall ";
  if (!runner_) {
    runner_ = [](const std::string& commandLine) {
      std::string sink;
      return RunCommand(commandLine, sink, 10) ? sink : std::string();
    };
  }
  worker_ = std::thread([this] { WorkerLoop(); });
}

CVirComMgr::~CVirComMgr() {
  {
    std::lock_guard lock(jobMutex_);
    terminate_ = true;
  }
  jobCv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::string CVirComMgr::RunTool(const std::string& commandLine) { return runner_(commandLine); }

void CVirComMgr::RefreshPorts() {
  std::vector<SSerInfo> list = ParsePortList(RunTool(setupcPrefix_ + "LIST"));
  std::lock_guard lock(portsMutex_);
  ports_ = std::move(list);
}

std::vector<SSerInfo> CVirComMgr::Ports() const {
  std::lock_guard lock(portsMutex_);
  return ports_;
}

bool CVirComMgr::GetChoosablePorts(std::vector<SSerInfo>& out) {
  if (busy_) return false;
  out.clear();
  std::vector<int> numbers;
  std::lock_guard lock(portsMutex_);
  for (const auto& p : ports_) {
    if (p.side != 1 || p.PortName != "COM#" || p.RealPortName.find("COM") == std::string::npos) continue;
    int n = p.RealPortName.size() > 3 ? LeadingNumber(p.RealPortName.substr(3)) : 0;
    auto at = std::upper_bound(numbers.begin(), numbers.end(), n);  // equal numbers keep list order
    out.insert(out.begin() + (at - numbers.begin()), p);
    numbers.insert(at, n);
  }
  return true;
}

std::string CVirComMgr::HiddenPortName(const std::string& comName) {
  std::lock_guard lock(portsMutex_);
  for (const auto& p : ports_)
    if (p.RealPortName == comName) return "CNCB" + std::to_string(p.pairIndex);
  return std::string();
}

void CVirComMgr::RequestNewPort() {
  {
    std::lock_guard lock(jobMutex_);
    if (busy_) return;
    taskCode_ = 2;
    busy_ = true;
  }
  jobCv_.notify_all();
}

void CVirComMgr::SetNewPortWaitLimit(int attempts, int pauseMs) {
  std::lock_guard lock(jobMutex_);
  waitAttempts_ = attempts;
  waitPauseMs_ = pauseMs;
}

void CVirComMgr::CreatePortPair() {
  int index = ParseCreatedPairIndex(RunTool(setupcPrefix_ + "INSTALL PortName=COM# -"));
  SSerInfo found;
  if (index >= 0) {
    int attempts, pauseMs;
    {
      std::lock_guard lock(jobMutex_);
      attempts = waitAttempts_;
      pauseMs = waitPauseMs_;
    }
    bool ok = false;
    for (int i = 0; i < attempts && !ok; ++i) {
      RefreshPorts();
      {
        std::lock_guard lock(portsMutex_);
        for (const auto& p : ports_) {
          if (p.side == 1 && p.pairIndex == index && p.RealPortName.find("COM") != std::string::npos) {
            found = p;
            ok = true;
            break;
          }
        }
      }
      std::unique_lock lock(jobMutex_);
      if (jobCv_.wait_for(lock, std::chrono::milliseconds(pauseMs), [&] { return terminate_; })) return;
    }
    if (!ok) {
      // Without a limit a pair that never gets its COM name would keep the wizard waiting for good.
      LogF(3, "CVirComMgr: pair CNCA%d got no COM name after %d attempts\r\n", index, attempts);
      found = SSerInfo{};
    }
  }
  std::lock_guard lock(jobMutex_);
  newPort_ = found;
}

bool CVirComMgr::TakeNewPort(SSerInfo& out) {
  std::lock_guard lock(jobMutex_);
  if (newPort_.side != 1 || newPort_.pairIndex == -1 || newPort_.RealPortName.find("COM") == std::string::npos)
    return false;
  out = newPort_;
  newPort_ = SSerInfo{};
  return true;
}

void CVirComMgr::ChangePins(const std::string& comName, const char* options) {
  int index = -1;
  {
    std::lock_guard lock(portsMutex_);
    for (const auto& p : ports_) {
      if (p.RealPortName == comName) {
        index = p.pairIndex;
        break;
      }
    }
  }
  if (index < 0) return;
  char line[64];
  std::snprintf(line, sizeof line, " change CNCA%d %s", index, options);
  RunTool(setupcPrefix_ + line);
  std::snprintf(line, sizeof line, " change CNCB%d %s", index, options);
  RunTool(setupcPrefix_ + line);
}

void CVirComMgr::SetPinsOnOpen(const std::string& comName) { ChangePins(comName, "cts=lopen,dsr=lopen"); }
void CVirComMgr::RestorePins(const std::string& comName) { ChangePins(comName, "cts=rrts,dsr=rdtr"); }

void CVirComMgr::RefreshAdapters() {
  // The adapter tool's records are the adapters; its find output describes them.
  std::vector<ADAPTERINFO> list;
  std::string error;
  if (auto state = driver::LoadAdapterState(&error)) {
    for (const auto& r : state->adapters) {
      if (r.componentId == driver::kTapComponentId) list.push_back({"", r.guid, r.instanceId, r.connectionName});
    }
  } else {
    LogF(3, "CVirComMgr: %s\r\n", error.c_str());
  }
  for (const auto& line : ParseAdapterFind(RunTool(tapinstallPrefix_ + "find tap0901"))) {
    for (auto& a : list) {
      if (a.PnpInstanceID == line.PnpInstanceID) {
        a.Description = line.Description;
        break;
      }
    }
  }
  std::lock_guard lock(adaptersMutex_);
  adapters_ = std::move(list);
}

std::vector<ADAPTERINFO> CVirComMgr::Adapters() const {
  std::lock_guard lock(adaptersMutex_);
  return adapters_;
}

bool CVirComMgr::GetAdapters(std::vector<ADAPTERINFO>& out) {
  if (busy_) return false;
  out = Adapters();
  return true;
}

bool CVirComMgr::FindAdapter(const std::string& description, ADAPTERINFO* out) const {
  // An empty name names no adapter, not one the find output left undescribed.
  if (description.empty()) return false;
  std::lock_guard lock(adaptersMutex_);
  for (const auto& a : adapters_) {
    if (a.Description == description) {
      if (out != nullptr) *out = a;
      return true;
    }
  }
  return false;
}

bool CVirComMgr::AdapterExists(const std::string& description) { return FindAdapter(description, nullptr); }

std::string CVirComMgr::AdapterGuid(const std::string& description) {
  ADAPTERINFO a;
  return FindAdapter(description, &a) ? a.InstanceGuid : std::string();
}

std::string CVirComMgr::AdapterConnectionName(const std::string& description) {
  ADAPTERINFO a;
  return FindAdapter(description, &a) ? a.ConnectionName : std::string();
}

void CVirComMgr::RequestNewAdapter() {
  {
    std::lock_guard lock(jobMutex_);
    if (busy_) return;
    taskCode_ = 7;
    busy_ = true;
  }
  jobCv_.notify_all();
}

void CVirComMgr::SetNewAdapterPause(int pauseMs) {
  std::lock_guard lock(jobMutex_);
  adapterPauseMs_ = pauseMs;
}

void CVirComMgr::CreateAdapter() {
  const std::vector<ADAPTERINFO> snapshot = Adapters();
  RunTool(tapinstallPrefix_ + "install OemWin2k.inf tap0901");
  int pauseMs;
  {
    std::lock_guard lock(jobMutex_);
    pauseMs = adapterPauseMs_;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    RefreshAdapters();
    const std::vector<ADAPTERINFO> list = Adapters();
    for (const auto& a : list) LogF(3, "%s\r\n", a.Description.c_str());
    for (const auto& a : list) {
      // One without a description cannot be chosen by name; a later look may describe it.
      if (a.Description.empty()) continue;
      bool known = std::any_of(snapshot.begin(), snapshot.end(),
                               [&](const ADAPTERINFO& s) { return s.Description == a.Description; });
      if (!known) {
        std::lock_guard lock(jobMutex_);
        newAdapter_ = a;
        return;
      }
    }
    if (attempt == 2) break;
    std::unique_lock lock(jobMutex_);
    if (jobCv_.wait_for(lock, std::chrono::milliseconds(pauseMs), [&] { return terminate_; })) return;
  }
}

bool CVirComMgr::TakeNewAdapter(ADAPTERINFO& out) {
  std::lock_guard lock(jobMutex_);
  if (newAdapter_.Description.empty() || newAdapter_.InstanceGuid.empty()) return false;
  out = newAdapter_;
  newAdapter_.Description.clear();
  newAdapter_.InstanceGuid.clear();
  return true;
}

bool CVirComMgr::SwitchCarrier(const std::string& description, bool on) {
  ADAPTERINFO a;
  if (!FindAdapter(description, &a) || !platform::InterfaceExists(a.ConnectionName)) return false;
  std::string error;
  if (platform::SetAttachedCarrier(a.ConnectionName, on, &error)) return true;
  LogF(3, "CVirComMgr: %s\r\n", error.c_str());
  return false;
}

bool CVirComMgr::DisconnectAdapter(const std::string& description) { return SwitchCarrier(description, false); }
bool CVirComMgr::ConnectAdapter(const std::string& description) { return SwitchCarrier(description, true); }

void CVirComMgr::RunAdapterCommand(const std::string& description, const char* command) {
  ADAPTERINFO a;
  if (!FindAdapter(description, &a) || a.PnpInstanceID.empty()) return;
  RunTool(tapinstallPrefix_ + " " + command + " @" + a.PnpInstanceID);
}

void CVirComMgr::DisableAdapter(const std::string& description) { RunAdapterCommand(description, "disable"); }
void CVirComMgr::EnableAdapter(const std::string& description) { RunAdapterCommand(description, "enable"); }

void CVirComMgr::WorkerLoop() {
  std::unique_lock lock(jobMutex_);
  for (;;) {
    jobCv_.wait(lock, [&] { return terminate_ || taskCode_ != 0; });
    if (terminate_) return;
    int task = taskCode_;
    lock.unlock();
    if (task == 2) CreatePortPair();
    if (task == 7) CreateAdapter();
    lock.lock();
    taskCode_ = 0;
    busy_ = false;
  }
}

CVirComMgr& VirComMgr() {
  static CVirComMgr mgr(platform::DriverFolder());
  return mgr;
}

}  // namespace murvik
