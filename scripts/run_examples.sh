#!/usr/bin/env bash
# Runs every example against the installed module, in a scratch directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${KYR_PYTHON:-$root/.venv/bin/python}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$python" "$root/examples/quickstart.py"
"$python" "$root/examples/qiskit_roundtrip.py"
"$python" "$root/examples/cirq_roundtrip.py"
head -c 3000000 /dev/urandom > input.bin
"$python" "$root/examples/convert_file.py" input.bin chunks --chunk-size 1048576
test "$(ls chunks | wc -l)" -eq 3
