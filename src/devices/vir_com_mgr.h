#pragma once
// The one view of the virtual serial port pairs (and, later, the TAP adapters) that the tunnel
// ends on, and the only code that drives their tools in the driver folder.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace murvik {

// One listed port end: side 1 = A end (CNCAn), 0 = B end or no port; pairIndex -1 = no port.
struct SSerInfo {
  std::int32_t side = 0;
  std::int32_t pairIndex = -1;
  std::string PortName;
  std::string RealPortName;
  bool operator==(const SSerInfo&) const = default;
};

struct ADAPTERINFO {
  std::string Description;
  std::string InstanceGuid;
  std::string PnpInstanceID;
  std::string ConnectionName;
};

// The list output of the pair tool, one entry per line (also lines that name no port).
std::vector<SSerInfo> ParsePortList(const std::string& text);
// The pair index in the create command's output, or -1.
int ParseCreatedPairIndex(const std::string& text);

class CVirComMgr {
 public:
  // Runs one complete command line and answers its output ("" when it could not be started).
  using ToolRunner = std::function<std::string(const std::string& commandLine)>;

  // driverFolder ends in "/"; runner defaults to RunCommand with a 10 ms poll interval.
  explicit CVirComMgr(std::string driverFolder, ToolRunner runner = nullptr);
  ~CVirComMgr();
  CVirComMgr(const CVirComMgr&) = delete;
  CVirComMgr& operator=(const CVirComMgr&) = delete;

  std::string RunTool(const std::string& commandLine);
  void RefreshPorts();
  // The A ends with an assigned COM name, by COM number; false while a job runs.
  bool GetChoosablePorts(std::vector<SSerInfo>& out);
  // "CNCB<n>" of the pair whose A end carries that COM name, or "".
  std::string HiddenPortName(const std::string& comName);
  void RequestNewPort();
  bool TakeNewPort(SSerInfo& out);
  void SetPinsOnOpen(const std::string& comName);
  void RestorePins(const std::string& comName);
  bool Busy() const { return busy_; }
  std::vector<SSerInfo> Ports() const;

  const std::string& SetupcPrefix() const { return setupcPrefix_; }
  // How long job 2 waits for a new pair to show its COM name before it gives up.
  void SetNewPortWaitLimit(int attempts, int pauseMs);

 private:
  void WorkerLoop();
  void CreatePortPair();
  void ChangePins(const std::string& comName, const char* options);

  std::string driverFolder_;
  std::string setupcPrefix_;
  ToolRunner runner_;

  mutable std::mutex portsMutex_;
  std::vector<SSerInfo> ports_;

  std::mutex jobMutex_;
  std::condition_variable jobCv_;
  int taskCode_ = 0;
  std::atomic<bool> busy_{false};
  bool terminate_ = false;
  SSerInfo newPort_;
  int waitAttempts_ = 30;
  int waitPauseMs_ = 1000;
  std::thread worker_;
};

// The global manager over the tools in the driver folder beside the program.
CVirComMgr& VirComMgr();

}  // namespace murvik
