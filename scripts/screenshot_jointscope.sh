#!/usr/bin/env bash
# Takes docs/images/jointscope.png: runs nimbra_jointscope on a private X
# server, feeds it a moving skeleton for a few seconds and grabs the screen.
#
#   scripts/screenshot_jointscope.sh [output.png]
#
# Programs come from the build's bin/ (NMB_BUILD_DIR, default build/); each
# can be overridden:
#   NMB_JOINTSCOPE   the viewer            (default <bin>/nimbra_jointscope)
#   NMB_MOCAP_SYNTH  the frame source      (default <bin>/nimbra_mocap_synth)
#   NMB_SCREENSHOT_PORT  UDP port to use   (default 15123)
#   NMB_SCREENSHOT_WAIT  seconds of frames before the grab (default 3)
# Needs Xvfb, ImageMagick's import and a CJK font (fonts-noto-cjk).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="${NMB_BUILD_DIR:-$ROOT/build}/bin"
VIEWER="${NMB_JOINTSCOPE:-$BIN/nimbra_jointscope}"
SOURCE="${NMB_MOCAP_SYNTH:-$BIN/nimbra_mocap_synth}"
PORT="${NMB_SCREENSHOT_PORT:-15123}"
WAIT="${NMB_SCREENSHOT_WAIT:-3}"
OUT="${1:-$ROOT/docs/images/jointscope.png}"

if [ ! -x "$VIEWER" ]; then
  echo "screenshot: no viewer at $VIEWER (build nimbra_jointscope first)" >&2
  exit 1
fi
if [ ! -x "$SOURCE" ]; then
  echo "screenshot: no frame source at $SOURCE (build nimbra_mocap_synth first)" >&2
  exit 1
fi
for tool in Xvfb import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is not installed" >&2; exit 1; }
done

# A free display number: no lock file and no socket.
DISPLAY_NUMBER=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
    DISPLAY_NUMBER=$n
    break
  fi
done
[ -n "$DISPLAY_NUMBER" ] || { echo "screenshot: no free X display" >&2; exit 1; }

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The screen is exactly the window's size; with no window manager the window
# sits at the origin without decorations.
Xvfb ":$DISPLAY_NUMBER" -screen 0 920x720x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X$DISPLAY_NUMBER" ] && break
  sleep 0.05
done
[ -e "/tmp/.X11-unix/X$DISPLAY_NUMBER" ] || { echo "screenshot: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$DISPLAY_NUMBER"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

"$VIEWER" --port "$PORT" &
pids+=($!)
sleep 1
"$SOURCE" --ip 127.0.0.1 --port "$PORT" --rate 120 --duration $((WAIT + 5)) >/dev/null &
pids+=($!)
sleep "$WAIT"

mkdir -p "$(dirname "$OUT")"
import -window root "$OUT"
echo "screenshot: wrote $OUT (frames from $(basename "$SOURCE"))"
