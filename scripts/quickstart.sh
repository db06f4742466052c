#!/usr/bin/env bash
# The main job: set up, install the module into .venv and run the quickstart.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
cd examples && ../.venv/bin/python quickstart.py
