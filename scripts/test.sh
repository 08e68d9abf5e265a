#!/usr/bin/env bash
# Set-up, build and the whole test suite: the README's test command.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
./scripts/setup.sh
. "$ROOT/scripts/ccache.sh"
cmake --preset ci "${NMB_LAUNCHER[@]}"
cmake --build build
ctest --test-dir build --output-on-failure --timeout 120 "$@"
