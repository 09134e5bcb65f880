#pragma once
// The one view of the virtual serial port pairs and the TAP adapters that the tunnel ends on,
// and the only code that drives their tools in the driver folder.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/tap_port.h"

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
  std::string ConnectionName;  // the interface name
  bool operator==(const ADAPTERINFO&) const = default;
};

// The list output of the pair tool, one entry per line (also lines that name no port).
std::vector<SSerInfo> ParsePortList(const std::string& text);
// The pair index in the create command's output, or -1.
int ParseCreatedPairIndex(const std::string& text);
// The lines of the adapter tool's find output that name an adapter: PnpInstanceID and
// Description filled, in output order.
std::vector<ADAPTERINFO> ParseAdapterFind(const std::string& text);

class CVirComMgr : public IAdapterControl {
 public:
  // Runs one complete command line and answers its output ("" when it could not be started).
  using ToolRunner = std::function<std::string(const std::string& commandLine)>;

  // driverFolder ends in "/"; runner defaults to RunCommand with a 10 ms poll interval.
  explicit CVirComMgr(std::string driverFolder, ToolRunner runner = nullptr);
  ~CVirComMgr() override;
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


  // The adapters recorded by the adapter tool, described by its find output.
  void RefreshAdapters();
  // A copy of the adapter list; false while a job runs.
  bool GetAdapters(std::vector<ADAPTERINFO>& out);
  bool AdapterExists(const std::string& description) override;
  // InstanceGuid, or "" when no adapter has that description.
  std::string AdapterGuid(const std::string& description);
  // The interface name, or "".
  std::string AdapterConnectionName(const std::string& description);
  void RequestNewAdapter();
  bool TakeNewAdapter(ADAPTERINFO& out);
  // Switch the carrier of the adapter's interface; false when it is not listed or its interface
  // does not exist.
  bool DisconnectAdapter(const std::string& description) override;
  bool ConnectAdapter(const std::string& description) override;
  void DisableAdapter(const std::string& description) override;
  void EnableAdapter(const std::string& description) override;
  std::vector<ADAPTERINFO> Adapters() const;

  const std::string& SetupcPrefix() const { return setupcPrefix_; }
  const std::string& TapinstallPrefix() const { return tapinstallPrefix_; }
  // How long job 2 waits for a new pair to show its COM name before it gives up.
  void SetNewPortWaitLimit(int attempts, int pauseMs);
  // The pause between job 7's looks for the new adapter.
  void SetNewAdapterPause(int pauseMs);

 private:
  void WorkerLoop();
  void CreatePortPair();
  void CreateAdapter();
  void ChangePins(const std::string& comName, const char* options);
  // A copy of the first adapter with that description.
  bool FindAdapter(const std::string& description, ADAPTERINFO* out) const;
  bool SwitchCarrier(const std::string& description, bool on);
  void RunAdapterCommand(const std::string& description, const char* command);

  std::string driverFolder_;
  std::string setupcPrefix_;
  std::string tapinstallPrefix_;
  ToolRunner runner_;

  mutable std::mutex portsMutex_;
  std::vector<SSerInfo> ports_;
  mutable std::mutex adaptersMutex_;
  std::vector<ADAPTERINFO> adapters_;

  std::mutex jobMutex_;
  std::condition_variable jobCv_;
  int taskCode_ = 0;
  std::atomic<bool> busy_{false};
  bool terminate_ = false;
  SSerInfo newPort_;
  int waitAttempts_ = 30;
  int waitPauseMs_ = 1000;
  ADAPTERINFO newAdapter_;
  int adapterPauseMs_ = 500;
  std::thread worker_;
};

// The global manager over the tools in the driver folder beside the program.
CVirComMgr& VirComMgr();

}  // namespace murvik
