"""The type stubs (package kyr-stubs) checked with mypy against the installed module."""

import pathlib
import re
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
MISUSES = HERE / "misuses.py"
EXPECTED_ERROR = re.compile(r"#\s*E:\s*([a-z-]+)\s*$")
REPORTED_ERROR = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


def run_mypy_module(module, *arguments, cwd):
    return subprocess.run([sys.executable, "-m", module, *arguments], cwd=cwd,
                          capture_output=True, text=True, timeout=600)


def mypy_strict(path, cache):
    return run_mypy_module("mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
                           str(path), cwd=cache.parent)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy") / "cache"


def expected_misuses():
    lines = MISUSES.read_text().splitlines()
    return {number: match[1] for number, line in enumerate(lines, start=1)
            if (match := EXPECTED_ERROR.search(line))}


@pytest.fixture(scope="module")
def reported_misuses(mypy_cache):
    result = mypy_strict(MISUSES, mypy_cache)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {}
    for line in result.stdout.splitlines():
        if match := REPORTED_ERROR.match(line):
            reported.setdefault(int(match[1]), set()).add(match[2])
    return reported


def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    result = run_mypy_module("mypy.stubtest", "kyr", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_passes_strict_checking_and_runs(mypy_cache, tmp_path):
    example = HERE / "typed_usage.py"
    checked = mypy_strict(example, mypy_cache)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = subprocess.run([sys.executable, str(example)], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr


@pytest.mark.parametrize("line, code", sorted(expected_misuses().items()))
def test_each_misuse_is_reported(reported_misuses, line, code):
    assert code in reported_misuses.get(line, set()), MISUSES.read_text().splitlines()[line - 1]


def test_no_other_line_is_reported(reported_misuses):
    assert set(reported_misuses) == set(expected_misuses())
