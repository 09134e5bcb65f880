// The serial path end to end: bytes a PLC program writes to a visible port travel through murvikd,
// murvik-sim's echo port and back; beside it socat bridges a pty and a UDP echo on loopback. The
// same code measures both in one run: round-trip latency (transparent and download mode), bulk
// throughput with a bounded window, and CPU time per MB of each path's processes. The paths take
// turns in rounds, so load from elsewhere on the machine falls on both alike. One JSON object goes
// to stdout, a table to stderr.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "serial_paths.h"
#include "serial_port_io.h"
#include "serial_procs.h"

using namespace murvik::bench;
using Json = nlohmann::ordered_json;
namespace platform = murvik::platform;

namespace {

constexpr int kWarmup = 20;  // round trips per round before the recorded ones

void OnSignal(int) { g_stop = 1; }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

// CPU milliseconds per unit, by process and in total.
Json CpuPer(const Usage& used, double units) {
  Json j = Json::object();
  double total = 0;
  for (const auto& [name, s] : used.cpu) {
    total += s;
    j[name] = units > 0 ? 1000 * s / units : 0.0;
  }
  j["total"] = units > 0 ? 1000 * total / units : 0.0;
  return j;
}

std::map<std::string, long long> FarCounters(const Path& path) {
  std::map<std::string, long long> m;
  if (path.farCounters)
    for (const auto& [k, v] : path.farCounters()) m[k] = v;
  return m;
}

// ------------------------------------------------------------------ latency

struct LatencyAcc {
  std::vector<double> us;
  int timeouts = 0, wrong = 0, trips = 0;
  double seconds = 0;
  Usage usage;
};

// Round trips of one chunk size, one at a time; a chunk that does not return counts as a time-out.
void LatencyRound(const Path& path, std::size_t size, int count, LatencyAcc& acc) {
  Bytes chunk(size), back(size);
  Drain(path.fd, 30);
  const Usage before = Usage::Of(path.procs);
  const auto t0 = Clock::now();
  for (int i = -kWarmup; i < count && !g_stop && acc.timeouts < 10; ++i) {
    const int salt = static_cast<int>(acc.us.size()) + i;
    for (std::size_t j = 0; j < size; ++j) chunk[j] = static_cast<std::uint8_t>(salt * 31 + static_cast<int>(j) * 7 + 1);
    ++acc.trips;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(kRoundTripLimitMs);
    if (!WriteAll(path.fd, chunk.data(), size, deadline) || !ReadExactly(path.fd, back.data(), size, deadline)) {
      ++acc.timeouts;
      Drain(path.fd, 200);
      continue;
    }
    const double t = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (back != chunk) {
      ++acc.wrong;
      Drain(path.fd, 200);
      continue;
    }
    if (i >= 0) acc.us.push_back(t);
  }
  acc.seconds += Seconds(Clock::now() - t0);
  acc.usage.Add(before, Usage::Of(path.procs));
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, at == 0 ? 0 : at - 1)];
}

Json Summary(const LatencyAcc& a) {
  Json j;
  j["samples"] = a.us.size();
  j["median_us"] = Percentile(a.us, 0.5);
  j["p90_us"] = Percentile(a.us, 0.9);
  j["p99_us"] = Percentile(a.us, 0.99);
  j["max_us"] = a.us.empty() ? 0.0 : *std::max_element(a.us.begin(), a.us.end());
  j["timeouts"] = a.timeouts;
  j["wrong"] = a.wrong;
  j["seconds"] = a.seconds;
  j["cpu_us_per_round_trip"] = CpuPer(a.usage, a.trips / 1000.0);
  j["udp_drops"] = a.usage.drops;
  return j;
}

// ------------------------------------------------------------------ throughput

struct ThroughputAcc {
  std::uint64_t sent = 0, back = 0;
  int stalls = 0, damagedRounds = 0;
  double seconds = 0;
  Usage usage;
  std::map<std::string, long long> far;
};

// The byte at position i of the bulk stream; varies within and across 512-byte frames.
std::uint8_t StreamByte(std::uint64_t i) {
  std::uint32_t x = static_cast<std::uint32_t>(i) ^ static_cast<std::uint32_t>(i >> 32);
  x ^= x >> 7;
  x *= 0x9E3779B1u;
  return static_cast<std::uint8_t>(x >> 24);
}

