#!/usr/bin/env bash
# Measures the live delay from microphone to speaker through the running
# squeakbox program on the sound-server rig of scripts/with-pulse.sh or
# scripts/with-pipewire.sh: squeak_in is the left channel of squeak_rig and
# squeak_out its right one; the program takes squeak_in.monitor and plays to
# squeak_out, so one recording of squeak_rig.monitor holds what went in and
# what came out on one clock.
#
#   scripts/with-pulse.sh scripts/measure-live-delay.sh [options]
#
# Three measurements:
#   tone bursts (the default)  short bursts of a 220 Hz tone, one a second;
#       the delay of each burst's onset on the right channel behind the left
#       one, the median over the bursts, the program's processor share over
#       its life and its --stats; then the same delay of sox's pitch effect
#       for comparison. Prints figures and judges nothing.
#   --speech  the bundled voice, a few runs at each pitch; the lag of the
#       output's loudness behind the voice's (tools/rig_lag.cpp), the median
#       and the largest per pitch. In low latency the targets are checked (at
#       +6 a median of at most 80 ms, at every pitch at most 100 ms) and a
#       miss is a non-zero exit.
#   --call    the call microphone: tone bursts, a few runs on each of three
#       roads into squeak_out: straight (the program plays there itself);
#       through the Squeakbox microphone (--virtual-mic, and a call
#       program's reader, parec --latency-msec=20 into pacat
#       --latency-msec=20, takes squeakbox_mic to squeak_out); and that
#       reader alone on squeak_in.monitor. The median of the runs' medians
#       per road; the target (through the microphone at most straight +
#       15 ms) is checked and a miss is a non-zero exit.
#
# Options:
#   --build DIR       the build to measure (default: the source tree's build)
#   --voice VOICE     squeak or natural (default: squeak)
#   --latency MODE    normal or low (default: normal for tone bursts, low
#                     with --speech)
#   --pitch LIST      semitones, comma-separated (default: 6 for tone
#                     bursts, -12,-9,-6,-3,0,3,6,9,12 with --speech)
#   --runs N          runs per pitch with --speech, per road with --call
#                     (default: 3)
#   --bursts N        tone bursts per run (default: $BURSTS or 20)
#   --roads LIST      with --call, the roads to measure, comma-separated
#                     (default: straight,mic,reader)
#   --keep FILE       keep the rig's recording of the last program run
#                     (default: $KEEP)
#
# Not a test: it keeps real time for a minute (tone bursts) or a few minutes
# (--speech, --call) and measures what the machine's sound path adds too.
set -euo pipefail

usage() { sed -n '9,47s/^# \{0,1\}//p' "$0"; }
bad() {
  echo "measure-live-delay.sh: $*" >&2
  exit 2
}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build speech=false call=false latency="" voice=squeak pitch="" runs=3 bursts=${BURSTS:-20} keep=${KEEP:-} roads=straight,mic,reader
while [ $# -gt 0 ]; do
  case "$1" in
    --speech) speech=true; shift; continue ;;
    --call) call=true; shift; continue ;;
    -h | --help) usage; exit 0 ;;
    --build | --latency | --voice | --pitch | --runs | --bursts | --keep | --roads) [ $# -ge 2 ] || bad "$1 needs a value" ;;
    *) bad "unknown option '$1' (--help lists them)" ;;
  esac
  printf -v "${1#--}" '%s' "$2"
  shift 2
done
if $speech; then
  : "${latency:=low}" "${pitch:=-12,-9,-6,-3,0,3,6,9,12}"
else
  : "${latency:=normal}" "${pitch:=6}"
fi
! { $speech && $call; } || bad "--speech and --call are two measurements; choose one"
[[ "$latency" =~ ^(low|normal)$ ]] || bad "--latency must be low or normal, not '$latency'"
[[ "$voice" =~ ^(squeak|natural)$ ]] || bad "--voice must be squeak or natural, not '$voice'"
[[ "$pitch" =~ ^[+-]?[0-9]+(,[+-]?[0-9]+)*$ ]] ||
  bad "--pitch takes whole semitones separated by commas, not '$pitch'"
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || bad "--runs takes a count, not '$runs'"
[[ "$bursts" =~ ^[1-9][0-9]*$ ]] || bad "--bursts takes a count, not '$bursts'"
[[ "$roads" =~ ^(straight|mic|reader)(,(straight|mic|reader))*$ ]] ||
  bad "--roads takes straight, mic and reader separated by commas, not '$roads'"
IFS=, read -r -a pitch_list <<<"$pitch"
IFS=, read -r -a road_list <<<"$roads"

program="$build/app/squeakbox"
lag="$build/tools/squeakbox-rig-lag"
if [ ! -x "$program" ] || { $speech && [ ! -x "$lag" ]; }; then
  echo "no $program or $lag; build first (cmake --build --preset default)" >&2
  exit 1
