#!/usr/bin/env bash
# The long soak: ten hours of voice through the engine at a pitch that changes
# every four seconds, then ten hours at a steady +6 semitones (the program's
# start pitch), each as fast as the engine runs (about 20 s each here). Prints
# the delay, buffer and memory figures once per hour of sound. With "sweep",
# also ten hours at every pitch of the engine's range, one line per pitch:
# how far the delay moved after the first minute, memory after an hour and at
# the end (about half an hour in all).
#   tools/soak.sh [hours] [sweep]
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:-10}
cmake --preset default >/dev/null
cmake --build --preset default --target squeakbox-soak >/dev/null
build/tools/squeakbox-soak --hours "$hours"
echo
build/tools/squeakbox-soak --hours "$hours" --semitones 6
if [[ "${2:-}" == sweep ]]; then
  echo
  build/tools/squeakbox-soak --sweep all --hours "$hours" --max-excursion-ms 200
  echo
  build/tools/squeakbox-soak --sweep -6,6,43 --hours "$hours" --channels 2 --max-excursion-ms 200
fi
