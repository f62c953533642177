#!/usr/bin/env bash
# Sets up kyr and runs the quick-start demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && "$KYR_PYTHON" "$OLDPWD/examples/quickstart.py")