// Writes for `seconds` with at most `window` bytes outstanding, then waits for the tail. Bytes
// that do not come back within 1 s while the window is full are written off, so that one lost
// frame does not end the round.
void ThroughputRound(const Path& path, std::size_t window, double seconds, ThroughputAcc& acc) {
  Drain(path.fd, 30);
  const auto farBefore = FarCounters(path);
  const Usage before = Usage::Of(path.procs);
  std::uint64_t sent = 0, back = 0, writtenOff = 0;
  bool damaged = false;
  std::uint8_t out[4096], in[65536];
  const auto t0 = Clock::now();
  const auto endWrite = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto hardEnd = endWrite + std::chrono::seconds(5);
  auto lastProgress = t0, lastByte = t0;
  while (!g_stop) {
    const auto now = Clock::now();
    const bool writing = now < endWrite;
    const std::uint64_t outstanding = sent - std::min(sent, back + writtenOff);
    if (!writing && (back + writtenOff >= sent || now - lastProgress > std::chrono::seconds(1))) break;
    if (now > hardEnd) break;
    if (outstanding >= window && now - lastProgress > std::chrono::seconds(1)) {
      ++acc.stalls;
      writtenOff = sent - back;
      lastProgress = now;
    }
    pollfd p{path.fd, static_cast<short>(POLLIN | (writing && outstanding < window ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 20) <= 0) continue;
    if (p.revents & POLLIN) {
      const ssize_t n = read(path.fd, in, sizeof in);
      for (ssize_t k = 0; k < n && !damaged; ++k) damaged = in[k] != StreamByte(back + static_cast<std::uint64_t>(k));
      if (n > 0) {
        back += static_cast<std::uint64_t>(n);
        lastProgress = lastByte = Clock::now();
      }
    }
    if (p.revents & POLLOUT) {
      const std::size_t room = std::min<std::size_t>(sizeof out, window - outstanding);
      for (std::size_t k = 0; k < room; ++k) out[k] = StreamByte(sent + k);
      const ssize_t n = write(path.fd, out, room);
      if (n > 0) sent += static_cast<std::uint64_t>(n);
    }
  }
  acc.usage.Add(before, Usage::Of(path.procs));
  for (const auto& [k, v] : FarCounters(path)) acc.far[k] += v - (farBefore.count(k) ? farBefore.at(k) : 0);
  acc.sent += sent;
  acc.back += back;
  acc.damagedRounds += damaged || back != sent;
  acc.seconds += Seconds(lastByte - t0);
}

Json Summary(const ThroughputAcc& a, std::size_t window) {
  Json j;
  j["window"] = window;
  j["seconds"] = a.seconds;
  j["bytes_sent"] = a.sent;
  j["bytes_back"] = a.back;
  j["mb_per_s"] = a.seconds > 0 ? static_cast<double>(a.back) / 1e6 / a.seconds : 0.0;
  j["lost_bytes"] = a.sent > a.back ? a.sent - a.back : 0;
  j["stalls"] = a.stalls;
  j["damaged_rounds"] = a.damagedRounds;  // loss, or bytes out of order or changed
  j["cpu_ms_per_mb"] = CpuPer(a.usage, static_cast<double>(a.back) / 1e6);
  j["udp_drops"] = a.usage.drops;
  if (!a.far.empty()) j["module_port"] = a.far;  // what the simulated module received and sent
  return j;
}

// ------------------------------------------------------------------ options and report

struct Options {
  int iterations = 3000;
  int rounds = 5;
  double seconds = 3;
  // murvikd drops what the pty has no room for (it holds about 20 KB unread); 8 KB stays clear.
  std::size_t window = 8192;
  std::vector<std::size_t> sweep = {512, 4096, 16384, 65536};
  std::string binDir;
  std::uint16_t logPort = 0;
  std::size_t socatBlock = 0;
  bool keep = false;
};

const char* kUsage =
    "usage: serial_measure [options]\n"
    "Round-trip latency, bulk throughput and CPU per MB of the serial path (murvikd and\n"
    "murvik-sim's echo port) against socat bridging a pty and a UDP echo. JSON on stdout,\n"
    "a table on stderr.\n"
    "  --iterations N    recorded round trips per latency figure (default 3000)\n"
    "  --rounds N        turns the paths take per figure (default 5)\n"
    "  --seconds S       writing time per throughput figure (default 3)\n"
    "  --window BYTES    outstanding bytes of the headline throughput (default 8192)\n"
    "  --sweep A,B,..    further windows (default 512,4096,16384,65536; 0 for none)\n"
    "  --log-port N      murvikd's debug log port (default: a free port nobody listens on)\n"
    "  --socat-block N   socat's block size (-b); 512 gives it the tunnel's frame size\n"
    "  --bin-dir DIR     build folder holding src/murvikd (default: the one of this program)\n"
    "  --keep            keep the work folder (logs, configuration, driver state)\n";

bool ParseNumber(const std::string& text, long long max, long long* out) {
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 1 || v > max) return false;
  *out = v;
  return true;
}

