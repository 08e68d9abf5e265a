# Sourced by the build scripts: when ccache is there, compile through it with
# paths taken relative to the checkout, so a second clone (or CI on a machine
# that built before) reuses what was compiled. Sets NMB_LAUNCHER for cmake.
NMB_LAUNCHER=()
if command -v ccache >/dev/null && [ -z "${NMB_NO_CCACHE:-}" ]; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
  export CCACHE_NOHASHDIR=true
  NMB_LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
