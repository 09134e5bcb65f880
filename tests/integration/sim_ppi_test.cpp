// murvik-sim's PPI station backend ("ppi", "ppi:ADDR") against a scripted PC that talks the
// tunnel protocol directly: the PPI frames it puts in COM_DATA and the frames the station sends
// back, byte by byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "integration/sim_pc.h"
#include "integration/sim_process.h"
#include "platform/net.h"
#include "tunnel/wire_format.h"

namespace {

namespace wire = murvik::wire;
using murvik::platform::SockAddrV4;
using murvik::test::SimProcess;
using Bytes = std::vector<std::uint8_t>;

const std::string kSn = "12345678901";
const std::string kPassword = "secret";
constexpr std::uint32_t kModuleId = 1000;
constexpr std::uint16_t kComDataFromModule = 0xA001;
constexpr std::uint16_t kComDataAckFromModule = 0xA003;
constexpr std::uint16_t kPingAck = 0xAF01;

using murvik::test::Le16;
using murvik::test::Le32;

std::uint8_t Sum(const Bytes& d, std::size_t from, std::size_t to) {
  std::uint8_t s = 0;
  for (std::size_t i = from; i < to; ++i) s = static_cast<std::uint8_t>(s + d[i]);
  return s;
}
Bytes Sd1(std::uint8_t da, std::uint8_t sa, std::uint8_t fc) {
  Bytes f = {0x10, da, sa, fc};
  f.push_back(Sum(f, 1, 4));
  f.push_back(0x16);
  return f;
}
Bytes Sd2(std::uint8_t da, std::uint8_t sa, std::uint8_t fc, const Bytes& pdu) {
  const auto le = static_cast<std::uint8_t>(3 + pdu.size());
  Bytes f = {0x68, le, le, 0x68, da, sa, fc};
  f.insert(f.end(), pdu.begin(), pdu.end());
  f.push_back(Sum(f, 4, f.size()));
  f.push_back(0x16);
  return f;
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Cut(Bytes f, std::size_t drop) {
  f.resize(f.size() - drop);
  return f;
}
Bytes BadFcs(Bytes f) {
  ++f[f.size() - 2];
  return f;
}

// From the master (0) to a station: FDL status, a poll, an S7 job reading two bytes at VB100
// (PDU reference 12 34), an S7 user data request reading SZL 0x0011 (reference 00 05).
Bytes FdlStatus(std::uint8_t da) { return Sd1(da, 0x00, 0x49); }
Bytes Poll(std::uint8_t da, std::uint8_t fc = 0x5C) { return Sd1(da, 0x00, fc); }
const Bytes kReadJobPdu = {0x32, 0x01, 0x00, 0x00, 0x12, 0x34, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                           0x12, 0x0A, 0x10, 0x02, 0x00, 0x02, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20};
const Bytes kUserDataPdu = {0x32, 0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00, 0x08, 0x00, 0x01, 0x12,
                            0x04, 0x11, 0x44, 0x01, 0x00, 0xFF, 0x09, 0x00, 0x04, 0x00, 0x11, 0x00, 0x00};
Bytes Job(std::uint8_t da) { return Sd2(da, 0x00, 0x6C, kReadJobPdu); }
Bytes UserData(std::uint8_t da) { return Sd2(da, 0x00, 0x6C, kUserDataPdu); }

// What station 2 answers. The job's response, written out: ROSCTR 3, the job's reference 12 34,
// read var of one item: FF 04, 16 bits, the pattern bytes 64 65 of byte address 100; FCS 6E.
const Bytes kE5 = {0xE5};
const Bytes kFdlReply2 = {0x10, 0x00, 0x02, 0x00, 0x02, 0x16};
const Bytes kJobResponse2 = {0x68, 0x17, 0x17, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x12, 0x34, 0x00, 0x02,
                             0x00, 0x06, 0x00, 0x00, 0x04, 0x01, 0xFF, 0x04, 0x00, 0x10, 0x64, 0x65, 0x6E, 0x16};
const Bytes kUserDataResponse2 =
    Sd2(0x00, 0x02, 0x08, {0x32, 0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0C, 0x00, 0x04, 0x00, 0x01, 0x12,
                           0x08, 0x12, 0x84, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00});

// The PC side of one session, in download mode: every COM_DATA of the module is acknowledged.
class Pc : public murvik::test::SimPc {
 public:
  bool Register(std::uint16_t port) {
    return SimPc::Register(port, kSn, kPassword, [this](std::uint16_t) { return Next(); });
  }
  bool Configure(std::uint16_t plcType, std::uint16_t transMode = 1) {
    ToModule(wire::EncodeComConfig(0, plcType, transMode));
    auto ack = Next();
    return ack && ack->size() == 20 && Le16(*ack, 12) == 0xA011 && Le16(*ack, 18) == 0;
  }

  // Puts `line` on COM1 as one COM_DATA and answers the data of every COM_DATA the module sends
  // back, in order, until it falls silent (each of them acknowledged, which releases the next).
  std::vector<Bytes> Exchange(const Bytes& line) {
    std::vector<Bytes> out;
    Put(line);
    for (bool more = true; more;) {
      more = false;
      ToModule(wire::EncodePing(++pingSeq_));
      while (auto p = Next()) {
        const std::uint16_t command = Le16(*p, 12);
        if (command == kPingAck && Le32(*p, 8) == pingSeq_) break;
        if (command != kComDataFromModule || !seen_.insert(Le32(*p, 8)).second) continue;  // resent
        EXPECT_EQ(Le32(*p, 0), sid);
        EXPECT_EQ(Le32(*p, 4), kModuleId);
        EXPECT_EQ((*p)[16], 0);  // COM1
        out.emplace_back(p->begin() + 17, p->end());
        ToModule(wire::EncodeComDataAck(Le32(*p, 8), 0));
        more = true;
      }
    }
    return out;
  }

  // One COM_DATA on COM1, answers left unread.
  void Put(const Bytes& line) {
    Bytes d(23 + line.size());
    d.resize(wire::EncodeComData(d.data(), d.size(), ++seq_, 0, wire::LineSettings{9600, 8, 2, 0}, line.data(),
                                 line.size()));
    ToModule(d);
  }
  void Drain() {
    Bytes b(2048);
    SockAddrV4 from;
    while (socket_.Receive(b.data(), b.size(), &from, -1, 0) >= 0) {
    }
  }

 private:
  std::optional<Bytes> Next() {
    auto b = Receive(5000);
    if (b && Le16(*b, 12) == kComDataAckFromModule) return Next();
    return b;
  }

  std::uint32_t seq_ = 0;
  std::uint32_t pingSeq_ = 4000;
  std::set<std::uint32_t> seen_;
};

// Every SD2 the station sends is well framed, carries a correct FCS and the PDU reference of the
// request it answers.
void ExpectValidResponse(const Bytes& f, const Bytes& request) {
  ASSERT_GE(f.size(), 13u);
  EXPECT_EQ(f[1], f.size() - 6);
  EXPECT_EQ(f[2], f[1]);
  EXPECT_EQ(f[3], 0x68);
  EXPECT_EQ(f[4], request[5]);  // back to the master
  EXPECT_EQ(f[5], request[4]);  // from the station asked
  EXPECT_EQ(f[8], request[8] == 0x01 ? 0x03 : request[8]);
  EXPECT_EQ(Bytes(f.begin() + 11, f.begin() + 13), Bytes(request.begin() + 11, request.begin() + 13));
  EXPECT_EQ(f[f.size() - 2], Sum(f, 4, f.size() - 2));
  EXPECT_EQ(f.back(), 0x16);
}

struct Step {
  Bytes line;               // from the PC in one COM_DATA
  std::vector<Bytes> back;  // the data of the module's COM_DATA, in order
};
struct PpiCase {
  const char* name;
  std::string com1;
  std::uint16_t plcType;
  std::vector<Step> steps;
  std::vector<std::pair<const char*, int>> counters;  // of the port's "device" stats
};

void PrintTo(const PpiCase& c, std::ostream* os) { *os << c.name; }

class SimPpi : public ::testing::TestWithParam<PpiCase> {};

TEST_P(SimPpi, AnswersOnTheLine) {
  const PpiCase& c = GetParam();
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", "sn=" + kSn + ",password=" + kPassword + ",com1=" + c.com1})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  ASSERT_TRUE(pc.Configure(c.plcType));
  Bytes lastRequest;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    const std::vector<Bytes> back = pc.Exchange(s.line);
    EXPECT_EQ(back, s.back) << "step " << i;
    if (s.line[0] == 0x68) lastRequest = s.line;
    for (const Bytes& f : back)
      if (f[0] == 0x68) ExpectValidResponse(f, lastRequest);
  }
  auto stats = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
  ASSERT_TRUE(stats.is_object());
  const auto& port = stats["modules"][0]["ports"][0];
  EXPECT_EQ(port["backend"], "ppi");
  for (const auto& [key, value] : c.counters) EXPECT_EQ(port["device"].value(key, -1), value) << key;
  EXPECT_EQ(sim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Station, SimPpi,
    ::testing::Values(
        PpiCase{"FdlStatus", "ppi", 1, {{FdlStatus(2), {kFdlReply2}}}, {{"station", 2}, {"fdl_status", 1}}},
        PpiCase{"JobAcknowledgedThenAnsweredAtThePoll",
                "ppi",
                1,
                {{Job(2), {kE5}}, {Poll(2), {kJobResponse2}}, {Poll(2, 0x7C), {kE5}}},
                {{"jobs", 1}, {"polls", 2}, {"responses", 1}, {"short_acks", 2}, {"module_polls", 0}}},
        PpiCase{"UserDataAcknowledgedThenAnsweredAtThePoll",
                "ppi",
                1,
                {{UserData(2), {kE5}}, {Poll(2, 0x7C), {kUserDataResponse2}}},
                {{"user_data", 1}, {"responses", 1}}},
        // PlcType 2: the module polls for the PC, which forwards no poll after ROSCTR 1 or 7.
        PpiCase{"ModulePollsForTheS7200Assistance",
                "ppi",
                2,
                {{Job(2), {kE5, kJobResponse2}}, {UserData(2), {kE5, kUserDataResponse2}}, {Poll(2), {kE5}}},
                {{"module_polls", 2}, {"responses", 2}, {"polls", 1}}},
        PpiCase{"OtherStationsGetNoAnswer",
                "ppi",
                1,
                {{FdlStatus(3), {}}, {Job(3), {}}, {Poll(3), {}}, {FdlStatus(127), {}}},
                {{"other_station", 4}, {"frames", 4}}},
        PpiCase{"AddressFromTheOption",
                "ppi:3",
                1,
                {{FdlStatus(3), {Sd1(0x00, 0x03, 0x00)}}, {FdlStatus(2), {}}, {Job(2), {}}},
                {{"station", 3}, {"fdl_status", 1}, {"other_station", 2}}},
        PpiCase{"BadFcsIgnored",
                "ppi",
                1,
                {{BadFcs(FdlStatus(2)), {}}, {BadFcs(Job(2)), {}}, {Poll(2), {kE5}}},
                {{"bad_fcs", 2}, {"jobs", 0}}},
        PpiCase{"TooShortIgnored",
                "ppi",
                1,
                {{Cut(FdlStatus(2), 2), {}}, {Cut(Job(2), 1), {}}, {{0x68, 0x1B}, {}}, {Sd2(2, 0, 0x6C, {}), {}}},
                {{"too_short", 4}, {"frames", 0}}},
        // Badly framed: LE and LEr differ, no end byte, no start delimiter.
        PpiCase{"BadFramesIgnored",
                "ppi",
                1,
                {{[] {
                    Bytes f = Job(2);
                    ++f[2];
                    return f;
                  }(),
                  {}},
                 {Cat(Cut(FdlStatus(2), 1), {0x17}), {}},
                 {{0x55}, {}}},
                {{"bad_frames", 3}}},
        // One burst carrying two frames gets two answers, each in its own COM_DATA.
        PpiCase{"FramesBackToBack",
                "ppi",
                1,
                {{Cat(FdlStatus(2), Poll(2)), {kFdlReply2, kE5}}},
                {{"frames", 2}, {"fdl_status", 1}, {"polls", 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random bursts, most of them well framed for station 2 and carrying S7 headers, so that they
// reach the station's PDU handling; the station must survive them (the sanitizer build checks
// its memory use) and count what it saw.
TEST(SimPpi, SurvivesRandomBursts) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--module", "sn=" + kSn + ",password=" + kPassword + ",com1=ppi"})) << sim.error;
  Pc pc;
  ASSERT_TRUE(pc.Register(sim.loginPort));
  ASSERT_TRUE(pc.Configure(2, 0));  // transparent: nothing to acknowledge
  std::uint32_t state = 4242;
  auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
  auto byte = [&] { return static_cast<std::uint8_t>(next()); };
  for (int i = 0; i < 2000; ++i) {
    Bytes line;
    switch (next() % 4) {
      case 0: {  // an S7 job or user data with small random lengths and parameters
        Bytes pdu = {0x32, next() % 2 ? std::uint8_t{1} : std::uint8_t{7}, 0, 0, byte(), byte(), 0, byte(), 0, byte()};
        pdu[7] %= 40;
        pdu[9] %= 8;
        const std::uint8_t functions[] = {0x04, 0x05, 0xF0, byte()};
        pdu.push_back(functions[next() % 4]);
        pdu.push_back(static_cast<std::uint8_t>(next() % 4));
        for (std::size_t n = next() % 60; n > 0; --n) pdu.push_back(next() % 3 ? byte() : std::uint8_t{0x12});
        if (pdu[1] == 1 && pdu[10] == 0x04 && next() % 2) {  // a read var with whole random items
          pdu.resize(12);
          pdu[7] = static_cast<std::uint8_t>(2 + 12 * pdu[11]);
          pdu[9] = 0;
          for (std::uint8_t k = 0; k < pdu[11]; ++k) {
            const auto type = static_cast<std::uint8_t>(next() % 10);
            const auto count = static_cast<std::uint8_t>(next() % 3 ? next() % 8 : next());
            pdu.insert(pdu.end(), {0x12, 0x0A, 0x10, type, 0, count, 0, 1, 0x84, byte(), byte(), byte()});
          }
        }
        line = Sd2(2, 0, 0x6C, pdu);
        break;
      }
      case 1:
        line = next() % 2 ? Poll(2) : FdlStatus(2);
        break;
      case 2:
        for (std::size_t n = 1 + next() % 40; n > 0; --n) line.push_back(byte());
        line[0] = std::array<std::uint8_t, 4>{0x10, 0x68, 0xDC, 0xE5}[next() % 4];
        break;
      default:
        line = Cut(Job(2), 1 + next() % 20);
        break;
    }
    if (next() % 8 == 0) line = Cat(line, Poll(2));
    pc.Put(line);
    pc.Drain();
  }
  EXPECT_FALSE(pc.Exchange(FdlStatus(2)).empty());
  auto stats = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
  const auto& device = stats["modules"][0]["ports"][0]["device"];
  EXPECT_GT(device.value("jobs", 0) + device.value("user_data", 0), 100);
  EXPECT_GT(device.value("too_short", 0), 100);
  EXPECT_GT(device.value("responses", 0), 100);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimPpiOption, AcceptsStationAddressesUpTo126) {
  const std::pair<std::string, int> good[] = {{"ppi", 2}, {"ppi:0", 0}, {"ppi:126", 126}, {"ppi:007", 7}};
  for (const auto& [kind, address] : good) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--module", "sn=" + kSn + ",password=" + kPassword + ",com2=" + kind})) << kind;
    auto stats = nlohmann::json::parse(sim.Command("stats"), nullptr, false);
    EXPECT_EQ(stats["modules"][0]["ports"][1]["device"]["station"], address) << kind;
    EXPECT_EQ(sim.Stop(), 0);
  }
  for (const std::string kind : {"ppi:127", "ppi:", "ppi:x", "ppi:-1", "ppi:1000", "ppi2", "PPI"}) {
    SimProcess sim;
    EXPECT_FALSE(sim.Start({"--module", "sn=" + kSn + ",password=" + kPassword + ",com2=" + kind})) << kind;
  }
}

}  // namespace
