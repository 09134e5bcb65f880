#pragma once
// The PC end of one remote module: registration with the login server or a relay, module search,
// type and firmware check, keep-alive, and the dispatch of the module's packets to the channels.
// All protocol work runs on the core event loop; one receive thread per running session moves
// datagrams from the socket into a fixed ring.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/record_items.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "tunnel/chanel.h"

namespace pugi {
class xml_node;
}

namespace murvik {

class IAdapterControl;
class TClientNameMgr;
class TNetChanel;
class TComChanel;

// What a session needs from the rest of the program. Set once at start-up.
struct TClientServices {
  platform::EventLoop* loop = nullptr;
  TClientNameMgr* names = nullptr;
  // Refresh of the virtual device manager's port pair and adapter lists.
  std::function<void()> refreshDevices;
  // Relay list of the login server host, appended to list; 0 or -1.
  std::function<int(const std::string& host, std::vector<TransServerItem>& list)> getServerList;
  // The device manager's adapter control for the network channels.
  IAdapterControl* adapters = nullptr;
  // Pins CTS and DSR of a port pair on (true) or restores the crossed wiring (false).
  std::function<void(const std::string& vport, bool pinned)> pinWiring;
  // The login server used when a module's LOGNAME is empty.
  std::string defaultLoginServer = "127.0.0.1";
  // Serial data, its acknowledgements and Ethernet frames go from the receive thread straight to
  // the channel when nothing waits in the ring, saving the hop through the loop. Needs a loop
  // whose Now() any thread may read.
  bool directComDelivery = false;
};
TClientServices& ClientServices();

class TClient {
 public:
  static constexpr int kRingSlots = 1024;
  static constexpr std::size_t kReceiveBuffer = 1540;  // wire::kMaxReceivedDatagram
  static constexpr std::uint16_t kDefaultLoginPort = 7250;
  using Hook = std::function<bool(const std::uint8_t* packet, std::size_t size, void* context)>;

  // A session of the model, with no channels; CreateIOServer adds the model's channels.
  explicit TClient(std::int32_t model);
  ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  bool Start();
  void Stop();
  bool IsRunning() const { return running_; }

  int RegState() const { return regState_.load(); }
  int LinkState() const { return linkState_.load(); }
  int ErrorCode() const { return errorCode_; }
  double BytesSent() const;
  double BytesReceived() const;
  double SendRate() const;
  double ReceiveRate() const;
  const std::string& DevType() const { return devType_; }
  const std::string& DevSubType() const { return devSubType_; }
  int FirmwareVersion() const { return firmware_; }
  bool FirstPortFlag() const { return firstPort_; }
  bool SecondPortFlag() const { return secondPort_; }
  bool WifiFlag() const { return wifi_; }
  bool CellularFlag() const { return cellular_; }
  bool InfoQueryFlag() const { return infoQuery_; }
  bool AllChannelsReady() const;
  platform::SockAddrV4 ServerAddress() const;

  // Any thread. Stamp the session id (and IOServer id) and send, only while registered.
  void SendToModule(std::uint8_t* packet, std::size_t size);
  void SendToServer(std::uint8_t* packet, std::size_t size);
  void InstallHook(Hook hook, void* context);
  void RemoveHook();
  void ResetChannels();

  // The configuration record.
  const std::int32_t model;
  std::string LOGNAME;
  std::int32_t LOGPORT = 0;
  std::string SN;
  std::string PWD;
  std::string NAME;
  std::string BRIEF;
  std::string GROUP;
  std::vector<std::unique_ptr<TChanel>> channels;
  std::vector<TransServerItem> relays;
  std::int32_t selectedRelayId = 0;

  bool CopyConfigTo(TClient* target) const;
  bool HasNetChanel() const;
  // The network channel at list position 3, or nullptr.
  TNetChanel* NetChanel() const;
  // The serial channel with that channel number (0 = COM1), or nullptr.
  TComChanel* ComChanelByNumber(int number) const;
  int NetDeviceCount() const;
  TNetDevice* GetNetDevice(int position) const;
  TNetDevice* FindNetDevice(const std::string& name) const;
  // Takes the device out of the list without destroying it.
  std::unique_ptr<TNetDevice> RemoveNetDevice(TNetDevice* device);
  const TransServerItem* SelectedRelay() const;

