#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, then builds
# FTXUI from Debian 13's source package into build/_deps/ftxui (it is not
# packaged for Debian 12). Idempotent: quick when everything is present.
#
#   scripts/setup.sh            what the build and the tests need
#   scripts/setup.sh --bench    also the tools the benchmarks compare against
#                               (bench/run.sh passes it; CI does not)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${NMB_BUILD_DIR:-$ROOT/build}"
FTXUI_PREFIX="$BUILD_DIR/_deps/ftxui"

PACKAGES=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-connectivity-dev
  qt6-qpa-plugins libgl-dev libvulkan-dev
  libfmt-dev nlohmann-json3-dev zlib1g-dev
  tmux xvfb xauth x11-apps xdotool imagemagick python3 openssl procps
  fonts-noto-cjk
  ccache  # the build scripts compile through it when present
  python3-dbusmock dbus-daemon  # the stand-in Bluetooth daemon of the Bluetooth LE tests, on a private bus
  clang libclang-rt-14-dev llvm  # libFuzzer and the sanitizers' runtimes and symbolizer (scripts/fuzz.sh)
  libpcap-dev tshark tcpdump     # nimbra_reelkit's captures, and the capture tools its tests check against
  help2man man-db file lintian  # manual pages, and the Debian package: cpack's dependency scan, its test
)
# The reference tools of bench/run.sh: a pcap replayer and a packet recorder.
BENCH_PACKAGES=(tcpreplay)

for argument in "$@"; do
  case "$argument" in
    --bench) PACKAGES+=("${BENCH_PACKAGES[@]}") ;;
    *) echo "usage: setup.sh [--bench]" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  # tshark's package asks whether ordinary users may capture; answer no
  # beforehand so that the installation never stops to ask.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | "${SUDO[@]}" debconf-set-selections
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ -f "$FTXUI_PREFIX/.installed" ]; then
  exit 0
fi

# FTXUI: fetch Debian 13's source package through a private apt configuration
# whose only source is a deb-src line built from the mirror this machine
# already uses.
mirror="$( { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null || true; } \
  | awk '/^(URIs:|deb)[[:space:]]/ { for (i = 2; i <= NF; i++) if ($i ~ /^https?:\/\/.*\/debian\/?$/) { print $i; exit } }')"
if [ -z "$mirror" ]; then
  echo "setup: no Debian mirror found in the apt configuration" >&2
  exit 1
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} trixie main" > "$work/sources.list"
APT_OPTS=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=-"
          -o "Dir::State::Lists=$work/lists" -o "APT::Sandbox::User=root")
echo "setup: fetching the FTXUI source package"
apt-get "${APT_OPTS[@]}" update -q
(cd "$work/src" && apt-get "${APT_OPTS[@]}" source -q ftxui)
srcdir="$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'ftxui-*' | head -n1)"
cmake -S "$srcdir" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$FTXUI_PREFIX" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DFTXUI_BUILD_EXAMPLES=OFF -DFTXUI_BUILD_DOCS=OFF -DFTXUI_BUILD_TESTS=OFF \
  -DFTXUI_ENABLE_INSTALL=ON -DBUILD_SHARED_LIBS=OFF
cmake --build "$work/build"
cmake --install "$work/build"
touch "$FTXUI_PREFIX/.installed"
echo "setup: FTXUI installed in $FTXUI_PREFIX"
