#!/usr/bin/env bash
# The Ethernet path beside two baselines, measured in one run on this machine:
#   veth     a plain veth pair between a PC and a PLC namespace: the physical limit;
#   openvpn  OpenVPN in tap mode without crypto, PC namespace to module namespace over veth;
#   murvik   murvikd with its adapter in the PC namespace, murvik-sim in the module namespace
#            over veth.
# In both tunnels the far end's TAP interface is moved into a PLC namespace holding
# 192.168.1.15, so both cross the same veth and the same kind of TAP interface on either side;
# the PC side has 192.168.1.1 and the adapter's MTU (OpenVPN is given murvikd's).
# Figures: ping round trips, iperf3 TCP both ways, iperf3 UDP limits, CPU seconds per GB of the
# tunnel processes, and where frames were dropped.
#   bash bench/ethernet_bench.sh [RUNS] [--seconds S] [--pings N] [--interval S] [--profile]
#                                [--keep] [--hold]
# --profile adds perf profiles and system call counts of murvikd and murvik-sim during TCP runs,
# and the hops between threads of a ping's round trip through either tunnel;
# --keep keeps the work folder; --hold keeps the paths up until SIGINT or SIGTERM, for a closer
# look.
# One JSON object per run on stdout, then one with the medians over the runs; tables on stderr.
# Needs root. MURVIK_BENCH_BUILD picks the build folder (default build-bench, configured
# RelWithDebInfo when new).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

BUILD=${MURVIK_BENCH_BUILD:-build-bench}
RUNS=1
SECONDS_PER_TEST=5
PINGS=200
INTERVAL=0.02
PROFILE=0
KEEP=0
HOLD=0
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  RUNS=$1
  shift
fi
usage() { sed -n '12,17p' "$0" | cut -c3- >&2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds | --pings | --interval)
      [ $# -ge 2 ] || { echo "ethernet_bench: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --seconds) SECONDS_PER_TEST=$2 ;;
        --pings) PINGS=$2 ;;
        *) INTERVAL=$2 ;;
      esac
      shift 2
      ;;
    --profile) PROFILE=1; shift ;;
    --keep) KEEP=1; shift ;;
    --hold) HOLD=1; shift ;;
    --help) usage; exit 0 ;;
    *) echo "ethernet_bench: unknown option $1" >&2; usage; exit 2 ;;
  esac
done
for v in "$RUNS" "$SECONDS_PER_TEST" "$PINGS"; do
  [[ $v =~ ^[1-9][0-9]{0,4}$ ]] || { echo "ethernet_bench: not a count: '$v'" >&2; exit 2; }
done
[[ $INTERVAL =~ ^0*\.[0-9]+$|^[1-9][0-9]*(\.[0-9]+)?$ ]] ||
  { echo "ethernet_bench: bad interval '$INTERVAL'" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || { echo "ethernet_bench: needs root (network namespaces, TAP interfaces)" >&2; exit 1; }
for tool in ip iperf3 openvpn ping python3 cmake; do
  command -v "$tool" >/dev/null ||
    { echo "ethernet_bench: $tool is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DMURVIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
TYPE=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD/CMakeCache.txt")
case "$TYPE" in
  Release | RelWithDebInfo) ;;
  *) echo "ethernet_bench: $BUILD is a '$TYPE' build; the figures mean little without optimisation" >&2 ;;
esac
cmake --build "$BUILD" --target murvikd murvik-sim tapinstall >/dev/null
BIN=$(cd "$BUILD" && pwd)
MURVIKD=$BIN/src/murvikd
SIM=$BIN/tools/sim/murvik-sim
TAPINSTALL=$BIN/src/driver/tapinstall

WORK=$(mktemp -d /tmp/murvik-ethbench.XXXXXX)
export MURVIK_DRIVER_STATE=$WORK/driver-state MURVIK_DEV_DIR=$WORK/dev
mkdir -p "$MURVIK_DRIVER_STATE" "$MURVIK_DEV_DIR" "$WORK/home"

