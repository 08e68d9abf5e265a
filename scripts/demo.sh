#!/usr/bin/env bash
# The README's main job: set up and build, make a 10-second synthetic
# recording, replay it with its own timing to a recorder listening on
# loopback, and check that the new recording is byte for byte the original.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
./scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build build

BIN="$ROOT/build/bin"
OUT="${NMB_DEMO_DIR:-$ROOT/demo-out}"
PORT="${NMB_DEMO_PORT:-15000}"
mkdir -p "$OUT"

echo
echo "== 1. A synthetic take: 10 s of a moving 64-joint skeleton at 120 Hz"
"$BIN/nimbra_mocap_synth" --output "$OUT/sample.bin" --rate 120 --duration 10

echo
echo "== 2. The recorder listens on UDP port $PORT"
"$BIN/nimbra_reeltake" --port "$PORT" --directory "$OUT/recordings" 2>"$OUT/reeltake.log" &
recorder=$!
trap 'kill "$recorder" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q "Recording UDP datagrams on" "$OUT/reeltake.log" 2>/dev/null && break
  sleep 0.1
done
cat "$OUT/reeltake.log"

echo
echo "== 3. Replay the take to the recorder with the frames' own timing (about 10 s)"
"$BIN/nimbra_reelcast" "$OUT/sample.bin" --ip 127.0.0.1 --port "$PORT"

echo
echo "== 4. Stop the recorder"
kill -INT "$recorder"
wait "$recorder" || true
trap - EXIT
tail -n 1 "$OUT/reeltake.log"
recording="$(sed -n 's/^Recording UDP datagrams on .* to //p' "$OUT/reeltake.log")"
if cmp -s "$OUT/sample.bin" "$recording"; then
  echo "The recording $recording is byte for byte the synthetic take."
else
  echo "The recording $recording differs from the synthetic take." >&2
  exit 1
fi
