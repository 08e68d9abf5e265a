#!/usr/bin/env bash
# Regenerates docs/images/reelcast.png: the replay window playing a recording.
#
#   scripts/screenshot_reelcast.sh [build-dir] [output.png]
#
# Starts a private virtual X server, runs nimbra_reelcast from the build with
# no arguments (window mode), picks a generated recording through "Choose
# recording" with synthetic key presses, and photographs the window while
# playback waits at frame 240 (the recording holds a long gap there, so the
# picture is the same on every run). Needs Xvfb, xdotool, ImageMagick's
# import and python3.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${1:-$ROOT/build}"
OUTPUT="${2:-$ROOT/docs/images/reelcast.png}"
PROGRAM="$BUILD_DIR/bin/nimbra_reelcast"

for tool in Xvfb xdotool import python3; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "screenshot: build $PROGRAM first" >&2; exit 1; }

WORK="$(mktemp -d)"
XVFB_PID=""
APP_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# 600 Mocap frames 10 ms apart, except for a 50 s gap after frame 240.
RECORDING="$WORK/walk_take.bin"
python3 - "$RECORDING" <<'EOF'
import struct, sys, zlib

def checksum(data):
    # Reflected CRC-32 with the register starting at 1 and no final XOR.
    return ~zlib.crc32(data, 0xFFFFFFFE) & 0xFFFFFFFF

def frame(timestamp_us, k):
    poses = b"".join(struct.pack("<7f", 0.01 * i, 1.0 + 0.001 * k, -0.02 * i, 1.0, 0.0, 0.0, 0.0)
                     for i in range(64))
    payload = struct.pack("<Q", timestamp_us) + poses + bytes(50)
    body = b"\xaa\x55" + struct.pack("<HH", 0, len(payload)) + payload
    return body + struct.pack("<I", checksum(body))

with open(sys.argv[1], "wb") as out:
    timestamp = 1_000_000
    for k in range(600):
        out.write(frame(timestamp, k))
        timestamp += 50_000_000 if k == 239 else 10_000
EOF

# Xvfb picks a free display number and writes it to the descriptor.
exec 3>"$WORK/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
exec 3>&-
for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || { echo "screenshot: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$WORK/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# No argument and a display: window mode. No terminal on stdin: no console.
"$PROGRAM" </dev/null >"$WORK/reelcast.log" 2>&1 &
APP_PID=$!
WINDOW="$(timeout 10 xdotool search --sync --name '^Nimbra Reelcast$' | head -n1)"
xdotool windowfocus --sync "$WINDOW"
sleep 0.5

# Focus starts in the address field; four tabs reach "Choose recording".
xdotool key --delay 50 Tab Tab Tab Tab space
DIALOG="$(timeout 10 xdotool search --sync --name '^Choose Nimbra recording$' | head -n1)"
xdotool windowfocus --sync "$DIALOG"
xdotool type --delay 5 "$RECORDING"
xdotool key Return

# Frames 1-240 take 2.4 s; then the next one is 50 s away.
for _ in $(seq 100); do
  grep -q "Playing '" "$WORK/reelcast.log" && break
  sleep 0.1
done
sleep 4
xdotool mousemove 790 590
mkdir -p "$(dirname "$OUTPUT")"
import -window "$WINDOW" -strip "$OUTPUT"
echo "screenshot: wrote $OUTPUT"
cat "$WORK/reelcast.log"
