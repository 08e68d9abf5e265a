#!/usr/bin/env bash
# The sanitizer runs:
#   asan  the whole tree with AddressSanitizer (leak checks on) and
#         UndefinedBehaviorSanitizer, and the whole test suite;
#   tsan  the console library and the replay program with ThreadSanitizer,
#         and the tests that run the console thread and the action bus.
#
#   scripts/sanitize.sh [asan] [tsan]     (both when none is named)
#
# Needs what scripts/setup.sh installs (FTXUI in build/_deps). Every
# sanitized process writes its reports into <build>/sanitizer-reports/, also
# programs that a test kills or runs inside a terminal; any report there
# fails the run, even when every test passed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

presets=("$@")
if [ "${#presets[@]}" -eq 0 ]; then
  presets=(asan tsan)
fi

. "$ROOT/scripts/ccache.sh"
status=0
for preset in "${presets[@]}"; do
  case "$preset" in
    asan|tsan) ;;
    *) echo "sanitize: unknown preset $preset (asan or tsan)" >&2; exit 2 ;;
  esac
  reports="$ROOT/build-$preset/sanitizer-reports"
  echo "== sanitize: $preset"
  start=$SECONDS
  cmake --preset "$preset" "${NMB_LAUNCHER[@]}" >/dev/null
  cmake --build --preset "$preset"
  built=$SECONDS
  rm -rf "$reports"
  mkdir -p "$reports"
  tests_passed=1
  ctest --preset "$preset" || tests_passed=0
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize: $preset reports:" >&2
    for report in "$reports"/*; do
      echo "--- $report" >&2
      cat "$report" >&2
    done
    tests_passed=0
  fi
  echo "sanitize: $preset built in $((built - start)) s, tested in $((SECONDS - built)) s"
  if [ "$tests_passed" -eq 0 ]; then
    echo "sanitize: $preset FAILED" >&2
    status=1
  fi
done
exit "$status"
