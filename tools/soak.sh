#!/usr/bin/env bash
# The long soak: ten hours of voice through the engine at a pitch that changes
# every four seconds, then ten hours at a steady +6 semitones (the program's
# start pitch), each as fast as the engine runs (about 20 s each here). Prints
# the delay, buffer and memory figures once per hour of sound.
#   tools/soak.sh [hours]
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:-10}
cmake --preset default >/dev/null
cmake --build --preset default --target squeakbox-soak >/dev/null
build/tools/squeakbox-soak --hours "$hours"
echo
build/tools/squeakbox-soak --hours "$hours" --semitones 6
