#!/usr/bin/env python3
"""Figures of bench/ethernet_bench.sh from its raw results.

  ethernet_report.py run SETTINGS RUN_DIR RUN   one JSON line on stdout, the table on stderr
  ethernet_report.py summary RUNS_JSONL         medians over the runs, likewise
  ethernet_report.py hops LABEL < perf script    where a ping's round trip goes, hop by hop

RUN_DIR holds, per test and path, iperf3's -J output (<test>-<path>.json), the options it ran
with (.args), and snapshots of the path's process CPU ticks and drop counters taken before and
after (.before, .after); ping-<path>.txt is ping's output.
"""
import json
import math
import os
import re
import statistics
import sys

PATHS = ["veth", "openvpn", "murvik"]
IPERF_TESTS = ["tcp_up", "tcp_down", "udp_limit", "udp_80", "udp_fit", "udp_down"]
# The simulator's Ethernet port counters worth a difference.
SIM_KEYS = ["rx_frames", "tx_frames", "rx_malformed", "rx_write_failed", "tx_no_session", "tx_oversized", "tx_overflow"]


def load_json(path, default=None):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return default


def as_dict(v):
    return v if isinstance(v, dict) else {}


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def percentile(values, q):
    if not values:
        return None
    v = sorted(values)
    at = math.ceil(q * len(v))
    return v[min(len(v) - 1, max(at - 1, 0))]


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def usage(before, after, clk_tck):
    """CPU seconds per process (user + system) and the counters' differences."""
    cpu, counters = {}, {}
    before, after = as_dict(before), as_dict(after)
    if not before or not after:
        return cpu, counters
    for name, ticks in as_dict(after.get("ticks")).items():
        old = as_dict(before.get("ticks")).get(name)
        if not (isinstance(ticks, list) and isinstance(old, list) and len(ticks) == 2 and len(old) == 2):
            continue
        cpu[name] = {"user_s": (ticks[0] - old[0]) / clk_tck, "system_s": (ticks[1] - old[1]) / clk_tck}
    b, a = as_dict(before.get("counters")), as_dict(after.get("counters"))
    for k, v in a.items():
        if isinstance(v, (int, float)) and isinstance(b.get(k), (int, float)):
            counters[k] = v - b[k]
    sb, sa = as_dict(b.get("sim")), as_dict(a.get("sim"))
    for k in SIM_KEYS:
        if isinstance(sa.get(k), (int, float)) and isinstance(sb.get(k), (int, float)):
            counters["sim_" + k] = sa[k] - sb[k]
    return cpu, counters


def cpu_per(cpu, units):
    if not cpu or not units:
        return None
    out = {name: (c["user_s"] + c["system_s"]) / units for name, c in cpu.items()}
    out["total"] = sum(out.values())
    return out


def ping_result(run_dir, path, clk_tck):
    text = read_text(os.path.join(run_dir, "ping-%s.txt" % path))
    times = [float(t) * 1000 for t in re.findall(r"time=([0-9.]+) ms", text)]
    m = re.search(r"(\d+) packets transmitted, (\d+) received", text)
    sent, got = (int(m.group(1)), int(m.group(2))) if m else (0, len(times))
    # CPU ticks over a few seconds of pings are too coarse for a figure per round trip.
    _, counters = usage(load_json(os.path.join(run_dir, "ping-%s.before" % path)),
                        load_json(os.path.join(run_dir, "ping-%s.after" % path)), clk_tck)
    r = {
        "samples": len(times),
        "sent": sent,
        "loss_pct": 100.0 * (sent - got) / sent if sent else None,
        "median_us": percentile(times, 0.5),
        "p90_us": percentile(times, 0.9),
        "p99_us": percentile(times, 0.99),
        "max_us": max(times) if times else None,
        "mean_us": statistics.fmean(times) if times else None,
    }
    r["counters"] = counters
    return r


def iperf_result(run_dir, test, path, clk_tck):
    base = os.path.join(run_dir, "%s-%s" % (test, path))
    d = as_dict(load_json(base + ".json"))
    r = {"args": read_text(base + ".args").strip()}
    end = as_dict(d.get("end"))
    if not end or d.get("error"):
        r["error"] = str(d.get("error") or read_text(base + ".err").strip()[-300:] or "no iperf3 result")
        return r
    received = as_dict(end.get("sum_received"))
    sent = as_dict(end.get("sum_sent"))
    r["mbit_s"] = received.get("bits_per_second", 0) / 1e6
    r["bytes_received"] = received.get("bytes", 0)
    r["seconds"] = received.get("seconds")
    if test.startswith("tcp"):
        r["retransmits"] = sent.get("retransmits")
    else:
        r["offered_mbit_s"] = sent.get("bits_per_second", 0) / 1e6
        r["datagrams"] = received.get("packets")
        r["lost_datagrams"] = received.get("lost_packets")
        r["loss_pct"] = received.get("lost_percent")
        r["jitter_ms"] = received.get("jitter_ms")
    cu = as_dict(end.get("cpu_utilization_percent"))
    r["iperf3_cpu_pct"] = {"client": cu.get("host_total"), "server": cu.get("remote_total")}
    cpu, counters = usage(load_json(base + ".before"), load_json(base + ".after"), clk_tck)
    if cpu:
        r["cpu_s"] = cpu
        r["cpu_s_per_gb"] = cpu_per(cpu, r["bytes_received"] / 1e9)
    r["counters"] = counters
    return r