// Answers -1 to go on, else the exit code.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "serial_measure: unknown option or missing value: %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    const std::string v = argv[++i];
    long long n = 0;
    bool ok = true;
    if (a == "--iterations" && (ok = ParseNumber(v, 1000000, &n))) {
      o.iterations = static_cast<int>(n);
    } else if (a == "--rounds" && (ok = ParseNumber(v, 100, &n))) {
      o.rounds = static_cast<int>(n);
    } else if (a == "--seconds" && (ok = ParseNumber(v, 600, &n))) {
      o.seconds = static_cast<double>(n);
    } else if (a == "--window" && (ok = ParseNumber(v, 1 << 24, &n))) {
      o.window = static_cast<std::size_t>(n);
    } else if (a == "--socat-block" && (ok = ParseNumber(v, 65536, &n))) {
      o.socatBlock = static_cast<std::size_t>(n);
    } else if (a == "--log-port" && (ok = ParseNumber(v, 65535, &n))) {
      o.logPort = static_cast<std::uint16_t>(n);
    } else if (a == "--bin-dir") {
      o.binDir = v;
    } else if (a == "--sweep") {
      o.sweep.clear();
      std::stringstream list(v);
      for (std::string item; ok && std::getline(list, item, ',');) {
        if (item == "0") continue;
        if ((ok = ParseNumber(item, 1 << 24, &n))) o.sweep.push_back(static_cast<std::size_t>(n));
      }
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "serial_measure: bad option or value: %s %s\n%s", a.c_str(), v.c_str(), kUsage);
      return 2;
    }
  }
  if (o.binDir.empty()) o.binDir = platform::ProgramDir() + "/..";
  return -1;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

void TableRow(const std::string& what, double murvik, double socat, const char* unit, int digits = 1) {
  std::fprintf(stderr, "  %-36s %11.*f %11.*f %7.2f  %s\n", what.c_str(), digits, murvik, digits, socat,
               Ratio(murvik, socat), unit);
}

void PrintTable(const Json& out, const Options& opt) {
  std::fprintf(stderr, "\n  %-36s %11s %11s %7s\n", "", "murvik", "socat", "ratio");
  for (const auto& [key, row] : out["latency"].items()) {
    for (const char* mode : {"transparent", "download"}) {
      const Json& m = row[std::string("murvik_") + mode];
      for (const char* q : {"median_us", "p99_us"})
        TableRow(key + " " + mode + " " + std::string(q).substr(0, std::string(q).find('_')), m[q], row["socat"][q],
                 "us");
    }
  }
  const Json& tp = out["throughput"];
  const Json& m = tp["murvik_transparent"];
  const Json& s = tp["socat"];
  TableRow("throughput, window " + std::to_string(opt.window), m["mb_per_s"], s["mb_per_s"], "MB/s", 2);
  TableRow("  lost bytes", m["lost_bytes"], s["lost_bytes"], "", 0);
  TableRow("  CPU per MB", m["cpu_ms_per_mb"]["total"], s["cpu_ms_per_mb"]["total"], "ms");
  TableRow("throughput, download mode", tp["murvik_download"]["mb_per_s"], s["mb_per_s"], "MB/s", 2);
  for (const auto& row : tp["sweep"]) {
    TableRow("throughput, window " + std::to_string(row["socat"]["window"].get<std::size_t>()),
             row["murvik_transparent"]["mb_per_s"], row["socat"]["mb_per_s"], "MB/s", 2);
    TableRow("  lost bytes", row["murvik_transparent"]["lost_bytes"], row["socat"]["lost_bytes"], "", 0);
  }
  std::fprintf(stderr, "  (CPU: murvikd %.1f + murvik-sim %.1f ms/MB; load average %s)\n",
               m["cpu_ms_per_mb"].value("murvikd", 0.0), m["cpu_ms_per_mb"].value("murvik-sim", 0.0),
               out["environment"]["load_average_end"].get<std::string>().c_str());
}