  // The record's element of the configuration file. LoadConfig throws ConfigError.
  void LoadConfig(const pugi::xml_node& element);
  void SaveConfig(pugi::xml_node& element) const;

  // Called on the loop thread after a change of registration state, link state or error code.
  std::function<void(TClient&)> onStateChanged;

  // Handles one received datagram as the drain does (tests, fuzzing).
  void Dispatch(std::uint8_t* data, std::size_t size);

 private:
  // Trivially constructible, so the ring's pages stay untouched until datagrams arrive.
  struct RingSlot {
    std::uint32_t fromAddr;
    std::uint16_t fromPort;
    std::uint32_t size;
    std::uint8_t data[kReceiveBuffer];
  };

  platform::EventLoop& Loop() const;
  void SendControl(const std::uint8_t* data, std::size_t size);
  void SetServerAddress(const platform::SockAddrV4& a);
  bool ResolveInto(const std::string& host);
  std::string LoginHost() const;
  std::uint16_t LoginPort() const;

  void ReceiveLoop();
  // Receive thread: delivers module data to its channel at once when order allows.
  bool TryDeliverDirect(std::uint8_t* data, std::size_t size);
  void CountReceived(std::size_t size, std::uint32_t now);
  void PostDrain();
  void Drain();
  void OnTimer();

  void RegToServer();
  void OnRedirect(std::uint8_t* data, std::size_t size);
  void BeginQueryIOServer();
  void QueryIOServer();
  void OnQueryIOServerAck(const std::uint8_t* data, std::size_t size);
  void BeginQueryParam();
  void QueryParam();
  void OnParamAck(const std::uint8_t* data, std::size_t size);
  void PingIOServer();
  void RaiseLinkTo1();
  void LoseLink();
  void OnNak();
  void OnNakEx(const std::uint8_t* data, std::size_t size);
  void StopWithError(int code);
  void NotifyIfChanged();

  // session state
  bool running_ = false;
  std::atomic<int> regState_{0};
  std::atomic<int> linkState_{0};
  int errorCode_ = 0;
  platform::UdpSocket socket_;
  std::atomic<std::uint64_t> serverAddr_{0};  // addr << 16 | port
  std::atomic<std::uint32_t> sessionId_{0};
  std::atomic<std::uint32_t> ioServerId_{0};
  std::int32_t m_nQueryIOServerCnt = 0;
  std::int32_t m_nPingIOServerCnt = 0;
  std::int32_t m_nQueryParamCnt = 0;
  std::uint32_t pingCounter_ = 0;
  std::uint32_t lastSend_ = 0;  // under statsMutex_
  std::uint32_t lastQuery_ = 0;
  std::atomic<std::uint32_t> lastHeard_{0};
  std::string clientName_;
  std::string devType_;
  std::string devSubType_;
  int firmware_ = -1;
  bool firstPort_ = false, secondPort_ = false, wifi_ = false, cellular_ = false, infoQuery_ = false;

  // traffic
  mutable std::mutex statsMutex_;
  double bytesSent_ = 0, sendRate_ = 0, sendSnapshot_ = 0;
  std::uint32_t sendRateTime_ = 0;
  double bytesReceived_ = 0, receiveRate_ = 0, receiveSnapshot_ = 0;  // under statsMutex_
  std::uint32_t receiveRateTime_ = 0;

  // receive ring: write index advanced only by the receive thread, read index only by the loop
  std::unique_ptr<RingSlot[]> ring_;
  std::atomic<std::uint32_t> ringWrite_{0};
  std::atomic<std::uint32_t> ringRead_{0};
  std::atomic<bool> drainPosted_{false};
  std::atomic<int> draining_{0};  // the loop is inside Drain
  // Held by a direct delivery; Stop clears directDelivery_ under it before closing channels.
  std::mutex directMutex_;
  bool directDelivery_ = false;
  std::atomic<bool> stopRequest_{false};
  std::unique_ptr<platform::StopEvent> stopEvent_;
  std::thread receiveThread_;
  platform::EventLoop::TimerId timer_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // posted tasks check it

  // debug hook
  Hook hook_;
  void* hookContext_ = nullptr;
  bool hookInstalled_ = false;  // written under directMutex_

  // last state reported through onStateChanged
  int shownReg_ = 0, shownLink_ = 0, shownError_ = 0;
  bool nameStoreErrorShown_ = false;
};

}  // namespace murvik