TAG=mveb$$
NS_VPC=$TAG-veth-pc NS_VPLC=$TAG-veth-plc
NS_OPC=$TAG-ovpn-pc NS_OMOD=$TAG-ovpn-mod NS_OPLC=$TAG-ovpn-plc
NS_MPC=$TAG-murvik-pc NS_MMOD=$TAG-murvik-mod NS_MPLC=$TAG-murvik-plc
PLC_IP=192.168.1.15
PC_IP=192.168.1.1
SN=20249999001
NAMESPACES=()
PIDS=()        # every process started here, in start order
ADAPTER_MADE=0
SIM_FD=
DAEMON_PID='' SIM_PID='' OVPN_PC_PID='' OVPN_MOD_PID=''

log() { echo "ethernet_bench: $*" >&2; }
fail() {
  log "$*"
  exit 1
}

cleanup() {
  local rc=$?
  set +e
  trap - EXIT INT TERM
  # murvikd first, so that it says goodbye to a simulator still listening.
  local order=()
  [ -n "$DAEMON_PID" ] && order+=("$DAEMON_PID")
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    [ "${PIDS[i]}" != "$DAEMON_PID" ] && order+=("${PIDS[i]}")
  done
  local pid
  for pid in "${order[@]}"; do
    kill -0 "$pid" 2>/dev/null || continue
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  [ -n "$SIM_FD" ] && exec {SIM_FD}>&-
  if [ "$ADAPTER_MADE" = 1 ]; then
    ip netns exec "$NS_MPC" "$TAPINSTALL" remove tap0901 >>"$WORK/tapinstall.log" 2>&1
  fi
  local ns
  for ns in "${NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  if [ "$KEEP" = 1 ]; then
    log "work folder kept: $WORK"
  else
    rm -rf "$WORK"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

make_ns() {
  local ns
  for ns in "$@"; do
    ip netns add "$ns" || fail "cannot make network namespace $ns"
    NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
  done
}

# veth between two namespaces; $5/$6 address each end (with prefix).
veth() {
  local ns1=$1 if1=$2 ns2=$3 if2=$4
  ip link add "$if1" netns "$ns1" type veth peer name "$if2" netns "$ns2" || fail "cannot make veth $if1-$if2"
  ip -n "$ns1" addr add "$5" dev "$if1"
  ip -n "$ns2" addr add "$6" dev "$if2"
  ip -n "$ns1" link set "$if1" up
  ip -n "$ns2" link set "$if2" up
}

# Starts a command in a namespace in the background; LAST_PID is its process (ip netns exec
# execs it). Standard input from $STDIN (default /dev/null).
start() {
  local ns=$1 out=$2
  shift 2
  ip netns exec "$ns" "$@" <"${STDIN:-/dev/null}" >"$out" 2>&1 &
  LAST_PID=$!
  PIDS+=("$LAST_PID")
}

wait_for() {  # seconds, then a command that succeeds when ready
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}
pings_once() { ip netns exec "$1" ping -n -q -c 1 -W 1 "$PLC_IP" >/dev/null 2>&1; }
has_line() { grep -q "$2" "$1" 2>/dev/null; }
iface_exists() { ip -n "$1" link show dev "$2" >/dev/null 2>&1; }
listening() { ip netns exec "$1" ss -Hltn "sport = :5201" 2>/dev/null | grep -q LISTEN; }

# ------------------------------------------------------------------ the murvik path

make_ns "$NS_MPC" "$NS_MMOD" "$NS_MPLC"
veth "$NS_MPC" mveb-pc "$NS_MMOD" mveb-mod 10.77.3.1/24 10.77.3.2/24
ip netns exec "$NS_MPC" "$TAPINSTALL" install OemWin2k.inf tap0901 >"$WORK/tapinstall.log" 2>&1 ||
  fail "tapinstall install failed: $(cat "$WORK/tapinstall.log")"
ADAPTER_MADE=1
ADAPTER_IF=$(sed -n 's/.*Installed as \([^ ]*\) (.*/\1/p' "$WORK/tapinstall.log" | head -1)
ADAPTER_DESC=$(ip netns exec "$NS_MPC" "$TAPINSTALL" find tap0901 |
  sed -n 's/^[^:]*: *\(.*[^ ]\) *$/\1/p' | head -1)
if [ -z "$ADAPTER_IF" ] || [ -z "$ADAPTER_DESC" ]; then
  fail "no adapter from tapinstall: $(cat "$WORK/tapinstall.log")"
fi

mkfifo "$WORK/sim.in"
exec {SIM_FD}<>"$WORK/sim.in"  # held open: the simulator reads commands from it
STDIN=$WORK/sim.in start "$NS_MMOD" "$WORK/sim.out" "$SIM" --bind 10.77.3.2 --login-port 0 \
  --module "sn=$SN,password=bench,eth=tap:mvebsim0,mac=00:1A:2B:3C:4D:5E"
SIM_PID=$LAST_PID
wait_for 10 has_line "$WORK/sim.out" '^READY' || fail "murvik-sim did not get ready: $(cat "$WORK/sim.out")"
LOGIN_PORT=$(sed -n 's/^READY login=\([0-9]*\).*/\1/p' "$WORK/sim.out")
ip -n "$NS_MMOD" link set mvebsim0 netns "$NS_MPLC" || fail "cannot move the simulator's TAP interface"
ip -n "$NS_MPLC" addr add "$PLC_IP/24" dev mvebsim0
ip -n "$NS_MPLC" link set mvebsim0 up

xml_text() { sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' -e 's/</\&lt;/g' <<<"$1"; }
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<ROOT><SYS AUTOCONNECT="false"/><OBJ COUNT="1">'
  printf '<IOSERVER0 MODEL2="0" LOGNAME="10.77.3.2" LOGPORT="%s" SN="%s" PWD="bench" NAME="Bench" BRIEF=""' \
    "$LOGIN_PORT" "$SN"
  echo ' CHCNT="4">'
  for n in 0 1 2; do  # the serial channels stay unused
    printf '<CH%d TYPE="COM" USE="0" VPORT="COM%d" DPORT="COM%d" PlcType="1" TransMode="0" BaudRate="9600"' \
      $n $((n + 5)) $((n + 1))
    echo ' ByteSize="8" Parity="0" StopBits="0" Other=""/>'
  done
  printf '<CH3 TYPE="NET" USE="1" NETNAME="%s" IP="%s" NETMASK="255.255.255.0"' "$(xml_text "$ADAPTER_DESC")" "$PC_IP"
  echo ' IPMIN="192.168.1.10" IPMAX="192.168.1.20"/>'
  echo '</IOSERVER0></OBJ></ROOT>'
} >"$WORK/home/MURVIK3.xml"
# No -v (it prints every frame's line) and a log port nobody listens on, as on a machine
# without a log viewer.
start "$NS_MPC" "$WORK/murvikd.out" "$MURVIKD" --home "$WORK/home" --log-port 39999 '*'
DAEMON_PID=$LAST_PID
wait_for 40 pings_once "$NS_MPC" ||
  fail "the murvik path does not carry pings: $(tail -c 2000 "$WORK/murvikd.out")"
ip -n "$NS_MPC" link show dev "$ADAPTER_IF" | grep -q LOWER_UP || fail "$ADAPTER_IF has no carrier"
MTU=$(ip -n "$NS_MPC" -o link show dev "$ADAPTER_IF" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p')
[ -n "$MTU" ] || fail "cannot read the MTU of $ADAPTER_IF"

# ------------------------------------------------------------------ the veth path

make_ns "$NS_VPC" "$NS_VPLC"
veth "$NS_VPC" mveb-pc "$NS_VPLC" mveb-plc "$PC_IP/24" "$PLC_IP/24"

# ------------------------------------------------------------------ the OpenVPN path

# A plaintext point-to-point tap tunnel: no --secret and no TLS, cipher and auth spelled out.
OVPN_OPTS=(--dev-type tap --proto udp --cipher none --auth none --tun-mtu "$MTU" --verb 3)
make_ns "$NS_OPC" "$NS_OMOD" "$NS_OPLC"
veth "$NS_OPC" mveb-pc "$NS_OMOD" mveb-mod 10.77.2.1/24 10.77.2.2/24
start "$NS_OMOD" "$WORK/openvpn-mod.log" openvpn --dev mvebovpn1 --local 10.77.2.2 --lport 1194 \
  --remote 10.77.2.1 1194 "${OVPN_OPTS[@]}"
OVPN_MOD_PID=$LAST_PID
start "$NS_OPC" "$WORK/openvpn-pc.log" openvpn --dev mvebovpn0 --local 10.77.2.1 --lport 1194 \
  --remote 10.77.2.2 1194 "${OVPN_OPTS[@]}"
OVPN_PC_PID=$LAST_PID
wait_for 20 iface_exists "$NS_OMOD" mvebovpn1 ||
  fail "OpenVPN made no tap interface: $(tail -c 2000 "$WORK/openvpn-mod.log")"
wait_for 20 iface_exists "$NS_OPC" mvebovpn0 ||
  fail "OpenVPN made no tap interface: $(tail -c 2000 "$WORK/openvpn-pc.log")"
ip -n "$NS_OMOD" link set mvebovpn1 netns "$NS_OPLC" || fail "cannot move OpenVPN's far TAP interface"
ip -n "$NS_OPLC" addr add "$PLC_IP/24" dev mvebovpn1
ip -n "$NS_OPLC" link set mvebovpn1 up
ip -n "$NS_OPC" addr add "$PC_IP/24" dev mvebovpn0
ip -n "$NS_OPC" link set mvebovpn0 mtu "$MTU" up
wait_for 30 has_line "$WORK/openvpn-pc.log" 'Initialization Sequence Completed' ||
  fail "OpenVPN did not connect: $(tail -c 2000 "$WORK/openvpn-pc.log")"
wait_for 20 pings_once "$NS_OPC" || fail "the OpenVPN path does not carry pings"
wait_for 10 pings_once "$NS_VPC" || fail "the veth path does not carry pings"

# ------------------------------------------------------------------ the paths' description

PATHS=(veth openvpn murvik)
declare -A PC_NS=([veth]=$NS_VPC [openvpn]=$NS_OPC [murvik]=$NS_MPC)
declare -A PLC_NS=([veth]=$NS_VPLC [openvpn]=$NS_OPLC [murvik]=$NS_MPLC)
declare -A MOD_NS=([openvpn]=$NS_OMOD [murvik]=$NS_MMOD)
declare -A PC_IF=([veth]=mveb-pc [openvpn]=mvebovpn0 [murvik]=$ADAPTER_IF)
declare -A PLC_IF=([veth]=mveb-plc [openvpn]=mvebovpn1 [murvik]=mvebsim0)
# The tunnel's processes, PC side first: their CPU time is what a GB costs.
declare -A PROCS=([veth]="" [openvpn]="openvpn_pc:$OVPN_PC_PID openvpn_module:$OVPN_MOD_PID"
  [murvik]="murvikd:$DAEMON_PID murvik-sim:$SIM_PID")

for p in "${PATHS[@]}"; do
  start "${PLC_NS[$p]}" "$WORK/iperf3-server-$p.log" iperf3 -s -B "$PLC_IP"
  wait_for 10 listening "${PLC_NS[$p]}" || fail "iperf3 server of the $p path did not listen"
done

for p in "${PATHS[@]}"; do
  ip netns exec "${PC_NS[$p]}" ping -n -q -c 5 -i 0.05 -W 1 "$PLC_IP" >/dev/null 2>&1 ||
    fail "the $p path loses pings before the measurements"
done

# ------------------------------------------------------------------ measuring

# One JSON object of CPU ticks per process and drop counters along a path.
snapshot() {
  local p=$1 item name pid stat
  local out="{\"ticks\":{"
  local sep=""
  for item in ${PROCS[$p]}; do
    name=${item%%:*}
    pid=${item#*:}
    stat=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null) || stat=""
    [ -n "$stat" ] || fail "$name ($pid) of the $p path has ended"
    read -r -a f <<<"$stat"
    out+="$sep\"$name\":[${f[11]},${f[12]}]"
    sep=","
  done
  out+="},\"counters\":{"
  sep=""
  local side ns dev key
  for side in pc plc; do
    if [ $side = pc ]; then ns=${PC_NS[$p]} dev=${PC_IF[$p]}; else ns=${PLC_NS[$p]} dev=${PLC_IF[$p]}; fi
    for key in tx_dropped rx_dropped tx_packets rx_packets; do
      out+="$sep\"${side}_if_$key\":"
      out+=$(ip netns exec "$ns" cat "/sys/class/net/$dev/statistics/$key" 2>/dev/null || echo 0)
      sep=","
    done
  done
  # Datagrams a full socket buffer turned away, and datagrams whose fragments never all came.
  for side in pc mod plc; do
    case $side in
      pc) ns=${PC_NS[$p]} ;;
      mod) ns=${MOD_NS[$p]:-} ;;
      *) ns=${PLC_NS[$p]} ;;
    esac
    [ -n "$ns" ] || continue
    # shellcheck disable=SC2016 # awk's own fields
    out+=$(ip netns exec "$ns" awk -v side="$side" '
      /^(Ip|Udp):/ {
        if (!($1 in seen)) { seen[$1] = 1; for (i = 2; i <= NF; i++) name[$1, i] = $i; next }
        for (i = 2; i <= NF; i++) value[$1 name[$1, i]] = $i
      }
      END {
        printf ",\"%s_udp_rcvbuf_errors\":%d,\"%s_ip_reasm_fails\":%d", side, value["Udp:RcvbufErrors"], side,
          value["Ip:ReasmFails"]
      }' /proc/net/snmp)
  done
  if [ "$p" = murvik ]; then
    out+=",\"sim\":$(sim_eth_stats)"
  fi
  echo "$out}}"
}