int Run(const Options& opt, const std::string& work) {
  std::string error;
  MurvikPath murvik(opt.binDir, work, opt.logPort);
  SocatPath socat(work, opt.socatBlock);
  std::fprintf(stderr, "serial_measure: starting both paths in %s\n", work.c_str());
  if (!murvik.Start(&error) || !socat.Start(&error)) {
    std::fprintf(stderr, "serial_measure: %s\n", g_stop ? "stopped" : error.c_str());
    return 1;
  }
  Json out;
  out["bench"] = "serial_path";
  out["units"] = "latency in microseconds; MB = 10^6 bytes that came back; CPU in milliseconds";
  out["environment"] = {{"cpus", std::thread::hardware_concurrency()}, {"load_average_start", LoadAverage()}};
  out["iterations"] = opt.iterations;
  out["rounds"] = opt.rounds;
  out["seconds_per_throughput"] = opt.seconds;
  const std::vector<std::pair<const char*, const Path*>> all = {
      {"socat", &socat.path}, {"murvik_transparent", &murvik.transparent}, {"murvik_download", &murvik.download}};
  const int perRound = std::max(1, opt.iterations / opt.rounds);
  const double roundSeconds = opt.seconds / opt.rounds;

  Json lat = Json::object();
  for (std::size_t size : {1, 64}) {
    std::map<std::string, LatencyAcc> acc;
    for (int r = 0; r < opt.rounds && !g_stop; ++r)
      for (const auto& [name, path] : all) LatencyRound(*path, size, perRound, acc[name]);
    Json& row = lat[std::to_string(size) + "_byte"];
    for (const auto& [name, path] : all) row[name] = Summary(acc[name]);
    for (const char* mode : {"transparent", "download"})
      for (const char* q : {"median_us", "p99_us"})
        row[std::string("ratio_") + mode][q] = Ratio(row[std::string("murvik_") + mode][q], row["socat"][q]);
  }

  Json tp = Json::object();
  {
    std::map<std::string, ThroughputAcc> acc;
    for (int r = 0; r < opt.rounds && !g_stop; ++r)
      for (const auto& [name, path] : all) ThroughputRound(*path, opt.window, roundSeconds, acc[name]);
    for (const auto& [name, path] : all) tp[name] = Summary(acc[name], opt.window);
    tp["ratio_transparent"] = Ratio(tp["murvik_transparent"]["mb_per_s"], tp["socat"]["mb_per_s"]);
  }
  tp["sweep"] = Json::array();
  for (std::size_t w : opt.sweep) {
    std::map<std::string, ThroughputAcc> acc;
    for (int r = 0; r < opt.rounds && !g_stop; ++r)
      for (const auto& [name, path] : all)
        if (path != &murvik.download) ThroughputRound(*path, w, roundSeconds, acc[name]);
    Json row;
    row["socat"] = Summary(acc["socat"], w);
    row["murvik_transparent"] = Summary(acc["murvik_transparent"], w);
    row["ratio"] = Ratio(row["murvik_transparent"]["mb_per_s"], row["socat"]["mb_per_s"]);
    tp["sweep"].push_back(row);
  }

  out["latency"] = lat;
  out["throughput"] = tp;
  out["cpu_ms_per_mb"] = {{"murvik", tp["murvik_transparent"]["cpu_ms_per_mb"]},
                          {"socat", tp["socat"]["cpu_ms_per_mb"]},
                          {"ratio", Ratio(tp["murvik_transparent"]["cpu_ms_per_mb"]["total"],
                                          tp["socat"]["cpu_ms_per_mb"]["total"])}};
  double worst = 0;
  for (const auto& [key, row] : lat.items())
    for (const char* r : {"ratio_transparent", "ratio_download"})
      worst = std::max(worst, row[r]["median_us"].get<double>());
  const double tpRatio = tp["ratio_transparent"].get<double>();
  out["goals"] = {{"latency_ratio_max", 1.2},           {"worst_median_latency_ratio", worst},
                  {"latency_met", worst > 0 && worst <= 1.2}, {"throughput_ratio_min", 1.0},
                  {"throughput_ratio", tpRatio},         {"throughput_met", tpRatio >= 1.0}};
  out["environment"]["load_average_end"] = LoadAverage();
  out["murvikd_still_running"] = murvik.DaemonRunning();
  if (g_stop) out["interrupted"] = true;
  std::printf("%s\n", out.dump().c_str());
  std::fflush(stdout);
  PrintTable(out, opt);
  return g_stop ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (int rc = ParseOptions(argc, argv, opt); rc >= 0) return rc;
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char tmpl[] = "/tmp/murvik-serial-bench.XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("serial_measure: mkdtemp");
    return 1;
  }
  const std::string work = tmpl;
  // Everything of the run stays in its folder: configuration, driver state, visible ports.
  setenv("MURVIK_HOME", (work + "/home").c_str(), 1);
  setenv("MURVIK_DRIVER_STATE", (work + "/state").c_str(), 1);
  setenv("MURVIK_DEV_DIR", (work + "/dev").c_str(), 1);
  int rc = 1;
  try {
    rc = Run(opt, work);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "serial_measure: %s\n", e.what());
  }
  if (opt.keep) {
    std::fprintf(stderr, "serial_measure: work folder kept: %s\n", work.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
  }
  return rc;
}
