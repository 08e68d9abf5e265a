#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/), makes their seed corpora and
# runs each target for the given number of seconds.
#
#   scripts/fuzz.sh [seconds-per-target] [target ...]
#
# Seconds default to 30; the targets default to all six. Seeds are made
# afresh in build-fuzz/seeds/<target> (recordings from nimbra_mocap_synth,
# clean and with faults, plus the hand-made messages in fuzz/seeds/); what a
# target learns is kept in build-fuzz/corpus/<target> and grows from run to
# run; the inputs in fuzz/regressions/<target> are run first, every time.
# A crash leaves its input in build-fuzz/artifacts/<target>/ and makes the
# exit status non-zero. Environment:
#   NMB_FTXUI_PREFIX  FTXUI's prefix when it is not in build/_deps/ftxui
#   NMB_FUZZ_JOBS     parallel build jobs (default: the number of cores)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_PER_TARGET="${1:-30}"
[ "$#" -gt 0 ] && shift
TARGETS=(fuzz_stream_decoder fuzz_recording_reader fuzz_frame_text fuzz_skelora_incoming
         fuzz_recording_scan fuzz_capture_import)
[ "$#" -gt 0 ] && TARGETS=("$@")
if ! [[ "$SECONDS_PER_TARGET" =~ ^[0-9]+$ ]] || [ "$SECONDS_PER_TARGET" -lt 1 ]; then
  echo "fuzz: seconds per target must be a whole number above 0, not '$SECONDS_PER_TARGET'" >&2
  exit 2
fi

BUILD="$ROOT/build-fuzz"
. "$ROOT/scripts/ccache.sh"
configure=(--preset fuzz "${NMB_LAUNCHER[@]}")
if [ -n "${NMB_FTXUI_PREFIX:-}" ]; then
  configure+=(-DCMAKE_PREFIX_PATH="$NMB_FTXUI_PREFIX")
fi
cmake "${configure[@]}" >/dev/null
cmake --build "$BUILD" --target fuzzers -j "${NMB_FUZZ_JOBS:-$(nproc)}"

# --- Seeds -----------------------------------------------------------------
SEEDS="$BUILD/seeds"
rm -rf "$SEEDS"
mkdir -p "$SEEDS/recordings"
for t in "${TARGETS[@]}"; do mkdir -p "$SEEDS/$t"; done

# The synthetic source comes from the same build, sanitizers included.
synth() {
  if ! "$BUILD/bin/nimbra_mocap_synth" --output "$SEEDS/recordings/$1" "${@:2}" \
      >"$SEEDS/synth.log" 2>&1; then
    cat "$SEEDS/synth.log" >&2
    echo "fuzz: nimbra_mocap_synth could not make the seed $1" >&2
    exit 1
  fi
}
synth clean.bin --frames 3
synth single.bin --frames 1
synth other_id.bin --frames 3 --other-id-at 1
synth bad_crc.bin --frames 3 --bad-crc-at 1
synth garbage.bin --frames 3 --garbage-at 1 --garbage-at 2 --seed 7
synth truncated_payload.bin --frames 2 --truncate-tail 5
synth truncated_header.bin --frames 2 --truncate-tail 1857
synth mixed.bin --frames 6 --other-id-at 0 --bad-crc-at 3 --garbage-at 2 --garbage-at 4 --seed 3 --truncate-tail 100
# Small frames: a timestamp-only Mocap frame and an empty body frame.
printf '\xAA\x55\x00\x00\x08\x00\x40\x42\x0F\x00\x00\x00\x00\x00\x29\x7C\x02\x0D' > "$SEEDS/recordings/timestamp_only.bin"
printf '\xAA\x55\x01\x00\x00\x00\xF3\xC6\x94\x3B' > "$SEEDS/recordings/empty_body.bin"
cat "$SEEDS/recordings/timestamp_only.bin" "$SEEDS/recordings/empty_body.bin" \
  "$SEEDS/recordings/timestamp_only.bin" > "$SEEDS/recordings/small_frames.bin"
: > "$SEEDS/recordings/empty.bin"

