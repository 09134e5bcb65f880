#!/usr/bin/env bash
# The main job against the bundled simulator: murvik-sim plays the login server, a relay and one
# module on loopback; murvikd registers, is redirected, finds and checks the module, stays online
# with pings, rides out a lost module, and says goodbye on stop. Meanwhile a Modbus master (mbpoll)
# on the PC's virtual serial port talks to a Modbus RTU server (pymodbus) on the module's COM1.
# As root, a second module's Ethernet port follows: ping and curl on the PC reach a "PLC" address
# behind it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/bootstrap.sh
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$(nproc)" --target murvikd murvik-sim setupc tapinstall >/dev/null 2>&1 ||
  cmake --build build --target murvikd murvik-sim setupc tapinstall

WORK=$(mktemp -d /tmp/murvik-demo.XXXXXX)
# Everything the demo makes stays in its own folder: configuration, driver state, visible ports.
export MURVIK_HOME="$WORK/home" MURVIK_DRIVER_STATE="$WORK/driver-state" MURVIK_DEV_DIR="$WORK/dev"
SIM_PID=""
DAEMON_PID=""
SERVER_PID=""
PC_NS=""
PLC_NS=""
cleanup() {
  [ -n "$DAEMON_PID" ] && kill -TERM "$DAEMON_PID" 2>/dev/null || true
  for pid in ${ETH_PIDS:-}; do kill -TERM "$pid" 2>/dev/null || true; done
  [ -n "$SERVER_PID" ] && kill -TERM "$SERVER_PID" 2>/dev/null || true
  build/src/driver/setupc remove 0 >/dev/null 2>&1 || true
  [ -n "$SIM_PID" ] && kill -TERM "$SIM_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "$PLC_NS" ] && ip netns del "$PLC_NS" 2>/dev/null || true
  [ -n "$PC_NS" ] && ip netns del "$PC_NS" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

SN=20231234567
PASSWORD=demo-pass
NAME=DemoModule

echo "== making the virtual serial port pair (the PC side of the module's COM1)"
build/src/driver/setupc INSTALL PortName=COM# - | sed 's/^ */   /'
VISIBLE="$MURVIK_DEV_DIR/COM1"

echo "== starting murvik-sim (login server, relay, module $SN)"
mkfifo "$WORK/sim.in"
build/tools/sim/murvik-sim --login-port 0 --relay-port 0 \
  --module "sn=$SN,password=$PASSWORD,devtype=DLXK2-4G,devsubtype=N2W,firmware=31,com1=pty" \
  --record "$WORK/sim.jsonl" <"$WORK/sim.in" >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
exec 3>"$WORK/sim.in"  # keeps the simulator's command input open
for _ in $(seq 100); do grep -q '^READY' "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
READY=$(grep '^READY' "$WORK/sim.out") || { echo "murvik-sim did not start"; cat "$WORK/sim.err"; exit 1; }
LOGIN_PORT=$(sed -n 's/.*login=\([0-9]*\).*/\1/p' <<<"$READY")
MODULE_PTY=$(awk '/^PTY COM1/{print $3}' "$WORK/sim.out")
echo "   $READY (the module's COM1 line is $MODULE_PTY)"

echo "== starting a Modbus RTU server (pymodbus) on the module's COM1"
/usr/bin/python3 tests/peers/modbus_rtu_server.py "$MODULE_PTY" >"$WORK/server.out" 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do grep -q '^SERVING' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^SERVING' "$WORK/server.out" || { echo "the Modbus server did not start"; cat "$WORK/server.out"; exit 1; }

# home, SN, password, name, login port, COM1 channel used (0/1), network channel adapter ("" = unused)
write_config() {
  local home=$1 sn=$2 password=$3 name=$4 port=$5 com1=$6 adapter=$7 net=0
  [ -n "$adapter" ] && net=1
  mkdir -p "$home"
  cat >"$home/MURVIK3.utf8.xml" <<XML
<?xml version="1.0" encoding="UTF-16"?>
<ROOT>
  <SYS AUTOCONNECT="false"/>
  <OBJ COUNT="1" OPENLIST="$sn" GROUPLIST="">
    <IOSERVER0 MODEL2="0" LOGNAME="127.0.0.1" LOGPORT="$port" SN="$sn" PWD="$password" NAME="$name" GROUP="" BRIEF="demo" CHCNT="4">
      <CH0 TYPE="COM" USE="$com1" VPORT="COM1" DPORT="COM1" PlcType="1" TransMode="1" BaudRate="9600" ByteSize="8" Parity="2" StopBits="0" Other=""/>
      <CH1 TYPE="COM" USE="0" VPORT="COM6" DPORT="COM2" PlcType="1" TransMode="1" BaudRate="9600" ByteSize="8" Parity="2" StopBits="0" Other=""/>
      <CH2 TYPE="COM" USE="0" VPORT="COM7" DPORT="COM3" PlcType="1" TransMode="1" BaudRate="9600" ByteSize="8" Parity="2" StopBits="0" Other=""/>
      <CH3 TYPE="NET" USE="$net" NETNAME="$adapter" IP="192.168.1.1" NETMASK="255.255.255.0" IPMIN="192.168.1.10" IPMAX="192.168.1.20">
        <NETDEV COUNT="0" USE="0"/>
      </CH3>
      <TRANS COUNT="0" USE="0"/>
    </IOSERVER0>
  </OBJ>
</ROOT>
XML
  iconv -f UTF-8 -t UTF-16 "$home/MURVIK3.utf8.xml" >"$home/MURVIK3.xml"
  rm "$home/MURVIK3.utf8.xml"
}

echo "== writing the configuration into $WORK/home"
write_config "$WORK/home" "$SN" "$PASSWORD" "$NAME" "$LOGIN_PORT" 1 ""

echo "== starting murvikd $NAME"
build/src/murvikd "$NAME" &
DAEMON_PID=$!

wait_for() {  # pattern, seconds
  for _ in $(seq $(($2 * 10))); do grep -q "$1" "$WORK/sim.jsonl" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
wait_for '"name":"PARAM_ACK"' 15 || { echo "the module did not come online"; exit 1; }
wait_for '"name":"PING_ACK"' 10 || { echo "no keep-alive answered"; exit 1; }

modbus() {  # mbpoll options, then write values
  local opts=$1; shift
  mbpoll -m rtu -b 9600 -P even -a 1 -1 -o 3 $opts "$VISIBLE" "$@" 2>&1 | grep -E '^\[|Written|failed' | sed 's/^/   /'
}
sleep 1
echo "== mbpoll on $VISIBLE reads holding registers 1-4 through the tunnel (download mode, 9600 8E1)"
EXCHANGE=$(modbus "-r 1 -c 4")
echo "$EXCHANGE"
echo "== mbpoll writes 4242 into register 3, then reads 1-4 again"
modbus "-r 3" 4242
EXCHANGE2=$(modbus "-r 1 -c 4")
echo "$EXCHANGE2"
grep -q $'\[3\]: \t4242' <<<"$EXCHANGE2" || { echo "the Modbus exchange through the tunnel failed"; exit 1; }

echo "== the module goes offline for a moment"
echo "offline $SN" >&3
sleep 3
echo "online $SN" >&3
sleep 4

echo "== stopping murvikd"
kill -TERM "$DAEMON_PID"
wait "$DAEMON_PID" && rc=0 || rc=$?
DAEMON_PID=""
echo "   murvikd exit code: $rc"
sleep 0.3

echo "== what crossed the wire (murvik-sim's record)"
NAMES=$(sed -n 's/.*"name":"\([A-Z_]*\)".*/\1/p' "$WORK/sim.jsonl" |
  awk '{ if (!seen[$0]++) order[n++] = $0 } END { for (i = 0; i < n; i++) printf "%s x%d\n", order[i], seen[order[i]] }')
echo "$NAMES" | sed 's/^/   /'
NAKS=$(grep -c '"dir":"rx".*"name":"NAK"' "$WORK/sim.jsonl" || true)
echo "   goodbye NAKs received by the server: $NAKS"
LINES=$(grep '"dir":"rx".*"name":"COM_DATA"' "$WORK/sim.jsonl" |
  sed -n 's/.*"baud":\([0-9]*\),"bits":\([0-9]\),"parity":"\(.\)","stop":"\([0-9.]*\)".*/\1 \2\3\4/p' | sort | uniq -c | awk '{printf "%s x%s ", $2 " " $3, $1}')
echo "   line settings of the serial frames from the PC: $LINES"
[ "$rc" -eq 0 ] && [ "$NAKS" -ge 2 ] || { echo "demo failed"; exit 1; }

if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/net/tun ]; then
  echo "== the Ethernet part needs root (network namespaces, TAP interfaces): skipped"
  echo "demo finished"
  exit 0
fi

# The module's Ethernet port: the PC and the devices behind the module each get a network
# namespace of their own, so nothing here touches the machine's interfaces.
PC_NS=murvik-demo-pc-$$
PLC_NS=murvik-demo-plc-$$
ETH_PIDS=""
ip netns add "$PC_NS"
ip netns add "$PLC_NS"
ip -n "$PC_NS" link set lo up
ip -n "$PLC_NS" link set lo up
inpc() { ip netns exec "$PC_NS" "$@"; }
SN2=20239876543
NAME2=DemoEthernet
echo "== making the virtual Ethernet adapter (the PC side of the module's Ethernet port)"
inpc build/src/driver/tapinstall install OemWin2k.inf tap0901 | sed 's/^/   /'
ADAPTER=$(inpc build/src/driver/tapinstall find tap0901 | sed -n 's/^[^:]*: *//p' | head -1)

echo "== starting murvik-sim with module $SN2, its Ethernet port bridged to mvsim0"
inpc build/tools/sim/murvik-sim --login-port 0 \
  --module "sn=$SN2,password=$PASSWORD,eth=tap:mvsim0,mac=00:1A:2B:3C:4D:5E" \
  --record "$WORK/sim2.jsonl" </dev/null >"$WORK/sim2.out" 2>"$WORK/sim2.err" &
ETH_PIDS="$ETH_PIDS $!"
for _ in $(seq 100); do grep -q '^READY' "$WORK/sim2.out" 2>/dev/null && break; sleep 0.1; done
READY2=$(grep '^READY' "$WORK/sim2.out") || { echo "murvik-sim did not start"; cat "$WORK/sim2.err"; exit 1; }
LOGIN_PORT2=$(sed -n 's/.*login=\([0-9]*\).*/\1/p' <<<"$READY2")
echo "   $(grep '^ETH' "$WORK/sim2.out")"
echo "== the PLC 192.168.1.15 lives behind the module (mvsim0 moved into its namespace)"
ip -n "$PC_NS" link set mvsim0 netns "$PLC_NS"
ip -n "$PLC_NS" addr add 192.168.1.15/24 dev mvsim0
ip -n "$PLC_NS" link set mvsim0 up
mkdir -p "$WORK/www"
echo "hello from the PLC behind the module" >"$WORK/www/plc.txt"
ip netns exec "$PLC_NS" /usr/bin/python3 -m http.server 8080 --bind 192.168.1.15 --directory "$WORK/www" \
  >"$WORK/http.out" 2>&1 &
ETH_PIDS="$ETH_PIDS $!"

echo "== starting murvikd $NAME2 (network channel on \"$ADAPTER\")"
write_config "$WORK/home2" "$SN2" "$PASSWORD" "$NAME2" "$LOGIN_PORT2" 0 "$ADAPTER"
inpc env MURVIK_HOME="$WORK/home2" build/src/murvikd "$NAME2" >"$WORK/murvikd2.out" 2>&1 &
ETH_PIDS="$ETH_PIDS $!"
for _ in $(seq 60); do inpc ping -n -c 1 -W 1 192.168.1.15 >/dev/null 2>&1 && break; sleep 0.5; done
echo "   the adapter: $(inpc ip -br link show murvik0) $(inpc ip -br -4 addr show murvik0 | awk '{print $3}')"
echo "== ping 192.168.1.15 from the PC through the tunnel"
inpc ping -n -c 3 -i 0.2 192.168.1.15 | sed 's/^/   /'
echo "== curl http://192.168.1.15:8080/plc.txt from the PC"
GOT=$(inpc curl -s --max-time 10 http://192.168.1.15:8080/plc.txt) || true
echo "   $GOT"
[ "$GOT" = "hello from the PLC behind the module" ] || { echo "the HTTP exchange through the tunnel failed"; exit 1; }
echo "demo finished"
