#!/usr/bin/env bash
# Measures the live delay from microphone to speaker and the processor share
# of squeakbox at +6 semitones, and the same delay of sox's pitch effect for
# comparison. Runs on the test rig of scripts/with-pulse.sh or
# scripts/with-pipewire.sh: squeak_in is the left channel of squeak_rig and
# squeak_out its right one, so one recording of squeak_rig.monitor holds what
# went in and what came out on one clock.
#   scripts/with-pulse.sh scripts/measure-live-delay.sh [path/to/squeakbox]
# Short tone bursts are played into squeak_in; the delay of each burst's onset
# on the right channel behind the left one is taken, and the median reported.
# This is a measurement, not a test: it prints figures and judges nothing.
set -euo pipefail

program=${1:-build/app/squeakbox}
bursts=${BURSTS:-20}
work=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-delay.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# 2 s of silence, then bursts of 120 ms of a 220 Hz tone, one a second.
sox -n -r 44100 -c 1 -b 16 "$work/burst.wav" synth 0.12 sine 220 vol 0.5 fade 0.002 0.12 0.002 pad 0 0.88
sox -n -r 44100 -c 1 -b 16 "$work/lead.wav" trim 0 2
burst_files=()
for _ in $(seq "$bursts"); do burst_files+=("$work/burst.wav"); done
sox "$work/lead.wav" "${burst_files[@]}" "$work/bursts.wav"

# The median onset delay, in ms, of a raw stereo recording.
median_delay() {
  od -An -v -td2 -w4 "$1" | awk '
    function abs(x) { return x < 0 ? -x : x }
    BEGIN { quiet_l = 1e9; quiet_r = 1e9 }
    {
      n++
      l = abs($1); r = abs($2)
      if (l > 2000 && quiet_l > 8820) { left[nl++] = n }
      quiet_l = l > 2000 ? 0 : quiet_l + 1
      if (r > 2000 && quiet_r > 8820) { right[nr++] = n }
      quiet_r = r > 2000 ? 0 : quiet_r + 1
    }
    END {
      j = 0; m = 0
      for (i = 0; i < nl; i++) {
        while (j < nr && right[j] < left[i]) j++
        if (j < nr && right[j] - left[i] < 0.8 * 44100) d[m++] = (right[j] - left[i]) * 1000 / 44100
      }
      if (m == 0) { print "none"; exit }
      # insertion sort: a few dozen values
      for (i = 1; i < m; i++) { v = d[i]; k = i - 1; while (k >= 0 && d[k] > v) { d[k + 1] = d[k]; k-- } d[k + 1] = v }
      med = m % 2 ? d[(m - 1) / 2] : (d[m / 2 - 1] + d[m / 2]) / 2
      printf "%.1f ms median over %d bursts (%.1f to %.1f)\n", med, m, d[0], d[m - 1]
    }'
}

# One run of a pass-through command ("$@") on the rig: returns once the
# bursts have been played, with the command's pid in $passer.
run_bursts() {
  parec --device=squeak_rig.monitor --format=s16le --rate=44100 --channels=2 --raw \
    --latency-msec=10 >"$work/rig.raw" 2>/dev/null &
  local recorder=$!
  pids+=("$recorder")
  PULSE_SOURCE=squeak_in.monitor PULSE_SINK=squeak_out "$@" >"$work/pass.out" 2>"$work/pass.err" &
  passer=$!
  pids+=("$passer")
  sleep 1
  paplay --device=squeak_in --latency-msec=10 "$work/bursts.wav"
  sleep 1
  kill "$recorder" 2>/dev/null || true
  wait "$recorder" 2>/dev/null || true
}

ticks=$(getconf CLK_TCK)
echo "machine: $(nproc) cores, $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg); server: $(pactl info | sed -n 's/^Server Name: //p')"

start=$(date +%s.%N)
run_bursts env QT_QPA_PLATFORM=offscreen "$program" 6 --input-device pulse --output-device pulse --stats
read -r -a stat <"/proc/$passer/stat"
now=$(date +%s.%N)
kill -TERM "$passer"
wait "$passer" 2>/dev/null || true
cpu=$(awk -v u="${stat[13]}" -v s="${stat[14]}" -v t="$ticks" -v a="$start" -v b="$now" \
  'BEGIN { printf "%.1f", 100 * (u + s) / t / (b - a) }')
cp "$work/rig.raw" "$work/squeakbox.raw"
echo "squeakbox +6: $(median_delay "$work/rig.raw"); processor ${cpu} % of one core over its life"
sed -n 's/^/  /p' "$work/pass.out"
if [ -n "${KEEP:-}" ]; then cp "$work/squeakbox.raw" "$KEEP"; fi

run_bursts sox -q --buffer 1024 -t alsa pulse -t alsa pulse pitch 600
kill -TERM "$passer" 2>/dev/null || true
wait "$passer" 2>/dev/null || true
echo "sox pitch 600 --buffer 1024: $(median_delay "$work/rig.raw")"