seed_dir() { [ -d "$SEEDS/$1" ] && echo "$SEEDS/$1"; }
for recording in "$SEEDS"/recordings/*.bin; do
  name="$(basename "$recording" .bin)"
  # Stream: the bytes, then (read from the end) 3 datagrams of 100, 1000 and
  # 7 bytes, with alternating feeding styles.
  if dir="$(seed_dir fuzz_stream_decoder)"; then
    cp "$recording" "$dir/$name"
    { cat "$recording"; printf '\x55\x55\x55\x55\x55\x55\x55\x55\x07\x00\xE8\x03\x64\x00\x03'; } > "$dir/${name}_split"
  fi
  # Recording: the file, then two seeks (to 0.0 and 1.0), or one to a
  # fraction from 8 bytes.
  if dir="$(seed_dir fuzz_recording_reader)"; then
    { cat "$recording"; printf '\x06\x05\x02'; } > "$dir/${name}_ends"
    { cat "$recording"; printf '\x00\x00\x00\x00\x00\x00\x00\x80\x08\x01'; } > "$dir/${name}_middle"
  fi
  # Scanner: the file, and the file followed by piece sizes (2, 700, 1).
  if dir="$(seed_dir fuzz_recording_scan)"; then
    cp "$recording" "$dir/$name"
    { cat "$recording"; printf '\x00\x01\x02\xBB\x02\x00\x00\x03'; } > "$dir/${name}_pieces"
  fi
  # Captures: the recording exported as UDP datagrams (pcap), and as pcapng
  # when editcap is there.
  if dir="$(seed_dir fuzz_capture_import)"; then
    if "$BUILD/bin/nimbra_reelkit" export "$recording" "$dir/$name.pcap" >/dev/null 2>&1 \
        && command -v editcap >/dev/null; then
      editcap -F pcapng "$dir/$name.pcap" "$dir/$name.pcapng" >/dev/null 2>&1 || true
    fi
  fi
  # Frame text: the first 1860 bytes as the frame, then a frame number.
  if dir="$(seed_dir fuzz_frame_text)"; then
    { head -c 1860 "$recording"; printf '\x2A\x00\x00\x00\x00\x00\x00\x00'; } > "$dir/$name"
  fi
done
if dir="$(seed_dir fuzz_frame_text)"; then
  printf '\xAA\x55\x00\x00\x08\x00\x40\x42\x0F\x00\x01\x00\x00\x00\x00\x00\x00\x00' > "$dir/short_timestamp"
fi
if dir="$(seed_dir fuzz_skelora_incoming)"; then
  cp fuzz/seeds/skelora_incoming/* "$dir/"
fi

# --- Runs ------------------------------------------------------------------
declare -A MAX_LEN=([fuzz_stream_decoder]=20000 [fuzz_recording_reader]=20000
                    [fuzz_frame_text]=4096 [fuzz_skelora_incoming]=8192
                    [fuzz_recording_scan]=20000 [fuzz_capture_import]=20000)
declare -A DICT=([fuzz_stream_decoder]=fuzz/frames.dict [fuzz_recording_reader]=fuzz/frames.dict
                 [fuzz_skelora_incoming]=fuzz/skelora_incoming.dict [fuzz_recording_scan]=fuzz/frames.dict)
failed=()
for t in "${TARGETS[@]}"; do
  [ -x "$BUILD/fuzzers/$t" ] || { echo "fuzz: no target $t" >&2; failed+=("$t"); continue; }
  mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t" "$BUILD/logs"
  inputs=("$BUILD/corpus/$t" "$SEEDS/$t")
  [ -d "fuzz/regressions/$t" ] && inputs+=("fuzz/regressions/$t")
  options=(-max_total_time="$SECONDS_PER_TARGET" -max_len="${MAX_LEN[$t]:-4096}" -timeout=10
           -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/")
  [ -n "${DICT[$t]:-}" ] && options+=(-dict="${DICT[$t]}")
  log="$BUILD/logs/$t.log"
  echo "== $t: $SECONDS_PER_TARGET s"
  if "$BUILD/fuzzers/$t" "${options[@]}" "${inputs[@]}" > "$log" 2>&1; then
    grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED).*cov:' "$log" | tail -n 1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb):' "$log" || true
  else
    echo "fuzz: $t failed; log $log, inputs in $BUILD/artifacts/$t/" >&2
    grep -E '^(==[0-9]+==ERROR|invariant broken|SUMMARY|artifact_prefix|Test unit written)' "$log" >&2 || tail -n 30 "$log" >&2
    failed+=("$t")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no failures in ${TARGETS[*]}"
