#!/usr/bin/env bash
# Configures zormsg against client libraries that cannot serve and fails
# unless each configure stops with its own error, naming the path: a missing
# folder, header or library, a file that is no shared library, a library for
# another architecture (32-bit x86, and aarch64 faked by its ELF header) and
# one that lacks functions zormsg calls. Run by scripts/stages/external_library.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
PY=$PWD/.venv/bin/python
work=$(mktemp -d "${TMPDIR:-/tmp}/zormsg-client-errors.XXXXXX")
trap 'rm -rf "$work"' EXIT

prefix() {  # prefix <name>: a folder with include/zorclient.h and an empty lib/
  mkdir -p "$work/$1/include" "$work/$1/lib"
  cp zorclient/include/zorclient.h "$work/$1/include/"
  echo "$work/$1"
}
stubs() {  # stubs <out.so> <cc flags...>: every call of zormsg but the two last
  grep '^zorClient_' cmake/zorclient_calls.txt | head -n -2 | sed 's/.*/void &(void) {}/' >"$work/stubs.c"
  local out=$1; shift
  cc -shared -fPIC -nostdlib "$@" -o "$out" "$work/stubs.c"
}
expect() {  # expect <text> <cmake -D options...>: configuring fails, saying <text>
  local want=$1; shift
  if cmake -S . -B "$work/build" -G Ninja -DPython_EXECUTABLE="$PY" "$@" >"$work/log" 2>&1; then
    echo "client-library-errors: configuring with $* succeeded"; exit 1
  fi
  if ! tr -s ' \n' ' ' <"$work/log" | grep -qF "$want"; then
    cat "$work/log"; echo "client-library-errors: no '$want' in the output above"; exit 1
  fi
  echo "client-library-errors: $want"
  rm -rf "$work/build"
}

expect "ZORMSG_CLIENT_ROOT=$work/none is not a directory" -DZORMSG_CLIENT_ROOT="$work/none"
# A relative -D value of a PATH entry is made absolute; one from the environment is not.
(export ZORMSG_CLIENT_ROOT=relative/prefix && expect "must be an absolute path, not 'relative/prefix'")

p=$(prefix no_header) && rm "$p/include/zorclient.h"
expect "no zorclient.h in $p/include" -DZORMSG_CLIENT_ROOT="$p"
p=$(prefix no_library)
expect "no libzorclient.so in $p/lib (nor lib64)" -DZORMSG_CLIENT_ROOT="$p"

p=$(prefix static) && echo 'void zorClient_msg_alloc(void) {}' >"$work/a.c"
cc -c "$work/a.c" -o "$work/a.o" && ar rc "$p/lib/libzorclient.a" "$work/a.o"
expect "$p/lib/libzorclient.a is not a shared library" \
  -DZORMSG_CLIENT_INCLUDE_DIR="$p/include" -DZORMSG_CLIENT_LIBRARY="$p/lib/libzorclient.a"
p=$(prefix text) && echo "not a library" >"$p/lib/libzorclient.so"
expect "$p/lib/libzorclient.so is not an ELF shared library" -DZORMSG_CLIENT_ROOT="$p"

p=$(prefix x86_32) && stubs "$p/lib/libzorclient.so" -m32 -ffreestanding
expect "$p/lib/libzorclient.so is for the wrong architecture" -DZORMSG_CLIENT_ROOT="$p"
# aarch64: a library of this machine with the ELF header's machine field
# (offset 18, little-endian) made 183; with a SONAME, so linked by path, not -l.
p=$(prefix aarch64) && stubs "$p/lib/libzorclient.so" -Wl,-soname,libzorclient.so.1
printf '\xb7\x00' | dd of="$p/lib/libzorclient.so" bs=1 seek=18 conv=notrunc status=none
expect "$p/lib/libzorclient.so is for the wrong architecture" -DZORMSG_CLIENT_ROOT="$p"

p=$(prefix lacking) && stubs "$p/lib/libzorclient.so"
lacking=$(grep '^zorClient_' cmake/zorclient_calls.txt | tail -n 2 | paste -sd, | sed 's/,/, /')
expect "undefined reference: $p/lib/libzorclient.so lacks $lacking, which zormsg calls" -DZORMSG_CLIENT_ROOT="$p"
