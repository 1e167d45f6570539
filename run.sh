#!/usr/bin/env bash
# Builds Squeakbox and runs the best thing there is.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DSQUEAKBOX_BUILD_TESTS=OFF -DSQUEAKBOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-run
echo "Squeakbox is built (the engine library only, so far); nothing to run yet."
