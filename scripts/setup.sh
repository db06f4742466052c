#!/usr/bin/env bash
# Installs what building and testing need, on a fresh machine or again:
# missing Debian packages with apt-get, then .venv with the pinned Python packages.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ make nlohmann-json3-dev libspdlog-dev libfmt-dev libgtest-dev python3-venv python3-dev)
if [ "${ZORMSG_RELIABILITY:-0}" = 1 ]; then
  APT_PACKAGES+=(clang libclang-rt-14-dev valgrind patchelf)
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

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements.txt
