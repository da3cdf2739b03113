#!/usr/bin/env bash
# The updater on simulated hardware: starts simulated modules and lists them
# with "Updater -D".
#   - three modules on USB driver nodes in a temporary device directory (never
#     the real /dev);
#   - as root: two TCP/IP modules, one of them a router with two modules on its
#     I2C bus, inside a private pair of network namespaces (the multicast search
#     never reaches a real network); "-D -t TCP" and "-D -r ROUTER" list them.
# Builds first (tools/setup.sh) when build/Updater is missing. Uses a temporary
# store and a local dummy update-server URL; removes everything on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=/usr/bin/python3
UPDATER=${UPDATER_BIN:-$ROOT/build/Updater}
RUN_LIMIT=60       # seconds for one updater run
START_LIMIT=15     # seconds for the simulator to get ready

if [ ! -x "$UPDATER" ]; then
  echo "== build/Updater is missing: running tools/setup.sh"
  bash tools/setup.sh
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-demo.XXXXXX")
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill "$SIM_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export TESSALINE_DEVICE_DIR="$WORK/dev"
mkdir -p "$TESSALINE_DEVICE_DIR" "$WORK/store"
# Discovery never asks the update server; a dead local URL keeps any other
# command away from the built-in server too.
ARGS=(-u http://127.0.0.1:9/cgi/u -i "$WORK/store")

show() {
  echo
  echo "\$ Updater $*"
  timeout "$RUN_LIMIT" "$UPDATER" "${ARGS[@]}" "$@"
}

# -- USB ----------------------------------------------------------------------------------
U="transport=usbnode,device-dir=$TESSALINE_DEVICE_DIR"
"$PY" tests/sim/sim_module.py \
  --module "serial=40F5849A,$U,model=15,version=2.12.0,build=99528558,name=Bench left" \
  --module "serial=0F5849A1,$U,model=16,version=2.10.3,build=99411230,address=4" \
  --module "serial=1D272031,$U,model=14,version=2.11.2,build=99500017,name=Hub,address=6" \
  </dev/null >"$WORK/usb.out" 2>"$WORK/usb.err" &
SIM_PID=$!
for _ in $(seq $((START_LIMIT * 10))); do
  grep -q '^READY ' "$WORK/usb.out" && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^READY ' "$WORK/usb.out"; then
  echo "simulated USB modules did not start:" >&2
  cat "$WORK/usb.err" >&2
  exit 1
fi
echo "== Three simulated modules on USB driver nodes in $TESSALINE_DEVICE_DIR"
show -D

# -- TCP/IP and a router, in a private network ----------------------------------------------
echo
if [ "$(id -u)" -ne 0 ]; then
  echo "== TCP/IP and router part skipped: it needs root for a private network namespace."
  echo "   (Run as root, e.g. sudo bash tools/demo.sh, to see \"-D -t TCP\" and \"-D -r D272031D\".)"
  exit 0
fi
reason=$("$PY" -c 'import sys; sys.path.insert(0, "tests/sim"); import netns; print(netns.why_unavailable() or "")')
if [ -n "$reason" ]; then
  echo "== TCP/IP and router part skipped: $reason"
  exit 0
fi
echo "== Two simulated TCP/IP modules in a private network namespace (10.231.0.2);"
echo "   D272031D is a router with two modules on its I2C bus"
T="transport=tcp,host=0.0.0.0"
MODULES="tests/sim/sim_module.py --discovery \
  --module serial=00C0FFEE,$T,model=25,version=2.12.0,build=99528601,name=Rack-3 \
  --module serial=D272031D,$T,model=13,version=2.11.0,build=99500020,name=Router \
  --module serial=2A000001,router=D272031D,address=10,model=18,version=2.12.0,build=99528558 \
  --module serial=2A000002,router=D272031D,address=12,model=19,version=2.10.4,build=99411230"
HOST_SCRIPT='u=$1; shift
echo; echo "\$ Updater -D -t TCP"; timeout "$RUN_LIMIT" "$u" "$@" -D -t TCP
echo; echo "\$ Updater -D -r D272031D"; timeout "$RUN_LIMIT" "$u" "$@" -D -r D272031D'
RUN_LIMIT=$RUN_LIMIT timeout $((3 * RUN_LIMIT)) "$PY" tests/sim/netns.py --timeout $((2 * RUN_LIMIT)) \
  --module-cmd "$PY $MODULES" -- env RUN_LIMIT="$RUN_LIMIT" sh -c "$HOST_SCRIPT" sh "$UPDATER" "${ARGS[@]}" \
  | grep -v '^READY '
