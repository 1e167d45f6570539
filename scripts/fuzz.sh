#!/usr/bin/env bash
# Fuzzes the input handling of Squeakbox with libFuzzer: the bytes of a sound
# file through squeakbox-render's reading, checking and rendering, and
# command lines through the option parsers. Builds with clang in build-fuzz,
# with AddressSanitizer and UndefinedBehaviorSanitizer, and runs each target
# for a bounded time on the corpus kept in fuzz/corpus/. Any crash, hang
# (-timeout), leak or sanitizer report fails the run; the input that caused
# it is left in build-fuzz/findings/.
#   scripts/fuzz.sh              about two minutes in all, for CI
#   scripts/fuzz.sh --seconds N  N seconds per target
#   scripts/fuzz.sh --update     also keep new inputs that reach new code in
#                                fuzz/corpus/ (minimised by libFuzzer's merge)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=""
update=false
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --update) update=true; shift ;;
    *) echo "usage: $0 [--seconds N] [--update]" >&2; exit 2 ;;
  esac
done

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing; run scripts/install-deps.sh test" >&2
  exit 1
fi

# target, seconds in the CI budget, longest input in bytes
targets=(
  "render_input 60 65536"
  "render_options 25 512"
)
if [ -f app/command_line.cpp ]; then
  targets+=("command_line 25 512")
fi

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSQUEAKBOX_FUZZ=ON -DSQUEAKBOX_BUILD_TESTS=OFF -DSQUEAKBOX_BUILD_BENCH=OFF \
  -DSQUEAKBOX_BUILD_APP=OFF >/dev/null
names=()
for entry in "${targets[@]}"; do
  read -r name _ _ <<<"$entry"
  names+=("fuzz_$name")
done
cmake --build "$build" --target "${names[@]}"

# Leaks of the system's sound libraries that are no fault of ours.
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0"
work=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/findings"
status=0
start=$(date +%s)
for entry in "${targets[@]}"; do
  read -r name budget max_len <<<"$entry"
  run_seconds=${seconds:-$budget}
  corpus=fuzz/corpus/$name
  mkdir -p "$corpus" "$work/$name"
  extra=()
  [ -f "fuzz/$name.dict" ] && extra+=("-dict=fuzz/$name.dict")
  log="$build/findings/$name.log"
  # New finds go to a scratch folder: the corpus in the repository changes
  # only with --update.
  if "$build/fuzz/fuzz_$name" -max_total_time="$run_seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$build/findings/$name-" \
      "${extra[@]}" "$work/$name" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    printf 'fuzz %-15s %8s runs in %3s s, %s, corpus %s files (+%s new)\n' "$name" "$runs" \
      "$run_seconds" "$cov" "$(ls "$corpus" | wc -l)" "$(ls "$work/$name" | wc -l)"
  else
    status=1
    echo "fuzz $name FAILED; the input is in $build/findings/, the log in $log:" >&2
    grep -E -A30 'ERROR|runtime error|Timeout|deadly signal|==[0-9]+==' "$log" | head -60 >&2
  fi
  if $update && [ -n "$(ls "$work/$name")" ]; then
    "$build/fuzz/fuzz_$name" -merge=1 -max_len="$max_len" "$corpus" "$work/$name" \
      >>"$log" 2>&1
    echo "fuzz $name: corpus now $(ls "$corpus" | wc -l) files"
  fi
done
echo "fuzzing took $(( $(date +%s) - start )) s"
exit "$status"
