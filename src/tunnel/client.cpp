#include "tunnel/client.h"

#include <cerrno>
#include <cstring>

#include "config/client_name_mgr.h"
#include "config/module_tables.h"
#include "devices/zn_common_fun.h"
#include "diagnostics/server_log.h"
#include "platform/key_store.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"
#include "tunnel/wire_format.h"

namespace murvik {

using platform::SockAddrV4;
using platform::TickDiff;

TClientServices& ClientServices() {
  static TClientServices services;
  return services;
}

namespace {
std::uint64_t PackAddr(const SockAddrV4& a) { return (static_cast<std::uint64_t>(a.addr) << 16) | a.port; }
SockAddrV4 UnpackAddr(std::uint64_t v) {
  return SockAddrV4{static_cast<std::uint32_t>(v >> 16), static_cast<std::uint16_t>(v & 0xFFFF)};
}
int AsInt(std::uint32_t v) { return static_cast<int>(v); }
}  // namespace

static_assert(TClient::kReceiveBuffer == wire::kMaxReceivedDatagram);

TClient::TClient(std::int32_t model) : model(model), ring_(new RingSlot[kRingSlots]) {}

TClient::~TClient() {
  Stop();
  alive_.reset();
}

platform::EventLoop& TClient::Loop() const { return *ClientServices().loop; }

double TClient::BytesSent() const {
  std::lock_guard lock(statsMutex_);
  return bytesSent_;
}

double TClient::SendRate() const {
  std::lock_guard lock(statsMutex_);
  return sendRate_;
}

double TClient::BytesReceived() const {
  std::lock_guard lock(statsMutex_);
  return bytesReceived_;
}

double TClient::ReceiveRate() const {
  std::lock_guard lock(statsMutex_);
  return receiveRate_;
}

SockAddrV4 TClient::ServerAddress() const { return UnpackAddr(serverAddr_.load()); }
void TClient::SetServerAddress(const SockAddrV4& a) { serverAddr_.store(PackAddr(a)); }

std::string TClient::LoginHost() const {
  return LOGNAME.empty() ? ClientServices().defaultLoginServer : LOGNAME;
}

std::uint16_t TClient::LoginPort() const {
  return LOGPORT == 0 ? kDefaultLoginPort : static_cast<std::uint16_t>(LOGPORT);
}

bool TClient::ResolveInto(const std::string& host) {
  auto addr = platform::ResolveIPv4(host);
  if (!addr) return false;  // the previous address stays
  SockAddrV4 a = ServerAddress();
  a.addr = *addr;
  SetServerAddress(a);
  return true;
}

bool TClient::AllChannelsReady() const {
  for (const auto& c : channels)
    if (c->USE != 0 && !c->IsReady()) return false;
  return true;
}

void TClient::ResetChannels() {
  for (auto& c : channels) c->Reset();
}

// ---------------------------------------------------------------- start and stop

bool TClient::Start() {
  if (running_) return true;
  auto& services = ClientServices();
  if (services.refreshDevices) services.refreshDevices();

  errorCode_ = 0;
  regState_ = 0;
  {
    std::lock_guard lock(statsMutex_);
    bytesSent_ = sendRate_ = sendSnapshot_ = 0;
    bytesReceived_ = receiveRate_ = receiveSnapshot_ = 0;
  }

  auto fail = [&] {
    {
      std::lock_guard lock(statsMutex_);
      socket_.Close();
    }
    for (auto& c : channels)
      if (c->USE != 0) c->Close();
    NotifyIfChanged();
    return false;
  };

  for (auto& c : channels) {
    if (c->USE != 0 && !c->Open(this)) return fail();
  }

  const std::string host = LoginHost();
  std::optional<std::uint32_t> addr;
  for (int attempt = 0; attempt < 6 && !addr; ++attempt) {
    addr = platform::ResolveIPv4(host);
    if (!addr) Loop().Delay(1000);
  }
  if (!addr) {
    errorCode_ = 1;
    return fail();
  }
  SetServerAddress(SockAddrV4{*addr, LoginPort()});

  if (!socket_.Open()) {
    errorCode_ = 1;
    return fail();
  }
  if (!socket_.Bind(0, 0)) {
    LogF(3, "bind():errcode = %d\r\n", platform::LastSystemError());
    errorCode_ = 1;
    return fail();
  }

  if (relays.empty() && services.getServerList) services.getServerList(host, relays);

  try {
    stopEvent_ = std::make_unique<platform::StopEvent>();
    ringWrite_ = 0;
    ringRead_ = 0;
    stopRequest_ = false;
    {
      std::lock_guard lock(directMutex_);
      directDelivery_ = services.directComDelivery;
    }
    receiveThread_ = std::thread([this] { ReceiveLoop(); });
  } catch (const std::exception&) {
    stopEvent_.reset();
    errorCode_ = 1;
    return fail();
  }

  regState_ = 0;
  running_ = true;
  RegToServer();
  timer_ = Loop().AddTimer(100, [this] { OnTimer(); });
  NotifyIfChanged();
  return true;
}

void TClient::Stop() {
  if (!running_) return;
  {
    // Waits for a direct delivery under way; none starts after this, so the channels may close.
    std::lock_guard lock(directMutex_);
    directDelivery_ = false;
  }
  for (auto& c : channels)
    if (c->USE != 0) c->Close();
  Loop().CancelTimer(timer_);
  timer_ = 0;
  if (regState_ > 2) {
    auto nak = wire::EncodeGoodbyeNak(sessionId_);
    SendControl(nak.data(), nak.size());
    Loop().Delay(10);
    SendControl(nak.data(), nak.size());
  }
  Loop().Delay(50);
  regState_ = 0;
  linkState_ = 0;
  stopRequest_ = true;
  if (stopEvent_) stopEvent_->Signal();
  if (receiveThread_.joinable()) receiveThread_.join();
  stopEvent_.reset();
  {
    std::lock_guard lock(statsMutex_);
    socket_.Close();
  }
  running_ = false;
  NotifyIfChanged();
}

void TClient::StopWithError(int code) {
  errorCode_ = code;
  Stop();
}

// ---------------------------------------------------------------- receive thread and ring

void TClient::ReceiveLoop() {
  const int stopFd = stopEvent_->Fd();
  while (!stopRequest_.load()) {
    std::uint32_t waiting = (ringWrite_.load() - ringRead_.load(std::memory_order_acquire)) % kRingSlots;
    if (waiting > 1020) {
      PostDrain();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // One slot always stays free, so the writer never reaches unread slots.
    std::uint32_t room = kRingSlots - 1 - waiting;
    std::uint32_t burst = std::min<std::uint32_t>(100, room);
    bool any = false;
    for (std::uint32_t i = 0; i < burst; ++i) {
      RingSlot& slot = ring_[ringWrite_.load() % kRingSlots];
      SockAddrV4 from;
      bool truncated = false;
      long n = socket_.TryReceive(slot.data, sizeof slot.data, &from, &truncated);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        continue;  // a failed receive is skipped
      }
      if (n == 0 || truncated) continue;  // larger than the receive buffer: lost on reception
      if (TryDeliverDirect(slot.data, static_cast<std::size_t>(n))) continue;
      slot.fromAddr = from.addr;
      slot.fromPort = from.port;
      slot.size = static_cast<std::uint32_t>(n);
      ringWrite_.store(ringWrite_.load() + 1, std::memory_order_release);
      any = true;
    }
    if (any) PostDrain();
    waiting = (ringWrite_.load() - ringRead_.load(std::memory_order_acquire)) % kRingSlots;
    if (waiting >= kRingSlots - 1) continue;
    RingSlot& slot = ring_[ringWrite_.load() % kRingSlots];
    SockAddrV4 from;
    bool truncated = false;
    long n = socket_.Receive(slot.data, sizeof slot.data, &from, stopFd, -1, &truncated);
    if (n == -2) break;
    if (n > 0 && !truncated && !TryDeliverDirect(slot.data, static_cast<std::size_t>(n))) {
      slot.fromAddr = from.addr;
      slot.fromPort = from.port;
      slot.size = static_cast<std::uint32_t>(n);
      ringWrite_.store(ringWrite_.load() + 1, std::memory_order_release);
      PostDrain();
    }
  }
}

void TClient::PostDrain() {
  if (drainPosted_.exchange(true)) return;  // one wake-up is enough for everything waiting
  std::weak_ptr<int> alive = alive_;
  Loop().Post([this, alive] {
    if (alive.expired()) return;
    Drain();
  });
}

bool TClient::TryDeliverDirect(std::uint8_t* data, std::size_t size) {
  std::lock_guard lock(directMutex_);
  if (!directDelivery_ || hookInstalled_) return false;
  // Anything still waiting in the ring, or being dispatched, goes first: the datagram queues.
  // The loop counts itself in before it takes a slot, so an empty ring seen here with no
  // drain counted means every earlier datagram has been handled.
  if (ringRead_.load(std::memory_order_acquire) != ringWrite_.load()) return false;
  if (draining_.load() != 0) return false;
  if (regState_.load() != 4 || linkState_.load() != 2) return false;
  if (!wire::IsValidDatagram(data, size)) return false;
  const std::uint16_t command = wire::ReadHeader(data, size)->command;
  if (command == wire::NET_DATA_FROM_MODULE) {
    TChanel* net = NetChanel();
    if (net == nullptr || !net->IsOpen() || !wire::DecodeNetData(data, size)) return false;
    const std::uint32_t now = Loop().Now();
    CountReceived(size, now);
    Log(3, "receive net data from IOSERVER");
    lastHeard_ = now;
    net->OnData(data, size);
    return true;
  }
  if (command != wire::COM_DATA_FROM_MODULE && command != wire::COM_DATA_ACK_FROM_MODULE) return false;
  auto number = wire::PayloadByte0(data, size);
  if (!number) return false;
  TChanel* channel = ComChanelByNumber(*number);
  if (channel == nullptr || !channel->IsOpen()) return false;

  const std::uint32_t now = Loop().Now();
  CountReceived(size, now);
  if (command == wire::COM_DATA_FROM_MODULE) {
    lastHeard_ = now;
    channel->OnData(data, size);
  } else {
    channel->OnDataAck(data, size);
  }
  return true;
}

void TClient::CountReceived(std::size_t size, std::uint32_t now) {
  std::lock_guard lock(statsMutex_);
  bytesReceived_ += static_cast<double>(size);
  std::uint32_t elapsed = TickDiff(now, receiveRateTime_);
  if (elapsed >= 1000) {
    receiveRate_ = (bytesReceived_ - receiveSnapshot_) / static_cast<double>(elapsed / 1000) / 1024.0;
    receiveSnapshot_ = bytesReceived_;
    receiveRateTime_ = now;
  }
}

void TClient::Drain() {
  struct Counted {
    std::atomic<int>& n;
    explicit Counted(std::atomic<int>& n) : n(n) { ++n; }
    ~Counted() { --n; }
  } counted(draining_);
  drainPosted_ = false;
  std::uint8_t copy[kReceiveBuffer];
  for (;;) {
    std::uint32_t read = ringRead_.load();
    if (read == ringWrite_.load(std::memory_order_acquire)) break;
    const RingSlot& slot = ring_[read % kRingSlots];
    std::size_t size = std::min<std::size_t>(slot.size, sizeof copy);
    std::memcpy(copy, slot.data, size);
    ringRead_.store(read + 1, std::memory_order_release);
    Dispatch(copy, size);
  }
}

// ---------------------------------------------------------------- sending

void TClient::SendControl(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t now = Loop().Now();
  // Under the lock Stop takes to close the socket, so a channel thread never sends on a closed
  // (or reused) descriptor.
  std::lock_guard lock(statsMutex_);
  if (socket_.IsOpen()) socket_.SendTo(ServerAddress(), data, size);
  lastSend_ = now;
  bytesSent_ += static_cast<double>(size);
  std::uint32_t elapsed = TickDiff(now, sendRateTime_);
  if (elapsed >= 1000) {
    sendRate_ = (bytesSent_ - sendSnapshot_) / static_cast<double>(elapsed / 1000) / 1024.0;
    sendSnapshot_ = bytesSent_;
    sendRateTime_ = now;
  }
}

void TClient::SendToModule(std::uint8_t* packet, std::size_t size) {
  if (regState_.load() != 4 || size < wire::kHeaderSize) return;
  wire::StampIds(packet, sessionId_.load(), ioServerId_.load());
  SendControl(packet, std::min<std::size_t>(size, wire::kHeaderSize + wire::Get16(packet + 14)));
}

void TClient::SendToServer(std::uint8_t* packet, std::size_t size) {
  if (regState_.load() != 4 || size < wire::kHeaderSize) return;
  wire::StampIds(packet, sessionId_.load(), 0);
  SendControl(packet, std::min<std::size_t>(size, wire::kHeaderSize + wire::Get16(packet + 14)));
}

void TClient::InstallHook(Hook hook, void* context) {
  hook_ = std::move(hook);
  hookContext_ = context;
  std::lock_guard lock(directMutex_);
  hookInstalled_ = true;
}

void TClient::RemoveHook() {
  {
    std::lock_guard lock(directMutex_);
    hookInstalled_ = false;
  }
  hook_ = nullptr;
  hookContext_ = nullptr;
}

// ---------------------------------------------------------------- dispatch

void TClient::Dispatch(std::uint8_t* data, std::size_t size) {
  if (regState_.load() == 0) return;
  if (!wire::IsValidDatagram(data, size)) {
    Log(3, "recived bad packet\r\n");
    return;
  }
  const std::uint32_t now = Loop().Now();
  CountReceived(size, now);
  if (hookInstalled_ && hook_ && hook_(data, size, hookContext_)) return;

  const auto header = *wire::ReadHeader(data, size);
  auto tooShort = [&](const char* what) { LogF(3, "%s too short (%d bytes), dropped\r\n", what, AsInt(size)); };
  switch (header.command) {
    case wire::REG_CHALLENGE:
      if (regState_ == 1) {
        auto ch = wire::DecodeRegChallenge(data, size);
        if (!ch) {
          tooShort("REG_CHALLENGE");
          break;
        }
        regState_ = 2;
        sessionId_ = ch->sessionId;
        auto digest = wire::ChallengeDigest(ch->challenge, PWD);
        auto resp = wire::EncodeRegResponse(ch->sessionId, SN, clientName_, digest);
        SendControl(resp.data(), resp.size());
      }
      break;
    case wire::REG_OK:
      if (regState_ == 2) {
        Log(3, "DoRegOK()\r\n");
        regState_ = 4;
        BeginQueryIOServer();
      }
      break;
    case wire::REDIRECT:
      if (regState_ == 2) OnRedirect(data, size);
      break;
    case wire::QUERY_IOSERVER_ACK:
      OnQueryIOServerAck(data, size);
      break;
    case wire::PING_ACK:
      LogF(3, "DoPingIOServerAck():SeqID=%d, time=%d\r\n", AsInt(header.seqId), AsInt(now));
      m_nPingIOServerCnt = 0;
      lastHeard_ = now;
      break;
    case wire::PARAM_ACK:
      if (linkState_ == 1) OnParamAck(data, size);
      break;
    case wire::IOSERVER_LOST:
      LoseLink();
      break;
    case wire::NAK:
      OnNak();
      break;
    case wire::NAK_EX:
      OnNakEx(data, size);
      break;
    case wire::COM_DATA_FROM_MODULE:
      if (linkState_ == 2) {
        auto ch = wire::PayloadByte0(data, size);
        if (!ch) {
          tooShort("COM_DATA");
          break;
        }
        lastHeard_ = now;
        if (TChanel* c = ComChanelByNumber(*ch)) c->OnData(data, size);
      }
      break;
    case wire::COM_DATA_ACK_FROM_MODULE:
      if (linkState_ == 2) {
        auto ch = wire::PayloadByte0(data, size);
        if (!ch) {
          tooShort("COM_DATA_ACK");
          break;
        }
        if (TChanel* c = ComChanelByNumber(*ch)) c->OnDataAck(data, size);
      }
      break;
    case wire::COM_CONFIG_ACK: {
      auto ch = wire::PayloadWord0(data, size);
      if (!ch) {
        tooShort("COM_CONFIG_ACK");
        break;
      }
      if (TChanel* c = ComChanelByNumber(*ch)) c->OnCommandAck(data, size);
      break;
    }
    case wire::NET_DATA_FROM_MODULE:
      if (TChanel* net = NetChanel()) {
        if (!wire::DecodeNetData(data, size)) {
          tooShort("NET_DATA");
          break;
        }
        Log(3, "receive net data from IOSERVER");
        lastHeard_ = now;
        net->OnData(data, size);
      }
      break;
    case wire::NET_CONFIG_ACK:
      if (TChanel* net = NetChanel()) {
        if (!wire::DecodeNetConfigAck(data, size)) {
          tooShort("NET_CONFIG_ACK");
          break;
        }
        lastHeard_ = now;
        net->OnCommandAck(data, size);
      }
      break;
    default:
      break;  // unknown commands, and the debug replies nobody hooked, go without a line
  }
  NotifyIfChanged();
}

// ---------------------------------------------------------------- registration

void TClient::RegToServer() {
  ResetChannels();
  errorCode_ = 0;
  regState_ = 1;
  linkState_ = 0;
  if (TClientNameMgr* names = ClientServices().names) {
    try {
      clientName_ = names->GetClientName(SN);
    } catch (const platform::KeyStoreError& e) {
      // The name is kept for this run; the user learns that it will not survive a restart.
      clientName_ = names->GetClientName(SN);
      LogF(3, "RegToServer(): client name not stored: %s\r\n", e.what());
      if (!nameStoreErrorShown_) {
        nameStoreErrorShown_ = true;
        ShowError(std::string("Client name not stored: ") + e.what());
      }
    }
  }
  LogF(3, "RegToServer(), SN:%s, Name:%s\r\n", SN.c_str(), clientName_.c_str());
  auto reg = wire::EncodeRegister(SN, clientName_);
  ResolveInto(LoginHost());
  SockAddrV4 a = ServerAddress();
  a.port = LoginPort();
  SetServerAddress(a);
  SendControl(reg.data(), reg.size());
}

void TClient::OnRedirect(std::uint8_t* data, std::size_t size) {
  auto text = wire::DecodeRedirect(data, size);
  if (!text) {
    LogF(3, "REDIRECT too short (%d bytes), dropped\r\n", AsInt(size));
    return;
  }
  regState_ = 3;
  LogF(3, "DoRedirect(), time=%d\r\n", AsInt(Loop().Now()));
  for (const auto& r : relays) {
    if (r.address == *text) {
      selectedRelayId = r.id;
      break;
    }
  }
  auto colon = text->find(':');
  std::string host = text->substr(0, colon);
  ResolveInto(host);
  if (colon != std::string::npos) {
    // Decimal port as a plain conversion reads it: digits up to the first non-digit.
    std::uint32_t port = 0;
    bool digits = false;
    for (std::size_t i = colon + 1; i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9'; ++i) {
      port = port * 10 + static_cast<std::uint32_t>((*text)[i] - '0');
      digits = true;
      if (port > 65535) break;
    }
    if (digits && port <= 65535) {
      SockAddrV4 a = ServerAddress();
      a.port = static_cast<std::uint16_t>(port);
      SetServerAddress(a);
    } else {
      LogF(3, "DoRedirect(): no usable port in \"%s\", port %d kept\r\n", text->c_str(), ServerAddress().port);
    }
  }
  BeginQueryIOServer();
}

// ---------------------------------------------------------------- module search and check

void TClient::BeginQueryIOServer() {
  Log(3, "BeginQueryIOServer()\r\n");
  m_nQueryIOServerCnt = 0;
  QueryIOServer();
}

void TClient::QueryIOServer() {
  ++m_nQueryIOServerCnt;
  auto q = wire::EncodeQueryIOServer(sessionId_);
  SendControl(q.data(), q.size());
  lastQuery_ = Loop().Now();
  LogF(3, "QueryIOServer():time=%d, m_nQueryIOServerCnt=%d\r\n", AsInt(lastQuery_), m_nQueryIOServerCnt);
}

void TClient::OnQueryIOServerAck(const std::uint8_t* data, std::size_t size) {
  auto ack = wire::DecodeQueryIOServerAck(data, size);
  if (!ack) {
    LogF(3, "QUERY_IOSERVER_ACK too short (%d bytes), dropped\r\n", AsInt(size));
    return;
  }
  const std::uint32_t now = Loop().Now();
  regState_ = 4;
  lastHeard_ = now;
  if (ack->found()) {
    LogF(3, "DoQueryIOServerAck():time=%d, IOSERVER found\r\n", AsInt(now));
    ioServerId_ = ack->firstId;
    m_nQueryIOServerCnt = 0;
    RaiseLinkTo1();
  } else if (ack->notPresent()) {
    LogF(3, "DoQueryIOServerAck():time=%d, IOSERVER not found\r\n", AsInt(now));
    if (linkState_ != 0) LoseLink();
  }
}

void TClient::BeginQueryParam() {
  Log(3, "BeginQueryParam()\r\n");
  m_nQueryParamCnt = 0;
  QueryParam();
}

void TClient::QueryParam() {
  ++m_nQueryParamCnt;
  auto q = wire::EncodeQueryParam();
  SendToModule(q.data(), q.size());
  LogF(3, "QueryParam():time=%d, m_nQueryParamCnt=%d\r\n", AsInt(Loop().Now()), m_nQueryParamCnt);
}

void TClient::OnParamAck(const std::uint8_t* data, std::size_t size) {
  auto p = wire::DecodeParamAck(data, size);
  if (!p) {
    LogF(3, "PARAM_ACK too short (%d bytes), dropped\r\n", AsInt(size));
    return;
  }
  devType_ = p->devType;
  devSubType_ = p->devSubType;
  firmware_ = p->firmware;

  int required = -1;
  if (devType_.compare(0, 5, "DLXK2") == 0)
    required = 0;
  else if (devType_.compare(0, 5, "DLXK5") == 0)
    required = 1;
  else if (devType_ == "PAVANO")
    required = kModelPavano;
  if (required >= 0 && required != model) {
    StopWithError(7);
    return;
  }

  auto has = [](const std::string& s, const char* letters) { return s.find_first_of(letters) != std::string::npos; };
  if (model == 0) {
    if (has(devSubType_, "N")) firstPort_ = true;
    if (has(devSubType_, "2")) secondPort_ = true;
    if (has(devSubType_, "W")) wifi_ = true;
    if (has(devSubType_, "LYXQ")) cellular_ = true;
  } else if (model == 1) {
    firstPort_ = secondPort_ = true;
    if (has(devType_, "W")) wifi_ = true;
    if (has(devType_, "LYXQ")) cellular_ = true;
  }

  if (firmware_ < 30) {
    StopWithError(6);
    return;
  }
  if (p->features & 1) infoQuery_ = true;
  linkState_ = 2;
  LogF(3, "DevType:%s, DevSubType:%s\r\n", devType_.c_str(), devSubType_.c_str());
}

void TClient::PingIOServer() {
  ++m_nPingIOServerCnt;
  std::uint32_t seq = pingCounter_++;
  auto ping = wire::EncodePing(seq);
  SendToModule(ping.data(), ping.size());
  LogF(3, "PingIOServer():SeqID=%d, time=%d, m_nPingIOServerCnt=%d\r\n", AsInt(seq), AsInt(Loop().Now()),
       m_nPingIOServerCnt);
}

void TClient::RaiseLinkTo1() {
  if (linkState_ != 0) return;
  linkState_ = 1;
  BeginQueryParam();
}

void TClient::LoseLink() {
  if (linkState_ == 0) return;
  linkState_ = 0;
  firmware_ = -1;
  ResetChannels();
  BeginQueryIOServer();
}

// ---------------------------------------------------------------- refusals

void TClient::OnNak() {
  Log(3, "DoNAK()\r\n");
  if (regState_ == 1) {
    StopWithError(2);
  } else if (regState_ == 2) {
    StopWithError(3);
  } else {
    ResetChannels();
    RegToServer();
  }
}

void TClient::OnNakEx(const std::uint8_t* data, std::size_t size) {
  auto reason = wire::DecodeNakExReason(data, size);
  if (!reason) {
    LogF(3, "NAK_EX too short (%d bytes), dropped\r\n", AsInt(size));
    return;
  }
  Log(3, "DoNAKEx()\r\n");
  switch (*reason) {
    case 1:
      Log(3, "unregister device ID\r\n");
      StopWithError(2);
      break;
    case 3:
      Log(3, "password error\r\n");
      StopWithError(3);
      break;
    case 11:
      Log(3, "nontrans error\r\n");
      StopWithError(5);
      break;
    case 15:
      Log(3, "multi client error\r\n");
      StopWithError(4);
      break;
    default:
      ResetChannels();
      RegToServer();
      break;
  }
}

// ---------------------------------------------------------------- timer

void TClient::OnTimer() {
  if (!running_) return;
  const std::uint32_t now = Loop().Now();
  std::uint32_t lastSend;
  {
    std::lock_guard lock(statsMutex_);
    lastSend = lastSend_;
  }
  const std::uint32_t sinceSend = TickDiff(now, lastSend);
  switch (regState_.load()) {
    case 0:
      RegToServer();
      break;
    case 1:
      if (sinceSend >= 3000) RegToServer();
      break;
    case 2:
      if (sinceSend >= 5000) RegToServer();
      break;
    case 3:
      if (m_nQueryIOServerCnt >= 30)
        RegToServer();
      else if (TickDiff(now, lastQuery_) >= 2000)
        QueryIOServer();
      break;
    case 4:
      if (linkState_ == 0) {
        if (sinceSend >= 1000) QueryIOServer();
      } else if (linkState_ == 1) {
        if (m_nQueryParamCnt >= 5) {
          m_nQueryParamCnt = 0;
          LoseLink();
        } else if (sinceSend >= 1000) {
          QueryParam();
        }
      } else if (!hookInstalled_) {
        if (m_nPingIOServerCnt >= 10) {
          m_nPingIOServerCnt = 0;
          LoseLink();
        } else if (TickDiff(now, lastHeard_) >= (m_nPingIOServerCnt == 0 ? 5000u : 1000u)) {
          lastHeard_ = now;
          PingIOServer();
        }
      }
      break;
    default:
      break;
  }
  if (running_ && linkState_ == 2) {
    for (auto& c : channels)
      if (c->USE != 0) c->OnTimer();
  }
  NotifyIfChanged();
}

void TClient::NotifyIfChanged() {
  const int reg = regState_.load();
  if (reg == shownReg_ && linkState_ == shownLink_ && errorCode_ == shownError_) return;
  shownReg_ = reg;
  shownLink_ = linkState_;
  shownError_ = errorCode_;
  if (onStateChanged) onStateChanged(*this);
}

}  // namespace murvik
