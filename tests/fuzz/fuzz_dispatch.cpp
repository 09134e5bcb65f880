// Feeds arbitrary datagrams to the decoders and to a running session's dispatch, with virtual
// time passing between them, so every handler and timer rule sees hostile input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/manual_loop.h"
#include "tunnel/client.h"
#include "tunnel/client_mgr.h"
#include "tunnel/wire_format.h"

using namespace murvik;

namespace {

void DecodeEverything(std::uint8_t* d, std::size_t n) {
  (void)wire::ReadHeader(d, n);
  (void)wire::IsValidDatagram(d, n);
  (void)wire::DecodeRegChallenge(d, n);
  (void)wire::DecodeRedirect(d, n);
  (void)wire::DecodeQueryIOServerAck(d, n);
  (void)wire::DecodeParamAck(d, n);
  (void)wire::DecodeNakExReason(d, n);
  (void)wire::DecodeComData(d, n);
  (void)wire::DecodeComDataAck(d, n);
  (void)wire::DecodeComConfigAck(d, n);
  (void)wire::DecodeNetData(d, n);
  (void)wire::DecodeNetConfigAck(d, n);
  (void)wire::DecodeInfoAck(d, n);
}

// Packets that walk a session from registration to online, so the fuzzer starts deep.
std::vector<std::vector<std::uint8_t>> Prefix(int depth) {
  auto packet = [](std::uint16_t cmd, std::vector<std::uint8_t> payload) {
    std::vector<std::uint8_t> b(16 + payload.size());
    wire::WriteHeader(b.data(), wire::Header{1, 0, 0, cmd, static_cast<std::uint16_t>(payload.size())});
    if (!payload.empty()) std::memcpy(b.data() + 16, payload.data(), payload.size());
    return b;
  };
  std::vector<std::vector<std::uint8_t>> out;
  if (depth >= 1) out.push_back(packet(wire::REG_CHALLENGE, std::vector<std::uint8_t>(128, 7)));
  if (depth >= 2) out.push_back(packet(wire::REG_OK, {}));
  if (depth >= 3) out.push_back(packet(wire::QUERY_IOSERVER_ACK, {0, 0, 1, 0, 1, 0, 0, 0, 9, 0, 0, 0}));
  if (depth >= 4) {
    std::vector<std::uint8_t> p(35, 0);
    std::memcpy(p.data(), "DLXK2", 5);
    p[32] = 31;
    out.push_back(packet(wire::PARAM_ACK, p));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static platform::ManualLoop loop;
  ClientServices().loop = &loop;
  auto session = TClientMgr::CreateIOServer(data[0] & 1);
  for (auto& c : session->channels) c->USE = 0;
  session->LOGNAME = "127.0.0.1";
  session->LOGPORT = 9;  // discard: nothing answers
  if (!session->Start()) return 0;
  for (auto& p : Prefix((data[0] >> 1) % 5)) session->Dispatch(p.data(), p.size());

  // The rest: [2-byte size][1-byte time step][datagram]...
  std::size_t i = 1;
  std::uint8_t buf[1600];
  while (i + 3 <= size) {
    std::size_t n = (data[i] | (data[i + 1] << 8)) % sizeof buf;
    std::uint32_t step = data[i + 2] * 40u;
    i += 3;
    n = std::min(n, size - i);
    if (n) std::memcpy(buf, data + i, n);
    i += n;
    DecodeEverything(buf, n);
    session->Dispatch(buf, n);
    loop.Advance(step);
  }
  session->Stop();
  return 0;
}
