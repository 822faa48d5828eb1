#!/usr/bin/env bash
# Installs every build, test and run dependency from Debian 12 packages.
# Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libwebsocketpp-dev libboost-dev libboost-system-dev libasio-dev
  libjsoncpp-dev libfmt-dev libimgui-dev libstb-dev libglfw3-dev libgl-dev
  libcurl4-openssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  curl binutils
  g++-mingw-w64-x86-64-posix
  wine64 dpkg-dev googletest
  redis-server libhiredis-dev
  haproxy
  systemd
)
# The server benchmark (bench/server/run.sh) drives the server with wrk.
if [ "${CRW_WITH_BENCH:-0}" = 1 ]; then
  PACKAGES+=(wrk)
fi
# libFuzzer targets (tests/fuzz/) build with clang 14.
if [ "${CRW_WITH_FUZZ:-0}" = 1 ]; then
  PACKAGES+=(clang-14 libclang-rt-14-dev)
fi
# Extra packages for running the windowed sandbox without a display.
if [ "${CRW_WITH_XVFB:-0}" = 1 ]; then
  PACKAGES+=(xvfb xauth)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
