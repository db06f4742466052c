# Sourced by the build scripts: sets `launcher` to the CMake options that
# compile through ccache, when it is installed (scripts/setup.sh, reliability
# mode), and to nothing otherwise. $1: the checkout.
launcher=()
if command -v ccache >/dev/null; then
  # Paths relative to the checkout, so another clone hits the same entries.
  export CCACHE_BASEDIR=$1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
