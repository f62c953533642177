#!/usr/bin/env bash
# Installs what building and testing kyr needs on a fresh Debian machine and
# installs kyr itself into ./.venv (CPython 3.13). Safe to run repeatedly.
# Usage: source scripts/setup.sh   (sets KYR_PYTHON to the venv interpreter)
set -euo pipefail

kyr_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

kyr_apt_packages=(g++ libgtest-dev clang-16 libclang-rt-16-dev acl)
kyr_missing=()
for package in "${kyr_apt_packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || kyr_missing+=("$package")
done
if [ ${#kyr_missing[@]} -gt 0 ]; then
    echo "installing system packages: ${kyr_missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${kyr_missing[@]}" >/dev/null
fi

source "$kyr_root/scripts/find_python.sh"
if [ ! -x "$kyr_root/.venv/bin/python" ]; then
    "$(kyr_find_python 3.13)" -m venv "$kyr_root/.venv"
fi
KYR_PYTHON="$kyr_root/.venv/bin/python"
"$KYR_PYTHON" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.11" "cmake>=3.24" ninja "numpy>=2.0" "pytest>=8" pytest-xdist "qiskit>=1.0" cirq-core mypy

kyr_werror=OFF
[ "${CI:-}" = "true" ] && kyr_werror=ON
"$KYR_PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$kyr_root/build/python" \
    -Ccmake.define.KYR_WARNINGS_AS_ERRORS="$kyr_werror" "$kyr_root"
export KYR_PYTHON
