// Datagrams per second through a session's receive thread, ring, loop and dispatch, against a bare
// recvfrom loop on the same machine in the same run; and the memory of idle running sessions.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/poll_loop.h"
#include "tunnel/client.h"
#include "tunnel/client_mgr.h"
#include "tunnel/wire_format.h"

using namespace murvik;
using Clock = std::chrono::steady_clock;

namespace {

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::vector<std::uint8_t> EchoAck(std::uint32_t seq) {
  std::vector<std::uint8_t> b(16 + 64, 0);
  wire::WriteHeader(b.data(), wire::Header{1, 0, seq, wire::ECHO_ACK, 64});
  return b;
}

// Sends count datagrams to port as fast as the receiver keeps up: a window of 64 in flight, well inside the socket buffer.
void Blast(std::uint16_t port, int count, const std::atomic<int>& received) {
  platform::UdpSocket s;
  s.Open();
  platform::SockAddrV4 to{platform::Ipv4FromText("127.0.0.1"), port};
  for (int i = 0; i < count; ++i) {
    auto waitStart = Clock::now();
    while (i - received.load(std::memory_order_relaxed) > 64 && Clock::now() - waitStart < std::chrono::seconds(1))
      std::this_thread::yield();  // a lost datagram must not stall the sender for good
    auto d = EchoAck(static_cast<std::uint32_t>(i));
    s.SendTo(to, d.data(), d.size());
  }
}

double BareRate(int count) {
  platform::UdpSocket rx;
  rx.Open();
  rx.Bind(platform::Ipv4FromText("127.0.0.1"), 0);
  std::atomic<int> received{0};
  auto t0 = Clock::now();
  std::thread tx(Blast, rx.LocalPort(), count, std::cref(received));
  std::uint8_t buf[1512];
  while (received.load() < count) {
    if (rx.Receive(buf, sizeof buf, nullptr, -1, 1000) < 0) break;
    received.fetch_add(1, std::memory_order_relaxed);
  }
  tx.join();
  return received.load() / std::chrono::duration<double>(Clock::now() - t0).count();
}

// A session registered against a local socket that plays the login server just enough.
struct LiveSession {
  platform::PollLoop loop;
  platform::UdpSocket server;
  platform::SockAddrV4 peer{};
  std::unique_ptr<TClient> session;

  bool Begin() {
    server.Open();
    server.Bind(platform::Ipv4FromText("127.0.0.1"), 0);
    ClientServices().loop = &loop;
    session = TClientMgr::CreateIOServer(0);
    for (auto& c : session->channels) c->USE = 0;
    session->LOGNAME = "127.0.0.1";
    session->LOGPORT = server.LocalPort();
    session->SN = "12345678901";
    if (!session->Start()) return false;
    // REGISTER -> REG_CHALLENGE -> REG_OK: registration state 4, so dispatch takes the packets.
    std::uint8_t buf[1512];
    if (server.Receive(buf, sizeof buf, &peer, -1, 2000) < 0) return false;
    std::vector<std::uint8_t> ch(144, 0);
    wire::WriteHeader(ch.data(), wire::Header{1, 0, 0, wire::REG_CHALLENGE, 128});
    server.SendTo(peer, ch.data(), ch.size());
    loop.RunUntil([&] { return session->RegState() == 2; }, 2000);
    std::vector<std::uint8_t> ok(16, 0);
    wire::WriteHeader(ok.data(), wire::Header{1, 0, 0, wire::REG_OK, 0});
    server.SendTo(peer, ok.data(), ok.size());
    return loop.RunUntil([&] { return session->RegState() == 4; }, 2000);
  }
};

double SessionRate(int count) {
  LiveSession live;
  if (!live.Begin()) return -1;
  std::atomic<int> received{0};
  live.session->InstallHook(
      [&](const std::uint8_t* p, std::size_t, void*) {
        if (wire::Get16(p + 12) != wire::ECHO_ACK) return false;
        received.fetch_add(1, std::memory_order_relaxed);
        return true;
      },
      nullptr);
  auto t0 = Clock::now();
  std::thread tx(Blast, live.peer.port, count, std::cref(received));
  live.loop.RunUntil([&] { return received.load() >= count; }, 60000);
  tx.join();
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  double rate = received.load() / secs;
  std::fprintf(stderr, "session: %d of %d in %.2f s\n", received.load(), count, secs);
  live.session->Stop();
  return rate;
}

// Resident memory added by n started sessions that idle in registration (nobody answers).
long SessionsRssKb(int n) {
  platform::PollLoop loop;
  platform::UdpSocket server;
  server.Open();
  server.Bind(platform::Ipv4FromText("127.0.0.1"), 0);
  ClientServices().loop = &loop;
  long before = RssKb();
  std::vector<std::unique_ptr<TClient>> sessions;
  for (int i = 0; i < n; ++i) {
    auto s = TClientMgr::CreateIOServer(0);
    for (auto& c : s->channels) c->USE = 0;
    s->LOGNAME = "127.0.0.1";
    s->LOGPORT = server.LocalPort();
    s->SN = std::to_string(10000000000LL + i);
    s->Start();
    sessions.push_back(std::move(s));
  }
  loop.RunUntil([] { return false; }, 500);
  long after = RssKb();
  for (auto& s : sessions) s->Stop();
  return after - before;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 200000;
  double bare = BareRate(count);
  double session = SessionRate(count);
  long one = SessionsRssKb(1);
  long hundred = SessionsRssKb(100);
  std::printf(
      "{\"datagrams\":%d,\"bare_recvfrom_per_s\":%.0f,\"session_per_s\":%.0f,\"ratio\":%.3f,"
      "\"rss_kb_1_session\":%ld,\"rss_kb_100_sessions\":%ld}\n",
      count, bare, session, bare > 0 ? session / bare : 0.0, one, hundred);
  return 0;
}