def get(d, *keys):
    for k in keys:
        if not isinstance(d, dict) or k not in d:
            return None
        d = d[k]
    return d


# (label, keys into a path's figures, unit, digits, whether a ratio means something)
ROWS = [
    ("ping RTT median", ("ping", "median_us"), "us", 0, True),
    ("ping RTT p99", ("ping", "p99_us"), "us", 0, True),
    ("  added to veth, median", ("ping", "added_median_us"), "us", 0, True),
    ("  added to veth, p99", ("ping", "added_p99_us"), "us", 0, True),
    ("  ping loss", ("ping", "loss_pct"), "%", 1, False),
    ("TCP PC->PLC", ("tcp_up", "mbit_s"), "Mbit/s", 0, True),
    ("  retransmits", ("tcp_up", "retransmits"), "", 0, False),
    ("  CPU per GB", ("tcp_up", "cpu_s_per_gb", "total"), "s", 2, True),
    ("TCP PLC->PC", ("tcp_down", "mbit_s"), "Mbit/s", 0, True),
    ("  retransmits", ("tcp_down", "retransmits"), "", 0, False),
    ("  CPU per GB", ("tcp_down", "cpu_s_per_gb", "total"), "s", 2, True),
    ("UDP 1400 PC->PLC, unlimited", ("udp_limit", "mbit_s"), "Mbit/s", 0, True),
    ("  offered", ("udp_limit", "offered_mbit_s"), "Mbit/s", 0, False),
    ("  loss", ("udp_limit", "loss_pct"), "%", 1, False),
    ("  CPU per GB", ("udp_limit", "cpu_s_per_gb", "total"), "s", 2, True),
    ("UDP 1400 PC->PLC at 80% of that", ("udp_80", "mbit_s"), "Mbit/s", 0, True),
    ("  loss", ("udp_80", "loss_pct"), "%", 2, False),
    ("  CPU per GB", ("udp_80", "cpu_s_per_gb", "total"), "s", 2, True),
    ("UDP {fit} PC->PLC, unlimited", ("udp_fit", "mbit_s"), "Mbit/s", 0, True),
    ("  loss", ("udp_fit", "loss_pct"), "%", 1, False),
    ("UDP 1400 PLC->PC, unlimited", ("udp_down", "mbit_s"), "Mbit/s", 0, True),
    ("  loss", ("udp_down", "loss_pct"), "%", 1, False),
]
# The throughput goal holds for each of these.
THROUGHPUT_TESTS = ["tcp_up", "tcp_down", "udp_limit", "udp_fit", "udp_down"]


def fit_label(settings):
    mtu = get(settings, "mtu", "murvik")
    return "%d" % (mtu - 28) if isinstance(mtu, int) else "MTU-sized"


def fmt(v, digits):
    if v is None:
        return "-"
    return "%.*f" % (digits, v)


def print_table(title, figures, notes, fit):
    w = sys.stderr.write
    w("\n  %s\n" % title)
    w("  %-34s %10s %10s %10s %8s %8s\n" % ("", "veth", "openvpn", "murvik", "m/ovpn", "m/veth"))
    for label, keys, unit, digits, has_ratio in ROWS:
        vals = [get(figures.get(p, {}), *keys) for p in PATHS]
        vals = [v if isinstance(v, (int, float)) else None for v in vals]
        ro, rv = (ratio(vals[2], vals[1]), ratio(vals[2], vals[0])) if has_ratio else (None, None)
        label = label.replace("{fit}", fit)
        w("  %-34s %10s %10s %10s %8s %8s  %s\n" % (label, fmt(vals[0], digits), fmt(vals[1], digits),
                                                   fmt(vals[2], digits), fmt(ro, 2), fmt(rv, 2), unit))
    for n in notes:
        w("  %s\n" % n)


