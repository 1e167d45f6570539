#!/usr/bin/env bash
# Times squeakbox-render against sox's pitch effect on the same minute of
# speech, +6 semitones (600 cents), side by side in one run: whole processes,
# start-up and file reading and writing included.
#
#   bench/compare_sox.sh [BUILD_DIR] [RUNS]      (default: build, 11 runs)
#
# Prints the median wall time of each and their ratio; exits non-zero when
# squeakbox-render is less than 5 times faster.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-11}
render="$build/cli/squeakbox-render"
[ -x "$render" ] || { echo "no $render; build first (cmake --build --preset default)" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A minute of speech: the bundled sample, repeated.
sample=resources/samples/speech.wav
seconds=$(soxi -D "$sample")
repeats=$(awk -v s="$seconds" 'BEGIN { print int(60 / s) + 1 }')
sox "$sample" "$work/long.wav" repeat "$repeats" trim 0 60
echo "input: $(soxi -D "$work/long.wav") s, $(soxi -r "$work/long.wav") Hz, $(soxi -c "$work/long.wav") channel, 16-bit"
echo "squeakbox-render: $("$render" --version | tail -n 1)"
echo "sox: $(sox --version | head -n 1)"

if command -v hyperfine >/dev/null; then
  hyperfine --warmup 2 --runs "$runs" \
    "$render -q -s 6 $work/long.wav $work/ours.wav" \
    "sox $work/long.wav $work/sox.wav pitch 600"
fi

now() { date +%s%N; }
ours=() theirs=()
for ((i = 0; i < runs + 1; i++)); do
  t0=$(now); "$render" -q -s 6 "$work/long.wav" "$work/ours.wav"; t1=$(now)
  sox "$work/long.wav" "$work/sox.wav" pitch 600; t2=$(now)
  # The first round only warms the caches.
  if ((i > 0)); then ours+=($((t1 - t0))); theirs+=($((t2 - t1))); fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
m_ours=$(median "${ours[@]}")
m_sox=$(median "${theirs[@]}")
awk -v a="$m_ours" -v b="$m_sox" -v n="$runs" 'BEGIN {
  printf "median of %d runs: squeakbox-render %.1f ms, sox pitch 600 %.1f ms: %.1fx faster\n",
         n, a / 1e6, b / 1e6, b / a
  exit (b / a >= 5) ? 0 : 1
}'
