#!/usr/bin/env bash
# The updater on simulated hardware, set up and run in one command:
#   0. tools/setup.sh installs the Debian packages and builds build/Updater
#      (quick when all is in place; DEMO_SKIP_SETUP=1 skips it);
#   1. three modules on USB driver nodes in a temporary device directory (never
#      the real /dev), listed with "Updater -D";
#   2. as root: two TCP/IP modules, one of them a router with two modules on its
#      I2C bus, inside a private pair of network namespaces (the multicast search
#      never reaches a real network); "-D -t TCP" and "-D -r ROUTER" list them;
#   3. the main job: a local update server (loopback, a free port) offers two
#      builds for module 40F5849A; the updater lists them (-B), downloads the
#      newest and writes it into the module (-G -U), shows the module's new
#      version and build (-L, -D), and the simulated flash is checked against
#      the firmware image with the module's serial number patched in.
# Uses a temporary store; stops what it started and removes everything on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=/usr/bin/python3
UPDATER=${UPDATER_BIN:-$ROOT/build/Updater}
RUN_LIMIT=60       # seconds for one updater run
START_LIMIT=15     # seconds for a simulator or the server to get ready
SETUP_LIMIT=3600   # seconds for package installation and the first build

if [ "${DEMO_SKIP_SETUP:-0}" != 1 ]; then
  echo "== tools/setup.sh: packages and build"
  timeout "$SETUP_LIMIT" bash tools/setup.sh
fi
if [ ! -x "$UPDATER" ]; then
  echo "updater not found at $UPDATER (run tools/setup.sh or set UPDATER_BIN)" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tessaline-demo.XXXXXX")
