#pragma once
// The hidden end of a virtual serial port pair as a serial channel's port service: a thread
// blocked on the end hands what the PC software writes to the channel and keeps the line
// settings that software chose.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "devices/vir_com_port.h"
#include "platform/net.h"
#include "platform/serial_pair.h"

namespace murvik {

class TVirCom : public IVirComPort {
 public:
  // Answers "CNCB<n>" for a visible COM name, or "" when the pair is not listed.
  using HiddenNameLookup = std::function<std::string(const std::string& comName)>;

  // lookup defaults to the global manager's; driverFolder (ending in "/") holds setupc, which
  // restarts a pair's holder that is not running.
  explicit TVirCom(VirComPortRequest request, HiddenNameLookup lookup = nullptr, std::string driverFolder = "");
  ~TVirCom() override;
  TVirCom(const TVirCom&) = delete;
  TVirCom& operator=(const TVirCom&) = delete;

  bool Open() override;
  bool Write(const std::uint8_t* bytes, std::size_t count) override;
  bool Close() override;
  wire::LineSettings Line() const override;

  // Written by the service thread, read by the channel for every frame.
  std::atomic<std::uint32_t> m_BaudRate{115200};
  std::atomic<int> m_ByteSize{8};
  std::atomic<int> m_Parity{0};
  std::atomic<int> m_StopBits{0};

 private:
  void ServiceLoop();
  void TakeLine();

  VirComPortRequest request_;
  HiddenNameLookup lookup_;
  std::string driverFolder_;
  platform::PairHiddenEnd end_;
  platform::StopEvent stop_;
  std::thread thread_;
};

// The factory the daemon installs as VirComPorts().
std::unique_ptr<IVirComPort> MakeVirCom(const VirComPortRequest& request);

}  // namespace murvik