# The simulator's Ethernet port counters.
sim_eth_stats() {
  local before
  before=$(wc -l <"$WORK/sim.out")
  echo stats >&"$SIM_FD"
  local end=$((SECONDS + 5))
  while [ "$(wc -l <"$WORK/sim.out")" -le "$before" ] && [ $SECONDS -lt $end ]; do sleep 0.05; done
  tail -n +"$((before + 1))" "$WORK/sim.out" | grep -m1 '^{' |
    python3 -c 'import json,sys
try: print(json.dumps(json.load(sys.stdin)["modules"][0]["eth"]))
except Exception: print("null")'
}

# iperf3 client from the PC side; $1 path, $2 result name, the rest iperf3 options.
iperf() {
  local p=$1 name=$2
  shift 2
  local dir=$RUN_DIR/$name-$p
  snapshot "$p" >"$dir.before"
  timeout $((SECONDS_PER_TEST + 30)) ip netns exec "${PC_NS[$p]}" iperf3 -c "$PLC_IP" -t "$SECONDS_PER_TEST" \
    --connect-timeout 5000 -J "$@" >"$dir.json" 2>"$dir.err" || true
  snapshot "$p" >"$dir.after"
  echo "$*" >"$dir.args"
  sleep 0.5  # queues drain before the next test
}

