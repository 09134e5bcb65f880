// Cost of one debug log call: the datagram build and send on the data paths.
#include <benchmark/benchmark.h>

#include "diagnostics/server_log.h"
#include "platform/net.h"

static void BM_LogFixedText(benchmark::State& state) {
  murvik::TServerLog log;
  log.Open(murvik::TServerLog::kSourceId, 39910);  // nobody listens: the datagram is sent and lost
  for (auto _ : state) log.Log(3, "DoPingIOServerAck():SeqID=12, time=123456789\r\n");
}
BENCHMARK(BM_LogFixedText);

static void BM_LogFormattedFrameLine(benchmark::State& state) {
  murvik::ServerLog().Open(murvik::TServerLog::kSourceId, 39911);
  int seq = 0;
  for (auto _ : state) murvik::LogF(0, "[COM%d]Send Data To IOServer, SEQ_ID=%d, Len=%d", 1, ++seq, 64);
}
BENCHMARK(BM_LogFormattedFrameLine);

// Baseline: the one sendto of a datagram the size of the fixed-text line, without the build.
static void BM_BareSendtoBaseline(benchmark::State& state) {
  murvik::platform::UdpSocket s;
  s.Open();
  murvik::platform::SockAddrV4 to{murvik::platform::Ipv4FromText("127.0.0.1"), 39912};
  unsigned char buf[18 + 2 * 48] = {};
  for (auto _ : state) s.SendTo(to, buf, sizeof buf);
}
BENCHMARK(BM_BareSendtoBaseline);

static void BM_LogClosedSender(benchmark::State& state) {
  murvik::TServerLog log;
  for (auto _ : state) log.Log(3, "DoPingIOServerAck():SeqID=12, time=123456789\r\n");
}
BENCHMARK(BM_LogClosedSender);

BENCHMARK_MAIN();
