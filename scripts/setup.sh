#!/usr/bin/env bash
# Installs what building and testing need, on a fresh machine or again:
# missing Debian packages with apt-get, then .venv with the pinned Python packages
# (and, for the reliability checks, scripts/lib/unstable_root.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
APT_PACKAGES=(g++ nlohmann-json3-dev libspdlog-dev libfmt-dev libgtest-dev)
# Headers and venv come with most interpreters; Debian's own python3 needs its packages.
if ! "$PY" -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
  APT_PACKAGES+=(python3-dev)
fi
if ! "$PY" -c 'import ensurepip, venv' 2>/dev/null; then
  APT_PACKAGES+=(python3-venv)
fi
if [ "${ZORMSG_RELIABILITY:-0}" = 1 ]; then
  APT_PACKAGES+=(clang libclang-rt-14-dev valgrind patchelf clang-format clang-tidy ccache)
fi

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements.txt

# The checks' CPython 3.14 (and its debug build) and 3.15, and g++ 16: Debian's
# unstable root, made once per machine outside the checkout.
if [ "${ZORMSG_RELIABILITY:-0}" = 1 ]; then
  bash scripts/lib/unstable_root.sh setup
fi