ping_test() {
  local p=$1
  snapshot "$p" >"$RUN_DIR/ping-$p.before"
  ip netns exec "${PC_NS[$p]}" ping -n -c "$PINGS" -i "$INTERVAL" -W 1 "$PLC_IP" >"$RUN_DIR/ping-$p.txt" 2>&1 ||
    true
  snapshot "$p" >"$RUN_DIR/ping-$p.after"
}

# The receiver's rate of a UDP result, times a factor, as an iperf3 bitrate.
rate_of() {
  python3 - "$1" "$2" <<'EOF'
import json, sys
try:
    bps = json.load(open(sys.argv[1]))["end"]["sum_received"]["bits_per_second"]
except Exception:
    bps = 0
print(max(int(bps * float(sys.argv[2])), 1000000))
EOF
}

REPORT=$ROOT/bench/ethernet_report.py
[ -f "$REPORT" ] || fail "missing $REPORT"
mtu_of() { ip -n "$1" -o link show dev "$2" | sed -n 's/.* mtu \([0-9]*\) .*/\1/p'; }
# What was measured: the commit, and whether the sources differed from it when built.
SOURCE=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
git -C "$ROOT" diff --quiet HEAD -- src tools 2>/dev/null || SOURCE+="+changes"
cat >"$WORK/settings.json" <<EOF
{"seconds_per_test":$SECONDS_PER_TEST,"pings":$PINGS,"ping_interval_s":$INTERVAL,
 "clk_tck":$(getconf CLK_TCK),"cpus":$(nproc),"kernel":"$(uname -r)","build":"$TYPE","source":"$SOURCE",
 "openvpn":"$(openvpn --version 2>/dev/null | head -1 | cut -d' ' -f1-2)",
 "iperf3":"$(iperf3 --version 2>/dev/null | head -1 | cut -d' ' -f1-2)",
 "openvpn_options":"${OVPN_OPTS[*]}",
 "mtu":{"veth":$(mtu_of "$NS_VPC" mveb-pc),"openvpn":$(mtu_of "$NS_OPC" mvebovpn0),"murvik":$MTU}}
