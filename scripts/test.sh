#!/usr/bin/env bash
# Sets up and runs every test: the C++ tests plain and under AddressSanitizer +
# UndefinedBehaviorSanitizer (the worker and file-fault ones also pinned to
# one processor and under ThreadSanitizer), a short run of each fuzz target, the Python
# suite (here, and in a fresh venv of each portable wheel for CPython 3.11,
# 3.12 and 3.13, the 3.12 one also with NumPy 1.26), the type stubs, the
# documentation build with its doctests, and the examples. Lists the time of
# each section at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each "== name" line starts a timed section; at the end, or at the first
# failure, the time of each is listed, to show where a run goes.
sections=()
section() {
    sections+=("$SECONDS $*")
    echo "== $*"
}
report_times() {
    local i start name end
    echo "== time by section"
    for i in "${!sections[@]}"; do
        read -r start name <<<"${sections[$i]}"
        end=$SECONDS
        [ $((i + 1)) -lt ${#sections[@]} ] && end=${sections[$((i + 1))]%% *}
        printf '%6d s  %s\n' $((end - start)) "$name"
    done
    echo "== finished after $((SECONDS / 60)) min $((SECONDS % 60)) s"
}
trap report_times EXIT

section "setup"
source scripts/setup.sh

export PATH="$PWD/.venv/bin:$PATH"  # cmake and ninja from the venv
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

run_cpp_tests() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DKYR_BUILD_TESTS=ON -DKYR_BUILD_PYTHON=OFF \
        -DKYR_WARNINGS_AS_ERRORS=$werror "$@" >/dev/null
    cmake --build "$dir" -j2
    ctest --test-dir "$dir" --output-on-failure -j2
}

section "C++ tests"
run_cpp_tests build/cpp
section "C++ tests under ASan + UBSan"
run_cpp_tests build/cpp-sanitized -DKYR_SANITIZE=ON
# The worker, the read paths and the file faults: on one processor, where no
# job runs on a worker, and under ThreadSanitizer (children it forks start
# workers of their own, which it allows when told).
concurrency_tests='^(worker_thread_test|read_ahead_test|shared_chunks_test|disk_io_test|file_faults_test|prefault_test)\.'
section "C++ worker, read-path and file-fault tests on one processor"
taskset -c 0 ctest --test-dir build/cpp --output-on-failure -R "$concurrency_tests"
section "C++ worker, read-path and file-fault tests under ThreadSanitizer"
cmake -S . -B build/cpp-thread -G Ninja -DKYR_BUILD_TESTS=ON -DKYR_BUILD_PYTHON=OFF \
    -DKYR_SANITIZE_THREAD=ON -DKYR_WARNINGS_AS_ERRORS=$werror >/dev/null
cmake --build build/cpp-thread -j2 \
    --target worker_thread_test read_ahead_test disk_io_test file_faults_test prefault_test
# Less the long single-threaded operations, which take most of a minute each
# under the sanitizer.
TSAN_OPTIONS=die_after_fork=0:halt_on_error=1 \
    ctest --test-dir build/cpp-thread --output-on-failure -j2 -R "$concurrency_tests" \
    -E "FileFaultsStopAfter|FileFaultsShortTransfers"

section "fuzz targets (short runs)"
CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DKYR_BUILD_FUZZERS=ON -DKYR_BUILD_PYTHON=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
for fuzzer in build/fuzz/fuzz/*_fuzzer; do
    "$fuzzer" -max_total_time=20 -print_final_stats=0 2>&1 | tail -n 1
done

section "configuring with each compiler"
"$KYR_PYTHON" -m pytest -q -p no:cacheprovider tests/build

section "Python tests"
# The suite runs in two processes (pytest-xdist): much of it waits on child
# processes, pipes and disks, so two keep both processors busy.
(cd tests/python && "$KYR_PYTHON" -m pytest -q -p no:cacheprovider -n 2 .)

section "type stubs: stubtest and mypy --strict"
"$KYR_PYTHON" -m pytest -q -p no:cacheprovider tests/typing

section "Python tests against an ASan + UBSan build of the extension"
cmake -S . -B build/python-sanitized -G Ninja -DKYR_SANITIZE=ON -DKYR_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$KYR_PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKYR_WARNINGS_AS_ERRORS=$werror >/dev/null
cmake --build build/python-sanitized -j2
# The interpreter is not instrumented: the runtimes are preloaded (libstdc++
# too, so the sanitizer can intercept C++ throws), the interpreter allocates
# with malloc so ASan sees every object, and exit-time leaks of the
# interpreter itself are not reported.
sanitized() {
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 PYTHONMALLOC=malloc \
    PYTHONPATH="$PWD/build/python-sanitized/crates/kyr-python" "$@"
}
sanitized "$KYR_PYTHON" -c 'import kyr; assert "python-sanitized" in kyr.__file__, kyr.__file__'
sanitized "$KYR_PYTHON" -m pytest -q -p no:cacheprovider -n 2 tests/python

section "documentation"
bash scripts/docs.sh

section "wheels for CPython 3.11-3.13"
bash scripts/build_wheels.sh

section "examples"
scripts/run_examples.sh