def ratios_of(figures):
    out = {"murvik_openvpn": {}, "murvik_veth": {}}
    for label, keys, unit, digits, has_ratio in ROWS:
        if not has_ratio:
            continue
        key = ".".join(keys)
        m, o, v = (get(figures.get(p, {}), *keys) for p in ("murvik", "openvpn", "veth"))
        out["murvik_openvpn"][key] = ratio(m, o)
        out["murvik_veth"][key] = ratio(m, v)
    return out


def goals_of(figures):
    g = {"throughput_ratio_min": 1.0}
    worst = None
    for t in THROUGHPUT_TESTS:
        r = ratio(get(figures, "murvik", t, "mbit_s"), get(figures, "openvpn", t, "mbit_s"))
        g[t + "_ratio"] = r
        if r is not None:
            worst = r if worst is None else min(worst, r)
    g["worst_throughput_ratio"] = worst
    g["throughput_met"] = worst is not None and worst >= 1.0
    am, ao = get(figures, "murvik", "ping", "added_median_us"), get(figures, "openvpn", "ping", "added_median_us")
    g["added_latency_median_us"] = {"murvik": am, "openvpn": ao}
    g["latency_met"] = am is not None and ao is not None and am <= ao
    return g


def drop_notes(figures):
    """Where frames were lost, from the counters of the tests that lost datagrams."""
    notes = []
    for p in PATHS:
        for t in ("udp_80", "udp_limit", "udp_fit", "udp_down"):
            c = get(figures, p, t, "counters") or {}
            parts = ["%s %d" % (k, v) for k, v in sorted(c.items())
                     if v and ("dropped" in k or "errors" in k or "fails" in k or
                               k in ("sim_rx_write_failed", "sim_tx_overflow", "sim_tx_oversized", "sim_rx_malformed"))]
            if parts:
                notes.append("%s %s drops: %s" % (p, t, ", ".join(parts)))
    return notes


def run_mode(settings_path, run_dir, run):
    settings = as_dict(load_json(settings_path))
    clk = settings.get("clk_tck") if isinstance(settings.get("clk_tck"), int) and settings["clk_tck"] > 0 else 100
    figures = {}
    for p in PATHS:
        f = {"ping": ping_result(run_dir, p, clk)}
        for t in IPERF_TESTS:
            f[t] = iperf_result(run_dir, t, p, clk)
        figures[p] = f
    base_med, base_p99 = get(figures, "veth", "ping", "median_us"), get(figures, "veth", "ping", "p99_us")
    for p in PATHS:
        pg = figures[p]["ping"]
        pg["added_median_us"] = pg["median_us"] - base_med if None not in (pg["median_us"], base_med) else None
        pg["added_p99_us"] = pg["p99_us"] - base_p99 if None not in (pg["p99_us"], base_p99) else None
    out = {
        "bench": "ethernet_path",
        "run": int(run),
        "units": "round trips in microseconds; Mbit/s = 10^6 bits per second received; CPU in seconds of "
                 "the tunnel's processes (user + system) per 10^9 bytes received",
        "environment": {"load_average_start": read_text(os.path.join(run_dir, "load.start")).strip(),
                        "load_average_end": read_text(os.path.join(run_dir, "load.end")).strip()},
        "settings": settings,
        "paths": figures,
        "ratios": ratios_of(figures),
        "goals": goals_of(figures),
    }
    print(json.dumps(out), flush=True)
    g = out["goals"]
    notes = []
    for name, t in (("murvik", "tcp_up"), ("openvpn", "tcp_up")):
        c = get(figures, name, t, "cpu_s_per_gb") or {}
        parts = ["%s %.2f" % (k, v) for k, v in c.items() if k != "total"]
        if parts:
            notes.append("CPU per GB, TCP PC->PLC, %s: %s" % (name, ", ".join(parts)))
    notes += drop_notes(figures)
    for p in PATHS:
        for t in IPERF_TESTS:
            if figures[p][t].get("error"):
                notes.append("%s %s failed: %s" % (p, t, figures[p][t]["error"]))
    notes.append("goals: throughput >= OpenVPN's %s (worst ratio %s), added latency <= OpenVPN's %s; "
                 "load average %s -> %s" % ("met" if g["throughput_met"] else "NOT met", fmt(g["worst_throughput_ratio"], 2),
                                            "met" if g["latency_met"] else "NOT met",
                                            out["environment"]["load_average_start"], out["environment"]["load_average_end"]))
    print_table("run %s (MTU veth %s, tunnels %s; sources %s)" % (run, get(settings, "mtu", "veth"),
                                                                  get(settings, "mtu", "murvik"), settings.get("source")),
                figures, notes, fit_label(settings))


