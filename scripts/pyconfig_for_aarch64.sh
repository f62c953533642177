#!/usr/bin/env bash
# Prints the aarch64 Linux pyconfig.h that corresponds to an x86-64 Linux one
# (the path given). CPython's configure results on the two differ in four
# lines only: x87 and x86-64 inline assembly, wchar_t being unsigned (usable
# as UCS4) on aarch64, and the support tier. scripts/test_arm_wheels.sh checks
# that claim against Debian's amd64 and arm64 builds of one CPython.
# Fails when any of the four lines is missing, so a header of another shape is
# never passed through unchanged.
# Usage: bash scripts/pyconfig_for_aarch64.sh X86_64_PYCONFIG_H > pyconfig.h
set -euo pipefail
source=$1

edits=(
    's|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|'
    's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|'
    's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|'
    's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|'
)
for edit in "${edits[@]}"; do
    pattern=${edit#s|}
    pattern=${pattern%%|*}
    if [ "$(grep -c -- "$pattern" "$source")" != 1 ]; then
        echo "$source: expected exactly one line matching $pattern" >&2
        exit 1
    fi
done
sed "${edits[@]/#/-e}" "$source"
