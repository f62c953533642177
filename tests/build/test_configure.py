"""Configuring the CMake project: supported compilers pass, anything without
C++23 <expected> stops with one line naming the minimum."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# cmake and ninja come from the interpreter's venv.
SEARCH_PATH = f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
CMAKE = shutil.which("cmake", path=SEARCH_PATH)
MINIMUM = "g++ 12 or newer, or clang 16 or newer with libstdc++ 12 or libc++ 16"


def cmake(*arguments, compiler):
    environment = dict(os.environ, PATH=SEARCH_PATH, CXX=compiler)
    return subprocess.run([CMAKE, *map(str, arguments)], env=environment,
                          capture_output=True, text=True, timeout=600)


def configure(build_dir, compiler, *definitions):
    return cmake("-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DKYR_BUILD_PYTHON=OFF",
                 *definitions, compiler=compiler)


def test_library_without_expected_stops_with_one_line(tmp_path):
    # libstdc++ 12 hides <expected> when __cpp_concepts is undefined, as
    # libstdc++ 11 lacks it.
    result = configure(tmp_path, "g++", "-DCMAKE_CXX_FLAGS=-U__cpp_concepts")
    assert result.returncode != 0
    reported = [line for line in result.stderr.splitlines() if MINIMUM in line]
    assert len(reported) == 1, result.stderr
    assert reported[0].strip().startswith("kyr needs C++23 <expected>")
    assert reported[0].endswith("(found GNU {})".format(
        subprocess.run(["g++", "-dumpfullversion"], capture_output=True, text=True).stdout.strip()))


@pytest.mark.parametrize("compiler", ["g++", "clang++-16"])
def test_supported_compiler_builds_code_using_expected(tmp_path, compiler):
    configured = configure(tmp_path, compiler, "-DKYR_WARNINGS_AS_ERRORS=ON")
    assert configured.returncode == 0, configured.stderr
    # core/error.hpp builds every result type on std::expected.
    built = cmake("--build", tmp_path, "--target",
                  "core/CMakeFiles/kyr_core.dir/quantum_state.cpp.o", compiler=compiler)
    assert built.returncode == 0, built.stdout + built.stderr
