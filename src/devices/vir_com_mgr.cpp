#include "devices/vir_com_mgr.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "platform/paths.h"

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

CVirComMgr::CVirComMgr(std::string driverFolder, ToolRunner runner)
    : driverFolder_(std::move(driverFolder)), runner_(std::move(runner)) {
  if (!driverFolder_.empty() && driverFolder_.back() != '/') driverFolder_ += '/';
  setupcPrefix_ = driverFolder_ + "setupc ";
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

void CVirComMgr::WorkerLoop() {
  std::unique_lock lock(jobMutex_);
  for (;;) {
    jobCv_.wait(lock, [&] { return terminate_ || taskCode_ != 0; });
    if (terminate_) return;
    int task = taskCode_;
    lock.unlock();
    if (task == 2) CreatePortPair();
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
