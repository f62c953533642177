#!/usr/bin/env bash
# Runs every example against the installed module, in a scratch directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${KYR_PYTHON:-$root/.venv/bin/python}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$python" "$root/examples/quickstart.py"