EOF

log "paths ready (murvik adapter $ADAPTER_IF, MTU $MTU); $RUNS run(s)" \
  "of about $((SECONDS_PER_TEST * 18 + PINGS * 3 / 40 + 20)) s"
for run in $(seq "$RUNS"); do
  RUN_DIR=$WORK/run$run
  mkdir -p "$RUN_DIR"
  # A different path goes first in each run, so that a trend on the machine falls on each alike.
  order=()
  for k in 0 1 2; do order+=("${PATHS[$(((k + run - 1) % 3))]}"); done
  log "run $run of $RUNS (order ${order[*]}, load average $(cut -d' ' -f1-3 /proc/loadavg))"
  cut -d' ' -f1-3 /proc/loadavg >"$RUN_DIR/load.start"
  for p in "${order[@]}"; do ping_test "$p"; done
  for p in "${order[@]}"; do iperf "$p" tcp_up; done
  for p in "${order[@]}"; do iperf "$p" tcp_down -R; done
  for p in "${order[@]}"; do iperf "$p" udp_limit -u -l 1400 -b 0; done
  for p in "${order[@]}"; do iperf "$p" udp_80 -u -l 1400 -b "$(rate_of "$RUN_DIR/udp_limit-$p.json" 0.8)"; done
  for p in "${order[@]}"; do iperf "$p" udp_fit -u -l $((MTU - 28)) -b 0; done
  for p in "${order[@]}"; do iperf "$p" udp_down -u -l 1400 -b 0 -R; done
  cut -d' ' -f1-3 /proc/loadavg >"$RUN_DIR/load.end"
  python3 "$REPORT" run "$WORK/settings.json" "$RUN_DIR" "$run" | tee -a "$WORK/runs.jsonl"
  kill -0 "$DAEMON_PID" 2>/dev/null || fail "murvikd has ended: $(tail -c 2000 "$WORK/murvikd.out")"