SIM_PID=""
SERVER_PID=""
stop_pid() {
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop_pid "$SERVER_PID"
  stop_pid "$SIM_PID"
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
# 40F5849A takes the demo's update: its flash lives in a file, and after the
# reboot it reports the new build.
SN=40F5849A
MODEL=TSAnalog8                 # model 15
OLD_BUILD=99528558 OLD_VERSION=2.12.0
NEW_BUILD=99530001 NEW_VERSION=2.13.0
FLASH="$WORK/flash-$SN.bin"
NEW="flash-file=$FLASH,new-build=$NEW_BUILD,new-version=$NEW_VERSION"
"$PY" tests/sim/sim_module.py \
  --module "serial=$SN,$U,model=15,version=$OLD_VERSION,build=$OLD_BUILD,name=Bench left,$NEW" \
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
tcp_part() {
  echo
  if [ "$(id -u)" -ne 0 ]; then
    echo "== TCP/IP and router part skipped: it needs root for a private network namespace."
    echo "   (Run as root, e.g. sudo bash tools/demo.sh, to see \"-D -t TCP\" and \"-D -r D272031D\".)"
    return 0
  fi
  local reason
  reason=$("$PY" -c 'import sys; sys.path.insert(0, "tests/sim"); import netns; print(netns.why_unavailable() or "")')
  if [ -n "$reason" ]; then
    echo "== TCP/IP and router part skipped: $reason"
    return 0
  fi
  echo "== Two simulated TCP/IP modules in a private network namespace (10.231.0.2);"
  echo "   D272031D is a router with two modules on its I2C bus"
  local T="transport=tcp,host=0.0.0.0"
  local MODULES="tests/sim/sim_module.py --discovery \
    --module serial=00C0FFEE,$T,model=25,version=2.12.0,build=99528601,name=Rack-3 \
    --module serial=D272031D,$T,model=13,version=2.11.0,build=99500020,name=Router \
    --module serial=2A000001,router=D272031D,address=10,model=18,version=2.12.0,build=99528558 \
    --module serial=2A000002,router=D272031D,address=12,model=19,version=2.10.4,build=99411230"
  local HOST_SCRIPT='u=$1; shift
echo; echo "\$ Updater -D -t TCP"; timeout "$RUN_LIMIT" "$u" "$@" -D -t TCP
echo; echo "\$ Updater -D -r D272031D"; timeout "$RUN_LIMIT" "$u" "$@" -D -r D272031D'
  RUN_LIMIT=$RUN_LIMIT timeout $((3 * RUN_LIMIT)) "$PY" tests/sim/netns.py --timeout $((2 * RUN_LIMIT)) \
    --module-cmd "$PY $MODULES" -- env RUN_LIMIT="$RUN_LIMIT" sh -c "$HOST_SCRIPT" sh "$UPDATER" "${ARGS[@]}" \
    | grep -v '^READY '
}
tcp_part

# -- the main job: download the newest build and write it into a module ------------------------
echo
echo "== Firmware update of $SN ($MODEL, $OLD_VERSION build $OLD_BUILD) from a local update server"
SERVER_ROOT="$WORK/server"
mkdir -p "$SERVER_ROOT/$SN"
# Generic builds (serial number 0): the updater writes the module's serial
# number into the image at the two offsets the file names.
image() {  # SEED FILE: 64 KiB of firmware
  timeout "$RUN_LIMIT" "$PY" -c \
    'import random, sys; sys.stdout.buffer.write(random.Random(int(sys.argv[1])).randbytes(65536))' "$1" >"$2"
}
image 6 "$WORK/firmware-old.bin"
image 7 "$WORK/firmware-new.bin"
bird() {  # BUILD VERSION IMAGE
  timeout "$RUN_LIMIT" "$PY" tests/sim/birdgen.py -o "$SERVER_ROOT/$SN/$1.bird" \
    --loader 0x10000000:random:512 --firmware "0x8000:file:$3" --serial-offsets 0x8010,0x8040 \
    --identity "$1,$2,00000000,$MODEL"
}
bird "$OLD_BUILD" "$OLD_VERSION" "$WORK/firmware-old.bin"
bird "$NEW_BUILD" "$NEW_VERSION" "$WORK/firmware-new.bin"

"$PY" tools/update-server --root "$SERVER_ROOT" --bind 127.0.0.1 --port 0 \
  </dev/null >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
URL=""
for _ in $(seq $((START_LIMIT * 10))); do
  URL=$(sed -n 's|^update-server: serving .* on \(http://127\.0\.0\.1:[0-9]*/cgi/u\)$|\1|p' "$WORK/server.out")
  [ -n "$URL" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$URL" ]; then
  echo "update server did not start:" >&2
  cat "$WORK/server.err" >&2
  exit 1
fi
echo "   update server: $URL, builds $OLD_BUILD ($OLD_VERSION) and $NEW_BUILD ($NEW_VERSION)"
JOB=(-u "$URL" -i "$WORK/store")
job() {
  echo
  echo "\$ Updater -u $URL -i STORE $*"
  timeout "$RUN_LIMIT" "$UPDATER" "${JOB[@]}" "$@"
}
job -B -d "$SN"
# On a terminal the transfer shows a progress bar; piped, one line per block.
job -G -U -d "$SN"
job -L -d "$SN"

# The module reboots into the new firmware and is off the bus for a moment.
echo
echo "== waiting for $SN to come back after its reboot"
back=""
for _ in $(seq $((START_LIMIT * 2))); do
  if [ -e "$TESSALINE_DEVICE_DIR/tessaline.$SN" ] &&
     timeout "$RUN_LIMIT" "$UPDATER" "${JOB[@]}" -D 2>/dev/null | grep -q "^    $SN .* $NEW_VERSION ("; then
    back=1
    break
  fi
  sleep 0.5
done
if [ -z "$back" ]; then
  echo "$SN did not come back with version $NEW_VERSION" >&2
  exit 1
fi
job -D

echo
timeout "$RUN_LIMIT" "$PY" - "$FLASH" "$WORK/firmware-new.bin" "$SN" <<'PYEOF'
import sys
sys.path.insert(0, "tests/sim")
import birdgen
flash_path, image_path, sn = sys.argv[1:]
base, serial = 0x8000, int(sn, 16)
flash = open(flash_path, "rb").read()
image = birdgen.patch_serial(open(image_path, "rb").read(), base, serial, 0x8010, 0x8040)
expected = bytearray(b"\xff" * len(flash))
expected[base:base + len(image)] = image
if flash[base:base + len(image)] != image:
    sys.exit("flash check failed: the firmware image at 0x%X differs" % base)
if flash != bytes(expected):
    sys.exit("flash check failed: bytes outside the firmware image were written")
print("flash verified: %d bytes at 0x%X, serial number %s patched in" % (len(image), base, sn))
PYEOF
