#!/usr/bin/env bash
# Builds the documentation into build/docs/ (open build/docs/index.html) with
# warnings as errors, then runs the code examples of its pages as doctests.
# Sets up ./.venv with kyr first (scripts/setup.sh) and installs the
# documentation tools into it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

"$KYR_PYTHON" -m pip install -q --disable-pip-version-check \
    "sphinx>=8,<10" "furo>=2024.8" "myst-parser>=4,<6"

"$KYR_PYTHON" -m sphinx -W --keep-going -q -b html -d build/docs-doctrees docs build/docs
"$KYR_PYTHON" -m sphinx -W --keep-going -q -b doctest -d build/docs-doctrees docs build/docs-doctest
echo "documentation built: build/docs/index.html"
