#!/usr/bin/env bash
# The interpreter matrix (scripts/lib/matrix.py): every CPython from 3.7 on,
# each with its own venv and build under build/matrix/<X.Y>/. Arguments: X.Y lines.
set -euo pipefail
cd "$(dirname "$0")/../.."
exec .venv/bin/python scripts/lib/matrix.py "$@"