fi
pactl list short sinks 2>/dev/null | grep -q squeak_rig || {
  echo "no squeak_rig sink: run under scripts/with-pulse.sh or scripts/with-pipewire.sh" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/squeakbox-delay.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do stop "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT

stop() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Records squeak_rig.monitor into $work/rig.raw, with the recorder's pid in
# $recorder.
record_rig() {
  parec --device=squeak_rig.monitor --format=s16le --rate=44100 --channels=2 --raw \
    --latency-msec=10 >"$work/rig.raw" 2>/dev/null &
  recorder=$!
  pids+=("$recorder")
}

# Starts a pass-through command ("$@") from squeak_in.monitor to squeak_out,
# with its pid in $passer. The program gets a home of its own, so a
# measurement leaves no settings behind.
start_passer() {
  PULSE_SOURCE=squeak_in.monitor PULSE_SINK=squeak_out QT_QPA_PLATFORM=offscreen HOME="$work" \
    "$@" >"$work/pass.out" 2>"$work/pass.err" &
  passer=$!
  pids+=("$passer")
}

# squeakbox at a pitch, with any further options.
squeakbox() {
  start_passer "$program" "$1" --latency "$latency" --voice "$voice" --input-device pulse \
    --output-device pulse \
    "${@:2}"
}

keep_recording() {
  if [ -n "$keep" ]; then cp "$work/rig.raw" "$keep"; fi
}

echo "machine: $(nproc) cores, $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg); server: $(pactl info | sed -n 's/^Server Name: //p')"
echo "squeakbox: $("$program" --version | grep '^engine')"

# --speech: the bundled voice behind two seconds of silence, in which the
# program starts; one run prints "lag_ms correlation".
speech_run() {
  record_rig
  sleep 0.2
  paplay --device=squeak_in --latency-msec=10 "$work/played.wav" &
  local player=$!
  sleep 0.2
  squeakbox "$1"
  wait "$player"
  sleep 1
  stop "$passer"
  stop "$recorder"
  keep_recording
  "$lag" "$work/rig.raw"
}

measure_speech() {
  sox "$root/resources/samples/speech.wav" "$work/played.wav" pad 2 0.5
  echo "microphone to speaker, $latency latency, $runs runs per pitch"
  printf '%6s %10s %10s %12s\n' pitch "median ms" "worst ms" "correlation"
  local failed=0 pitch lags worst_corr ms corr median worst
  for pitch in "${pitch_list[@]}"; do
    lags=() worst_corr=1
    for ((i = 0; i < runs; i++)); do
      read -r ms corr < <(speech_run "$pitch")
      lags+=("$ms")
      worst_corr=$(awk -v a="$worst_corr" -v b="$corr" 'BEGIN { print (b < a) ? b : a }')
    done
    median=$(printf '%s\n' "${lags[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    worst=$(printf '%s\n' "${lags[@]}" | sort -n | tail -n 1)
    printf '%+6d %10.1f %10.1f %12.3f\n' "$pitch" "$median" "$worst" "$worst_corr"
    if [ "$latency" = low ]; then
      awk -v m="$median" -v p="$pitch" 'BEGIN { exit (p == 6 && m > 80) ? 1 : 0 }' || failed=1
      awk -v w="$worst" 'BEGIN { exit (w > 100) ? 1 : 0 }' || failed=1
    fi
  done
  if [ "$latency" = low ]; then
    [ "$failed" = 0 ] && echo "targets met: +6 median <= 80 ms, every pitch <= 100 ms" ||
      echo "targets missed: +6 median <= 80 ms, every pitch <= 100 ms"
  fi
  return "$failed"
}

# The median onset delay, in ms, of the bursts in $work/rig.raw.
median_onset_delay() {
  od -An -v -td2 -w4 "$work/rig.raw" | awk '
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

# One run of a pass-through on the bursts: returns once they have been
# played, with the pass-through still running.
burst_run() {
  record_rig
  "$@"
  sleep 1
  paplay --device=squeak_in --latency-msec=10 "$work/bursts.wav"
  sleep 1
  stop "$recorder"
}

# $work/bursts.wav: $1 seconds of silence (default 2), then bursts of 120 ms
# of a 220 Hz tone, one a second.
make_bursts() {
  sox -n -r 44100 -c 1 -b 16 "$work/burst.wav" synth 0.12 sine 220 vol 0.5 fade 0.002 0.12 0.002 pad 0 0.88
  sox -n -r 44100 -c 1 -b 16 "$work/lead.wav" trim 0 "${1:-2}"
  local burst_files=()
  for _ in $(seq "$bursts"); do burst_files+=("$work/burst.wav"); done
  sox "$work/lead.wav" "${burst_files[@]}" "$work/bursts.wav"
}

measure_bursts() {
  make_bursts
  local pitch start stat now cpu ticks
  ticks=$(getconf CLK_TCK)
  echo "tone bursts, $latency latency, $bursts bursts per run"
  for pitch in "${pitch_list[@]}"; do
    start=$(date +%s.%N)
    burst_run squeakbox "$pitch" --stats
    read -r -a stat <"/proc/$passer/stat"
    now=$(date +%s.%N)
    stop "$passer"
    cpu=$(awk -v u="${stat[13]}" -v s="${stat[14]}" -v t="$ticks" -v a="$start" -v b="$now" \
      'BEGIN { printf "%.1f", 100 * (u + s) / t / (b - a) }')
    keep_recording
    printf 'squeakbox %+d: %s; processor %s %% of one core over its life\n' \
      "$pitch" "$(median_onset_delay)" "$cpu"
    sed -n 's/^/  /p' "$work/pass.out"

    burst_run start_passer sox -q --buffer 1024 -t alsa pulse -t alsa pulse pitch $((pitch * 100))
    stop "$passer"
    echo "sox pitch $((pitch * 100)) --buffer 1024: $(median_onset_delay)"
  done
}

# A call program's reader: records $1 and plays it to squeak_out, each side
# at 20 ms, through a pipe; its two pids go to $pids. The player connects
# first, so no sound waits in the pipe when the recorder starts: whatever
# piled up there would stay as delay for the whole run.
start_reader() {
  rm -f "$work/reader.pipe"
  mkfifo "$work/reader.pipe"
  pacat --playback --device=squeak_out --format=s16le --rate=44100 --channels=1 --raw \
    --latency-msec=20 <>"$work/reader.pipe" 2>/dev/null &
  pids+=($!)
  reader_pids=($!)
  sleep 0.5
  parec --device="$1" --format=s16le --rate=44100 --channels=1 --raw --latency-msec=20 \
    >"$work/reader.pipe" 2>/dev/null &
  pids+=($!)
  reader_pids+=($!)
}

# One run of the bursts on a road (straight, mic or reader) at a pitch;
# prints the median onset delay in ms, or "none". The player of the bursts
# connects first, as in the sound-server tests: its arrival makes the server
# re-time the rig's null sink for a moment, which belongs to the rig and
# must not fall on a stream into a sink of another clock (the Squeakbox
# microphone's). The roads start during its four seconds of lead-in.
call_run() {
  local road=$1 pitch=$2 player
  reader_pids=()
  passer=""
  record_rig
  paplay --device=squeak_in --latency-msec=10 "$work/bursts.wav" &
  player=$!
  pids+=("$player")
  sleep 0.3
  case "$road" in
    straight) squeakbox "$pitch" --stats ;;
    mic)
      start_passer "$program" "$pitch" --latency "$latency" --input-device pulse --virtual-mic --stats
      for _ in $(seq 100); do
        pactl list short sources | grep -q $'^[0-9]*\tsqueakbox_mic\t' && break
        sleep 0.05
      done
      start_reader squeakbox_mic
      ;;
    reader) start_reader squeak_in.monitor ;;
  esac
  wait "$player"
  sleep 1
  stop "$recorder"
  for ((i = ${#reader_pids[@]} - 1; i >= 0; i--)); do stop "${reader_pids[i]}"; done
  if [ -n "$passer" ]; then
    stop "$passer"
    sed -n 's/^delay: /  squeakbox says: delay: /p' "$work/pass.out" >&2
  fi
  keep_recording
  median_onset_delay | awk '{ print $1 }'
}

measure_call() {
  make_bursts 4
  local failed=0 judged=false pitch road ms median straight_ms
  echo "the call microphone, $latency latency, $runs runs of $bursts bursts per road"
  printf '%6s %-10s %10s   %s\n' pitch road "median ms" "runs"
  for pitch in "${pitch_list[@]}"; do
    straight_ms=""
    for road in "${road_list[@]}"; do
      local all=()
      for ((i = 0; i < runs; i++)); do
        ms=$(call_run "$road" "$pitch")
        all+=("$ms")
      done
      median=$(printf '%s\n' "${all[@]}" | grep -v none | sort -n |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "none"; else print v[int((NR + 1) / 2)] }')
      printf '%+6d %-10s %10s   %s\n' "$pitch" "$road" "$median" "${all[*]}"
      case "$road" in
        straight) straight_ms=$median ;;
        mic)
          [ -n "$straight_ms" ] || continue
          judged=true
          awk -v m="$median" -v s="$straight_ms" \
            'BEGIN { exit (m == "none" || s == "none" || m > s + 15) ? 1 : 0 }' || failed=1
          ;;
      esac
    done
  done
  $judged || return 0
  [ "$failed" = 0 ] && echo "target met: through the microphone at most straight + 15 ms" ||
    echo "target missed: through the microphone at most straight + 15 ms"
  return "$failed"
}

if $speech; then
  measure_speech
elif $call; then
  measure_call
else
  measure_bursts
fi
