#!/usr/bin/env bash
# Runs the quick-start demo with only what it needs: g++ (installed with
# apt-get when missing) to build kyr, and kyr with NumPy installed into
# ./.venv (CPython 3.13). The build tools pip fetches for the build
# (scikit-build-core, CMake, Ninja, NumPy's headers) stay out of ./.venv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
if ! dpkg -s g++ >/dev/null 2>&1; then
    echo "installing system package: g++"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
fi
[ -x .venv/bin/python ] || "$(kyr_find_python 3.13)" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check .
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && "$OLDPWD/.venv/bin/python" "$OLDPWD/examples/quickstart.py")
