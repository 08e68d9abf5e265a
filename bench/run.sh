#!/usr/bin/env bash
# One command for every benchmark: installs the reference tools if missing
# (scripts/setup.sh --bench), configures and builds an optimised build
# directory with the benchmarks, runs each benchmark at least three times
# and prints one table (ours, the reference tool measured in the same run,
# ratio, aim, met), also written as markdown.
#
#   bench/run.sh [--quick] [--realtime] [--repeat N] [--only LIST] [--build-dir DIR] [--results FILE]
#   bench/run.sh --soak [--minutes N] [--build-dir DIR]
#
#   --quick       shorter runs (about 5 minutes instead of about 15)
#   --realtime    replay timing under real-time priority (chrt -f 10) for both players
#   --repeat N    runs per benchmark (default and minimum 3)
#   --only LIST   some of: replay,playback,recorder,decoder,bridge,viewer,tui,json,seek,info
#   --build-dir   default: build-bench in the source tree
#   --results     default: <build-dir>/bench-results.md
#   --soak        instead: the whole chain for 10 minutes (--minutes N), see bench/soak/README.md
#
# Environment: NMB_FTXUI_PREFIX (FTXUI install prefix), NMB_BENCH_JOBS
# (parallel build jobs, default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="$ROOT/build-bench"
PASS=()
SOAK_MINUTES=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick|--realtime) PASS+=("$1"); shift ;;
    --repeat|--only|--results) PASS+=("$1" "$2"); shift 2 ;;
    --soak) SOAK_MINUTES="${SOAK_MINUTES:-10}"; shift ;;
    --minutes) SOAK_MINUTES="$2"; shift 2 ;;
    --build-dir) BUILD_DIR="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
    -h|--help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done

# FTXUI (not packaged for Debian 12): an installed prefix from the set-up
# script, in this tree's build/, or in the main checkout's build/ when this
# is a linked worktree; otherwise the set-up script builds it into the
# benchmark build directory.
ftxui_prefix() {
  if [ -n "${NMB_FTXUI_PREFIX:-}" ]; then echo "$NMB_FTXUI_PREFIX"; return; fi
  local common candidate
  common="$(git -C "$ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)"
  for candidate in "$ROOT/build" "${common:+$(dirname "$common")/build}" "$BUILD_DIR"; do
    if [ -n "$candidate" ] && [ -f "$candidate/_deps/ftxui/.installed" ]; then
      echo "$candidate/_deps/ftxui"
      return
    fi
  done
  echo "$BUILD_DIR/_deps/ftxui"
}
FTXUI_PREFIX="$(ftxui_prefix)"

# setup.sh keeps FTXUI in <its build dir>/_deps/ftxui: point it at the prefix
# chosen above so that it only installs the missing packages.
NMB_BUILD_DIR="$(dirname "$(dirname "$FTXUI_PREFIX")")" "$ROOT/scripts/setup.sh" --bench

LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNMB_BUILD_BENCH=ON -DBUILD_TESTING=ON \
  -DCMAKE_PREFIX_PATH="$FTXUI_PREFIX" "${LAUNCHER[@]}" >/dev/null
TARGETS=(bench_replay_timing nimbra_reelcast recorder_loss_sender nimbra_reeltake bench_pcap_count
         bench_decoder_throughput bench_bridge_throughput nimbra_skelora_bridge nimbra_skelora_stub
         jointscope_load nimbra_jointscope bench_tui_print bench_pose_frame_json bench_seek nimbra_mocap_synth
         bench_reelkit_info nimbra_reelkit)
# Benchmarks that not every checkout has.
for optional in bench_binary_playback; do
  if cmake --build "$BUILD_DIR" --target help | grep -q "^$optional: "; then TARGETS+=("$optional"); fi
done
cmake --build "$BUILD_DIR" -j "${NMB_BENCH_JOBS:-2}" --target "${TARGETS[@]}"

if [ -n "$SOAK_MINUTES" ]; then
  exec /usr/bin/python3 -B "$ROOT/bench/soak/soak.py" --build-dir "$BUILD_DIR" --minutes "$SOAK_MINUTES"
fi
exec python3 -B "$ROOT/bench/run_all.py" --build-dir "$BUILD_DIR" "${PASS[@]}"