def summary_mode(runs_path):
    runs = []
    with open(runs_path) as f:
        for line in f:
            try:
                run = json.loads(line)
            except ValueError:
                continue
            if isinstance(run, dict) and isinstance(run.get("paths"), dict) and isinstance(run.get("goals"), dict):
                runs.append(run)
    if not runs:
        sys.stderr.write("ethernet_report: no runs in %s\n" % runs_path)
        return 1
    med = {p: {} for p in PATHS}
    spread = {p: {} for p in PATHS}
    for label, keys, unit, digits, _ in ROWS:
        for p in PATHS:
            vals = [get(r["paths"].get(p), *keys) for r in runs]
            vals = [v for v in vals if isinstance(v, (int, float))]
            if not vals:
                continue
            node, snode = med[p], spread[p]
            for k in keys[:-1]:
                node = node.setdefault(k, {})
                snode = snode.setdefault(k, {})
            node[keys[-1]] = statistics.median(vals)
            snode[keys[-1]] = [min(vals), max(vals)]
    out = {"bench": "ethernet_path", "summary_of_runs": len(runs), "median": med, "min_max": spread,
           "ratios": ratios_of(med), "goals": goals_of(med),
           "goals_met_per_run": {"throughput": [r["goals"]["throughput_met"] for r in runs],
                                 "latency": [r["goals"]["latency_met"] for r in runs]}}
    print(json.dumps(out), flush=True)
    g = out["goals"]
    print_table("median of %d runs" % len(runs), med,
                ["goals on the medians: throughput %s (worst ratio %s), added latency %s" %
                 ("met" if g["throughput_met"] else "NOT met", fmt(g["worst_throughput_ratio"], 2),
                  "met" if g["latency_met"] else "NOT met")], fit_label(runs[-1].get("settings", {})))
    return 0


def hops_mode(label):
    """Reads `perf script -F comm,tid,cpu,time,event,trace` of sched:sched_wakeup and ping's
    sys_enter_sendto. From each echo request on, the wake-ups of the tunnel's threads up to the
    one of ping (the reply) make the echo's chain of hops; a hop's time runs from the previous
    wake-up to its own, so it holds the previous thread's work and this one's wake-up."""
    line_re = re.compile(r"\s*(\S+)\s+(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+(\S+):\s*(.*)")
    wake_re = re.compile(r"comm=(\S+) pid=(\d+).*target_cpu=(\d+)")
    tunnel = ("murvikd", "murvik-sim", "openvpn", "ping")
    events = []
    for line in sys.stdin:
        m = line_re.match(line)
        if not m:
            continue
        comm, _, cpu, t, event, rest = m.groups()
        t = float(t) * 1e6
        if event == "syscalls:sys_enter_sendto" and comm == "ping":
            events.append((t, None, None))
        elif event == "sched:sched_wakeup":
            w = wake_re.search(rest)
            if w and w.group(1) in tunnel:
                events.append((t, "%s:%s" % (w.group(1), w.group(2)), cpu != w.group(3)))
    chains = {}
    i = 0
    while i < len(events):
        if events[i][1] is not None:
            i += 1
            continue
        start = prev = events[i][0]
        chain = []
        i += 1
        while i < len(events) and events[i][1] is not None:
            t, who, cross = events[i]
            chain.append((who, t - prev, cross))
            prev = t
            i += 1
            if who.startswith("ping:"):
                break
        if chain and chain[-1][0].startswith("ping:"):
            chains.setdefault(tuple(c[0] for c in chain), []).append((chain, prev - start))
    if not chains:
        sys.stderr.write("  %s: no complete echo seen\n" % label)
        return 1
    key, echoes = max(chains.items(), key=lambda kv: len(kv[1]))
    total = sum(len(v) for v in chains.values())
    out = {"bench": "ethernet_path_hops", "path": label, "echoes": len(echoes), "echoes_seen": total,
           "median_us": statistics.median(e[1] for e in echoes), "hops": []}
    sys.stderr.write("  %s: %d of %d echoes took the usual chain; median %.0f us from the request to ping's wake-up\n"
                     % (label, len(echoes), total, out["median_us"]))
    for k, who in enumerate(key):
        us = statistics.median(e[0][k][1] for e in echoes)
        cross = sum(1 for e in echoes if e[0][k][2])
        out["hops"].append({"wakes": who, "median_us": us, "other_cpu": cross})
        sys.stderr.write("    %-3d wakes %-22s %6.0f us  (another CPU in %d)\n" % (k + 1, who, us, cross))
    print(json.dumps(out), flush=True)
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] == "run":
        run_mode(argv[2], argv[3], argv[4])
        return 0
    if len(argv) == 3 and argv[1] == "summary":
        return summary_mode(argv[2])
    if len(argv) == 3 and argv[1] == "hops":
        return hops_mode(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
