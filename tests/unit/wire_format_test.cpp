#include "tunnel/wire_format.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace murvik::wire {
namespace {

using B = std::vector<std::uint8_t>;

B Slice(const B& b, std::size_t from, std::size_t to) { return B(b.begin() + from, b.begin() + to); }

B Datagram(std::uint16_t command, const B& payload) {
  B b(16 + payload.size(), 0);
  WriteHeader(b.data(), Header{0, 0, 0, command, static_cast<std::uint16_t>(payload.size())});
  std::copy(payload.begin(), payload.end(), b.begin() + 16);
  return b;
}

TEST(WireFormat, RegisterLayout) {
  B b = EncodeRegister("12345678901", "TC0123456789AB");
  ASSERT_EQ(b.size(), 144u);
  EXPECT_EQ(Slice(b, 0, 12), B(12, 0));
  EXPECT_EQ(Slice(b, 12, 16), (B{0x0C, 0x80, 0x80, 0x00}));
  EXPECT_EQ(b[16], '1');
  EXPECT_EQ(b[17], 0);
  EXPECT_EQ(b[36], '1');
  EXPECT_EQ(Slice(b, 38, 80), B(42, 0));
  EXPECT_EQ(b[80], 'T');
  EXPECT_EQ(b[106], 'B');
  EXPECT_EQ(Slice(b, 108, 112), B(4, 0));
  EXPECT_EQ(Slice(b, 112, 116), (B{0x5A, 0xA5, 0x01, 0x40}));
  EXPECT_EQ(Slice(b, 116, 144), B(28, 0));
}

TEST(WireFormat, OverlongTextsKeepTheirTerminator) {
  B b = EncodeRegister(std::string(40, '9'), std::string(20, 'N'));
  EXPECT_EQ(b[16 + 60], '9');  // the 31st character
  EXPECT_EQ(Slice(b, 78, 80), B(2, 0));
  EXPECT_EQ(b[80 + 28], 'N');
  EXPECT_EQ(Slice(b, 110, 112), B(2, 0));
}

TEST(WireFormat, FixedPackets) {
  struct Case {
    const char* name;
    B bytes;
    B expected;
  };
  const std::vector<Case> cases = {
      {"QUERY_IOSERVER", EncodeQueryIOServer(0x01020304),
       {0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x80, 0x04, 0x00, 0x00, 0x00, 0x10, 0x00}},
      {"PING", EncodePing(7), {0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0x00, 0xAF, 0, 0}},
      {"goodbye NAK", EncodeGoodbyeNak(9), {9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF, 0, 0}},
      {"COM_DATA_ACK", EncodeComDataAck(0x0A0B0C0D, 2),
       {0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 0x02, 0xA0, 1, 0, 2}},
      {"COM_CONFIG", EncodeComConfig(1, 2, 1),
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0xA0, 6, 0, 1, 0, 2, 0, 1, 0}},
      {"GET_PORT_INFO", EncodeNetGetPortInfo(),
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0xA1, 4, 0, 0x20, 0, 1, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.bytes, c.expected) << c.name;

  B setIp = EncodeNetSetIp(0x0101A8C0, 0x00FFFFFF, 0x0A01A8C0, 0x1401A8C0);
  ASSERT_EQ(setIp.size(), 112u);
  EXPECT_EQ(Slice(setIp, 12, 20), (B{0x10, 0xA1, 96, 0, 0x20, 0, 0, 0}));
  EXPECT_EQ(Slice(setIp, 32, 48), (B{192, 168, 1, 1, 255, 255, 255, 0, 192, 168, 1, 10, 192, 168, 1, 20}));
  EXPECT_EQ(Slice(setIp, 48, 112), B(64, 0));
}

TEST(WireFormat, ComDataLineFormats) {
  struct Case {
    const char* name;
    LineSettings line;
    std::uint8_t channel;
    B data;
    B expectedPrefix;  // bytes 16.. before the data
  };
  const std::vector<Case> cases = {
      {"9600 8E1 COM2", {9600, 8, 2, 0}, 1, {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16}, {0x01, 0x47, 0x60}},
      {"57600 7N2 COM1", {57600, 7, 0, 2}, 0, {0x55}, {0x00, 0x80, 0x00, 0xE1, 0x00, 0x08, 0x00}},
      {"110 8O1.5", {110, 8, 1, 1}, 2, {1}, {0x02, 0x40, 0x54}},
      {"256000 odd sizes", {256000, 5, 4, 0}, 0, {1}, {0x00, 0x4F, 0x00}},
  };
  for (const auto& c : cases) {
    std::uint8_t out[600];
    std::size_t n = EncodeComData(out, sizeof out, 5, c.channel, c.line, c.data.data(), c.data.size());
    ASSERT_EQ(n, 16 + c.expectedPrefix.size() + c.data.size()) << c.name;
    auto h = *ReadHeader(out, n);
    EXPECT_EQ(h.command, COM_DATA) << c.name;
    EXPECT_EQ(h.seqId, 5u) << c.name;
    EXPECT_EQ(h.length, c.expectedPrefix.size() + c.data.size()) << c.name;
    B prefix(out + 16, out + 16 + c.expectedPrefix.size());
    EXPECT_EQ(prefix, c.expectedPrefix) << c.name;
    EXPECT_EQ(B(out + 16 + c.expectedPrefix.size(), out + n), c.data) << c.name;
  }
  std::uint8_t small[19];  // one short of the 20 bytes needed
  std::uint8_t byte = 1;
  EXPECT_EQ(EncodeComData(small, sizeof small, 1, 0, {}, &byte, 1), 0u) << "must not overrun the buffer";
  std::vector<std::uint8_t> big(513, 1);
  std::vector<std::uint8_t> room(600);
  EXPECT_EQ(EncodeComData(room.data(), room.size(), 1, 0, {}, big.data(), 0), 0u) << "no empty frames";
  EXPECT_EQ(EncodeComData(room.data(), room.size(), 1, 0, {}, big.data(), 513), 0u) << "at most 512 bytes";
}

TEST(WireFormat, SizeCheck) {
  B ok = Datagram(REG_OK, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(IsValidDatagram(ok.data(), ok.size()));
  B bad(20, 0);
  Put16(bad.data() + 14, 8);
  EXPECT_FALSE(IsValidDatagram(bad.data(), bad.size()));
  EXPECT_FALSE(IsValidDatagram(bad.data(), 15));
}

TEST(WireFormat, QueryAckAndConfigAckMeanings) {
  auto ack = [](std::uint16_t first, std::uint16_t count, std::uint16_t total) {
    B p(12, 0);
    Put16(p.data(), first);
    Put16(p.data() + 2, count);
    Put16(p.data() + 4, total);
    Put32(p.data() + 8, 4321);
    B d = Datagram(QUERY_IOSERVER_ACK, p);
    return *DecodeQueryIOServerAck(d.data(), d.size());
  };
  EXPECT_TRUE(ack(0, 1, 1).found());
  EXPECT_EQ(ack(0, 1, 1).firstId, 4321u);
  EXPECT_TRUE(ack(0, 0, 0).notPresent());
  EXPECT_FALSE(ack(0, 2, 2).found());
  EXPECT_FALSE(ack(0, 2, 2).notPresent());

  auto cfg = [](B payload) {
    B d = Datagram(COM_CONFIG_ACK, payload);
    return DecodeComConfigAck(d.data(), d.size())->result;
  };
  EXPECT_EQ(cfg({1, 0}), ComConfigAck::Accepted);
  EXPECT_EQ(cfg({1, 0, 5, 0}), ComConfigAck::Refused);
  EXPECT_EQ(cfg({1, 0, 0, 0, 9}), ComConfigAck::Accepted);
  EXPECT_EQ(cfg({1, 0, 5}), ComConfigAck::Ignored);
}

TEST(WireFormat, DecodersRefuseDatagramsTooShortForTheirFields) {
  struct Case {
    const char* name;
    std::uint16_t command;
    std::size_t need;  // payload bytes the decoder reads
    std::function<bool(std::uint8_t*, std::size_t)> decodes;
  };
  const std::vector<Case> cases = {
      {"REG_CHALLENGE", REG_CHALLENGE, 128, [](auto* d, auto n) { return DecodeRegChallenge(d, n).has_value(); }},
      {"REDIRECT", REDIRECT, 17, [](auto* d, auto n) { return DecodeRedirect(d, n).has_value(); }},
      {"QUERY_IOSERVER_ACK", QUERY_IOSERVER_ACK, 12,
       [](auto* d, auto n) { return DecodeQueryIOServerAck(d, n).has_value(); }},
      {"PARAM_ACK", PARAM_ACK, 35, [](auto* d, auto n) { return DecodeParamAck(d, n).has_value(); }},
      {"NAK_EX", NAK_EX, 2, [](auto* d, auto n) { return DecodeNakExReason(d, n).has_value(); }},
      {"COM_DATA", COM_DATA_FROM_MODULE, 1, [](auto* d, auto n) { return DecodeComData(d, n).has_value(); }},
      {"COM_DATA_ACK", COM_DATA_ACK_FROM_MODULE, 1, [](auto* d, auto n) { return DecodeComDataAck(d, n).has_value(); }},
      {"COM_CONFIG_ACK", COM_CONFIG_ACK, 2, [](auto* d, auto n) { return DecodeComConfigAck(d, n).has_value(); }},
      {"NET_DATA", NET_DATA_FROM_MODULE, 16, [](auto* d, auto n) { return DecodeNetData(d, n).has_value(); }},
      {"NET_CONFIG_ACK", NET_CONFIG_ACK, 4, [](auto* d, auto n) { return DecodeNetConfigAck(d, n).has_value(); }},
  };
  for (const auto& c : cases) {
    B shortOne = Datagram(c.command, B(c.need - 1, 0));
    B enough = Datagram(c.command, B(c.need, 0));
    EXPECT_FALSE(c.decodes(shortOne.data(), shortOne.size())) << c.name;
    EXPECT_TRUE(c.decodes(enough.data(), enough.size())) << c.name;
    // A length field that claims more than arrived must not be believed.
    Put16(shortOne.data() + 14, static_cast<std::uint16_t>(c.need + 100));
    EXPECT_FALSE(c.decodes(shortOne.data(), shortOne.size())) << c.name;
  }
  B portInfo = Datagram(NET_CONFIG_ACK, {0, 0, 1, 0, 0, 0, 1, 2, 3, 4, 5});  // 11 bytes: no room for the MAC
  EXPECT_FALSE(DecodeNetConfigAck(portInfo.data(), portInfo.size()));
  portInfo = Datagram(NET_CONFIG_ACK, {0, 0, 1, 0, 0, 0, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
  auto mac = DecodeNetConfigAck(portInfo.data(), portInfo.size());
  ASSERT_TRUE(mac);
  EXPECT_EQ(mac->mac, (std::array<std::uint8_t, 6>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
}

TEST(WireFormat, TextFields) {
  B redirect(17, 0);
  for (char c : std::string("relay.example:7251")) redirect.push_back(static_cast<std::uint8_t>(c));
  redirect.push_back(0);
  redirect.push_back('x');
  B d = Datagram(REDIRECT, redirect);
  EXPECT_EQ(*DecodeRedirect(d.data(), d.size()), "relay.example:7251");
  d.pop_back();
  d.pop_back();
  Put16(d.data() + 14, static_cast<std::uint16_t>(d.size() - 16));
  EXPECT_EQ(*DecodeRedirect(d.data(), d.size()), "relay.example:7251") << "unterminated text ends with the datagram";

  B param(35, 0);
  std::string full = "0123456789ABCDEF";  // 16 characters, no terminator in the field
  std::copy(full.begin(), full.end(), param.begin());
  Put16(param.data() + 32, 31);
  param[34] = 1;
  d = Datagram(PARAM_ACK, param);
  auto p = *DecodeParamAck(d.data(), d.size());
  EXPECT_EQ(p.devType, full);
  EXPECT_EQ(p.devSubType, "");
  EXPECT_EQ(p.firmware, 31);
  EXPECT_EQ(p.features, 1);

  B info = {0, 0, 0, 0};
  for (char c : std::string("a\nb\n\nlast")) info.push_back(static_cast<std::uint8_t>(c));
  d = Datagram(INFO_ACK, info);
  EXPECT_EQ(DecodeInfoAck(d.data(), d.size())->lines, (std::vector<std::string>{"a", "b", ""}));
}

// Plain MD5 over whole messages, built on the compression step, to check that step against the
// published digests.
std::array<std::uint8_t, 16> PlainMd5(const B& message) {
  std::uint32_t st[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  B m = message;
  std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 0; i < 8; ++i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  for (std::size_t off = 0; off < m.size(); off += 64) Md5Compress(st, m.data() + off);
  std::array<std::uint8_t, 16> out;
  for (int i = 0; i < 4; ++i) Put32(out.data() + 4 * i, st[i]);
  return out;
}

std::string Hex(const std::array<std::uint8_t, 16>& d) {
  static const char* x = "0123456789abcdef";
  std::string s;
  for (auto b : d) {
    s += x[b >> 4];
    s += x[b & 15];
  }
  return s;
}

TEST(ChallengeDigest, CompressionStepMatchesPublishedMd5) {
  EXPECT_EQ(Hex(PlainMd5({})), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(PlainMd5({'a', 'b', 'c'})), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(ChallengeDigest, OneStepFromTheSessionKeyOverChallengeAndPassword) {
  Challenge ch;
  for (int i = 0; i < 32; ++i) ch[i] = static_cast<std::uint8_t>(0xA0 + i);
  Digest d = ChallengeDigest(ch, "pass");

  B block(ch.begin(), ch.end());
  for (char c : std::string("pass")) {
    block.push_back(static_cast<std::uint8_t>(c));
    block.push_back(0);
  }
  block.resize(64, 0);
  std::uint32_t st[4] = {0x3a0fd16e, 0xb4589c27, 0x0dc571e2, 0x164a9f83};
  Md5Compress(st, block.data());
  Digest expected;
  for (int i = 0; i < 4; ++i) Put32(expected.data() + 4 * i, st[i]);
  EXPECT_EQ(d, expected);

  EXPECT_NE(ChallengeDigest(ch, "pasS"), d);
  EXPECT_NE(Hex(PlainMd5(block)), Hex(d));
  EXPECT_EQ(ChallengeDigest(ch, std::string(15, 'p')), ChallengeDigest(ch, std::string(20, 'p')))
      << "only the first 15 characters fit before the terminator";
}

}  // namespace
}  // namespace murvik::wire