done
[ "$RUNS" -gt 1 ] && python3 "$REPORT" summary "$WORK/runs.jsonl"

# ------------------------------------------------------------------ profile

if [ "$PROFILE" = 1 ] && ! command -v perf >/dev/null; then
  log "no perf (Debian: apt-get install linux-perf): no profile"
  PROFILE=0
fi
if [ "$PROFILE" = 1 ]; then
  set +o pipefail  # the reports below are cut with head
  PDIR=$WORK/profile
  mkdir -p "$PDIR"
  adapter_count() { ip netns exec "$NS_MPC" cat "/sys/class/net/$ADAPTER_IF/statistics/$1"; }
  report() { perf report -i "$1" --stdio -g none "${@:2}" 2>/dev/null | grep -v '^#' | grep -v '^$'; }
  SYSCALLS=()
  for s in read write sendto recvfrom poll futex sendmmsg recvmmsg; do SYSCALLS+=(-e "syscalls:sys_enter_$s"); done
  log "profiling murvikd and murvik-sim during a TCP run each way"
  for dir in up down; do
    extra=()
    [ $dir = down ] && extra=(-R)
    ip netns exec "$NS_MPC" iperf3 -c "$PLC_IP" -t 11 -J "${extra[@]}" >"$PDIR/iperf-$dir.json" 2>&1 &
    ipid=$!
    sleep 1.5
    # Frame pointers give the kernel's stacks; DWARF unwinding those through the program, which
    # is built without frame pointers, to charge lock waits and system calls to its functions.
    perf record -q -g -e cpu-clock -F 1999 -o "$PDIR/murvikd-$dir.data" -p "$DAEMON_PID" -- sleep 3 2>/dev/null &
    rpid=$!
    perf record -q -g -e cpu-clock -F 1999 -o "$PDIR/sim-$dir.data" -p "$SIM_PID" -- sleep 3 2>/dev/null
    wait "$rpid" || true
    perf record -q --call-graph dwarf,16384 -e cpu-clock -F 499 -o "$PDIR/murvikd-$dir-dwarf.data" \
      -p "$DAEMON_PID" -- sleep 2 2>/dev/null || true
    t0=$(adapter_count tx_packets) r0=$(adapter_count rx_packets)
    perf stat -x, -o "$PDIR/murvikd-$dir.stat" -e task-clock,context-switches "${SYSCALLS[@]}" \
      -p "$DAEMON_PID" -- sleep 2 2>/dev/null || true
    t1=$(adapter_count tx_packets) r1=$(adapter_count rx_packets)
    wait "$ipid" || true
    for who in murvikd sim; do
      {
        echo "== $who, TCP $dir: by DSO"
        report "$PDIR/$who-$dir.data" --no-children --sort dso | head -6
        echo "== $who, TCP $dir: top functions (self)"
        report "$PDIR/$who-$dir.data" --no-children --sort sym | head -25
        echo "== $who, TCP $dir: system calls (with what they call)"
        report "$PDIR/$who-$dir.data" --children --sort sym | grep -E '__x64_sys_[a-z_]+' | head -12
      } >"$PDIR/$who-$dir.txt"
    done
    {
      echo "== murvikd, TCP $dir: its own functions with what they call (DWARF stacks)"
      report "$PDIR/murvikd-$dir-dwarf.data" --children --sort sym |
        grep -E 'murvik::|__lll_lock|__libc_(sendto|recvfrom|write|read)|__poll|\] read$|\] write$' | head -30
      echo "== murvikd, TCP $dir: over 2 s, adapter frames out $((t1 - t0)), in $((r1 - r0)); count, event:"
      grep -v '^#' "$PDIR/murvikd-$dir.stat" | grep -v '^$' | cut -d, -f1,3
    } >>"$PDIR/murvikd-$dir.txt"
    cat "$PDIR/murvikd-$dir.txt" "$PDIR/sim-$dir.txt" >&2
  done
  # Which thread wakes which on a ping's way: one wake-up is one hop between threads.
  log "hops of a ping round trip (with tracing on, so each takes somewhat longer than untraced)"
  for p in openvpn murvik; do
    perf record -q -a -e sched:sched_wakeup,syscalls:sys_enter_sendto -o "$PDIR/hops-$p.data" -- \
      ip netns exec "${PC_NS[$p]}" ping -n -q -c "$PINGS" -i "$INTERVAL" -W 1 "$PLC_IP" >/dev/null 2>&1 || true
    perf script -i "$PDIR/hops-$p.data" -F comm,tid,cpu,time,event,trace 2>/dev/null |
      python3 "$REPORT" hops "$p" || true
  done
  threads() {
    local t out=()
    for t in /proc/"$1"/task/*; do [ "${t##*/}" != "$1" ] && out+=("${t##*/}"); done
    echo "${out[*]}"
  }
  log "  threads: murvikd $DAEMON_PID and $(threads "$DAEMON_PID"); murvik-sim $SIM_PID and" \
    "$(threads "$SIM_PID"); openvpn PC $OVPN_PC_PID, module $OVPN_MOD_PID"
  set -o pipefail
  [ "$KEEP" = 1 ] || log "(--keep keeps the perf data in the work folder)"
fi

if [ "$HOLD" = 1 ]; then
  log "holding the paths until SIGINT or SIGTERM: namespaces ${NAMESPACES[*]}"
  log "  murvikd $DAEMON_PID, murvik-sim $SIM_PID, openvpn $OVPN_PC_PID (PC) and $OVPN_MOD_PID (module)"
  log "  work folder $WORK"
  while :; do sleep 1; done
fi
