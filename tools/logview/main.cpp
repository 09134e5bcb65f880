// murvik-logview: receives the debug log datagrams and prints each as one text line.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datagram.h"
#include "platform/net.h"

namespace {

int g_stopFd = -1;

void OnStopSignal(int) {
  std::uint64_t one = 1;
  ssize_t r = write(g_stopFd, &one, sizeof one);
  (void)r;
}

void Usage(std::FILE* to) {
  std::fputs(
      "usage: murvik-logview [--port N] [--bind ADDR] [--count N]\n"
      "  Prints the debug log datagrams sent to ADDR:N (default 127.0.0.1:910) as text lines:\n"
      "  #<seq> L<level> <mm-dd,hh:nn:ss.zzz> [src <id>] <text>\n"
      "  --port N   UDP port to listen on (0 picks a free one)\n"
      "  --bind A   IPv4 address to listen on\n"
      "  --count N  exit after N log lines (0: run until stopped)\n",
      to);
}

bool ParseNumber(const char* text, unsigned long max, unsigned long& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 910;
  unsigned long count = 0;
  std::string bindText = "127.0.0.1";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--port" && ParseNumber(value, 65535, port)) {
      ++i;
    } else if (arg == "--count" && ParseNumber(value, 0xFFFFFFFFul, count)) {
      ++i;
    } else if (arg == "--bind" && value != nullptr) {
      bindText = value;
      ++i;
    } else {
      std::fprintf(stderr, "murvik-logview: bad argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  auto bindAddr = murvik::platform::ParseIpv4(bindText);
  if (!bindAddr) {
    std::fprintf(stderr, "murvik-logview: bad address '%s'\n", bindText.c_str());
    return 2;
  }

  murvik::platform::StopEvent stop;
  g_stopFd = stop.Fd();
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  murvik::platform::UdpSocket sock;
  if (!sock.Open() || !sock.Bind(*bindAddr, static_cast<std::uint16_t>(port))) {
    std::fprintf(stderr, "murvik-logview: cannot listen on %s:%lu: %s\n", bindText.c_str(), port,
                 std::strerror(errno));
    return 1;
  }
  sock.SetReceiveBuffer(1 << 20);
  std::fprintf(stderr, "murvik-logview: listening on %s:%u\n", bindText.c_str(), sock.LocalPort());
  std::fflush(stderr);

  std::vector<unsigned char> buf(65536);
  unsigned long printed = 0;
  while (count == 0 || printed < count) {
    murvik::platform::SockAddrV4 from;
    long n = sock.Receive(buf.data(), buf.size(), &from, stop.Fd());
    if (n == -2) break;
    if (n < 0) continue;
    murvik::logview::LogLine line;
    std::string reason;
    if (murvik::logview::DecodeDatagram(buf.data(), static_cast<std::size_t>(n), line, reason)) {
      std::string text = murvik::logview::FormatLine(line);
      text += '\n';
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
      ++printed;
    } else {
      std::fprintf(stderr, "murvik-logview: rejected %ld bytes from %s:%u: %s\n", n,
                   murvik::platform::Ipv4ToText(from.addr).c_str(), from.port, reason.c_str());
      std::fflush(stderr);
    }
  }
  return 0;
}
