#!/usr/bin/env bash
# Builds Squeakbox with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
