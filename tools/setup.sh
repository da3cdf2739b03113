#!/usr/bin/env bash
# Installs every Debian package the project needs, then configures and builds
# the release tree in build/. Safe to run any number of times.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake g++ make pkg-config git
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
  libzmq3-dev libczmq-dev libudev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest
  clang libclang-rt-14-dev
  iproute2 curl util-linux ccache
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
