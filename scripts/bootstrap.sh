#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quick when everything is present.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpugixml-dev nlohmann-json3-dev
  libbackward-cpp-dev libdw-dev
  clang libclang-rt-14-dev
  python3
  # third-party peers for the serial path's end-to-end tests and benchmarks
  mbpoll python3-pymodbus python3-serial python3-serial-asyncio socat
  # and for the Ethernet path's (network namespaces, TAP interfaces)
  iproute2 iputils-ping curl iperf3 openvpn
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
