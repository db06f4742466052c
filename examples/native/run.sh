#!/usr/bin/env bash
# Builds the example project and runs it, with zormsg taken either way:
#   bash examples/native/run.sh              # from the source, add_subdirectory()
#   bash examples/native/run.sh --installed  # installed: `cmake --install` of the
#     dev build (BUILD_DIR, default build/dev) into a prefix, and the example,
#     copied out of the checkout, finds it with find_package(zormsg CONFIG)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
py="$root/.venv/bin/python"

if [ "${1:-}" != --installed ]; then
  build="$root/build/example"
  source "$root/scripts/lib/ccache.sh" "$root"
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" "${launcher[@]}" >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  PYTHONPATH="$build/lib" "$py" "$here/run_example.py"
  exit 0
fi

BUILD_DIR=$(cd "$root" && realpath -m "${BUILD_DIR:-build/dev}")
work=$(mktemp -d "${TMPDIR:-/tmp}/zormsg-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
[ -f "$BUILD_DIR/build.ninja" ] || (cd "$root" && bash scripts/build.sh)
cmake --build "$BUILD_DIR" --target zormsg >/dev/null
cmake --install "$BUILD_DIR" --prefix "$prefix" >/dev/null
cp -r "$here" "$work/consumer"  # nothing of the checkout but what the prefix holds
configure() {
  cmake -S "$work/consumer" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRECEIVED_EXAMPLE_INSTALLED_ZORMSG=ON \
    -DCMAKE_PREFIX_PATH="$prefix" -DPython_EXECUTABLE="$py" "${@:2}" >"$work/log" 2>&1
}
configure "$work/build" || { cat "$work/log"; exit 1; }
cmake --build "$work/build" -j "$(nproc)" >/dev/null
site=$(ls -d "$prefix"/lib*/python3.*/site-packages)
export PYTHONPATH="$site:$work/build/lib"
(cd "$work" && "$py" consumer/run_example.py)
# Both modules use the prefix's one libzorclient.
(cd "$work" && "$py" -c "if True:
  import zormsg, received_example
  maps = {l.split()[-1] for l in open('/proc/self/maps') if 'libzorclient' in l}
  assert len(maps) == 1 and maps.pop().startswith('$prefix/'), maps")

# What a consumer is told when it cannot use the package.
expect_refusal() {  # text, then configure's arguments
  local text=$1; shift
  if configure "$@"; then echo "native example: configured although $text was expected"; exit 1; fi
  tr -s ' \n' ' ' <"$work/log" | grep -qF "$text" || { cat "$work/log"; echo "native example: no '$text' above"; exit 1; }
}
mkdir "$work/pybind11-2.12"
echo 'add_library(pybind11::headers INTERFACE IMPORTED)' >"$work/pybind11-2.12/pybind11Config.cmake"
printf 'set(PACKAGE_VERSION 2.12.0)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n' >"$work/pybind11-2.12/pybind11ConfigVersion.cmake"
expect_refusal "uses pybind11 '2.12.0'" "$work/b-pybind11" -Dpybind11_DIR="$work/pybind11-2.12"
mv "$prefix"/lib*/libzorclient.so "$work/"
expect_refusal "libzorclient.so does not exist" "$work/b-client"
echo "native example: installed package found, linked and refused as it should be"
