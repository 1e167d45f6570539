#!/usr/bin/python3
"""Measures how the two voices move pitch and timbre, on recorded speech.

    bench/natural_voice.py [--build DIR] [--material FILE ...] [--no-espeak]
                           [--quick] [--keep DIR]

Renders every piece of material with squeakbox-render for each voice, latency
mode, pitch and timbre of the table below, and prints per row:

  envelope  the envelope scale factor: the long-term spectral envelope of the
            output against the input's, each the cepstrally smoothed log of
            the mean power spectrum over the louder frames (the upper half by
            loudness), and the frequency scale s that maps one onto the other
            (out(s * f) ~ in(f), 150 Hz to 5 kHz, level ignored). 1.00 means
            the formants stayed; 2^(n/12) means they moved n semitones. The
            lowest and highest over the material.
  median    paired median pitch error in cents (output against input plus
            the shift, on frames voiced in both), the worst over the material;
  in 50     the share of paired voiced frames within 50 cents, the lowest;
  delay     the engine's delay, from squeakbox-render --raw against the
            input: the lag of the output's loudness behind the input's.

The pitch is tracked by Praat (praat --run, Debian's praat package) where
it is installed, else by this script's own autocorrelation tracker; the
header says which. The material is the bundled sample plus espeak-ng voices
(male, female, German) at 44.1 kHz, where espeak-ng and sox are there.
Finally the renderer's speed in times real time, per voice, on ten minutes
of the sample repeated, by processor time and by the wall clock. Prints figures and judges nothing. Needs numpy
(python3-numpy).
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "resources", "samples", "speech.wav")

# (voice, latency, pitch, timbre)
ROWS = [(v, lat, p, t)
        for v in ("squeak", "natural")
        for lat in ("normal", "low")
        for (p, t) in ((-6, 0), (6, 0), (12, 0), (0, 4), (6, 4))]

ESPEAK_TEXT = (
    "The quick brown fox jumps over the lazy dog, and then it runs far away "
    "into the forest. She sells sea shells by the sea shore; the shells she "
    "sells are surely sea shells. Five or six big jet planes zoomed quickly "
    "by the new tower. How much wood would a woodchuck chuck, if a woodchuck "
    "could chuck wood? Please call Stella and ask her to bring these things "
    "with her from the store.")
ESPEAK_TEXT_DE = (
    "Franz jagt im komplett verwahrlosten Taxi quer durch Bayern. Zwölf "
    "Boxkämpfer jagen Viktor quer über den großen Sylter Deich. Die Sonne "
    "scheint, und der Wind weht leise über das Feld, während die Kinder im "
    "Garten spielen und die Vögel singen.")
ESPEAK_VOICES = (("espeak-en-male", "en-us", ESPEAK_TEXT),
                 ("espeak-en-female", "en-us+f3", ESPEAK_TEXT),
                 ("espeak-de-male", "de", ESPEAK_TEXT_DE))


def read_wav(path):
    with wave.open(path, "rb") as w:
        rate = w.getframerate()
        channels = w.getnchannels()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
    if channels > 1:
        data = data.reshape(-1, channels).mean(axis=1)
    return data / 32768.0, rate


def write_wav(path, samples, rate):
    pcm = np.clip(np.round(samples * 32768.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


# --- the envelope scale factor -------------------------------------------------

FRAME = 2048
HOP = 512
LIFTER_S = 0.0012  # keep quefrencies below 1.2 ms: formants, not harmonics
BAND = (150.0, 5000.0)


def long_term_envelope(x, rate):
    """Cepstrally smoothed log of the mean power spectrum of the louder half."""
    window = np.hanning(FRAME)
    count = 1 + (len(x) - FRAME) // HOP
    frames = np.lib.stride_tricks.as_strided(
        x, shape=(count, FRAME), strides=(x.strides[0] * HOP, x.strides[0]))
    energy = (frames ** 2).sum(axis=1)
    loud = frames[energy >= np.median(energy[energy > 0])] if np.any(energy > 0) else frames
    power = (np.abs(np.fft.rfft(loud * window, axis=1)) ** 2).mean(axis=0)
    log_power = np.log(power + 1e-12)
    cepstrum = np.fft.irfft(log_power)
    keep = max(2, int(LIFTER_S * rate))
    cepstrum[keep:-keep] = 0.0
    smooth = np.fft.rfft(cepstrum).real
    freqs = np.arange(len(smooth)) * rate / FRAME
    return freqs, smooth


def envelope_scale(x_in, x_out, rate):
    freqs, e_in = long_term_envelope(x_in, rate)
    _, e_out = long_term_envelope(x_out, rate)
    f = np.linspace(BAND[0], BAND[1], 600)
    reference = np.interp(f, freqs, e_in)
    reference -= reference.mean()
    best, best_error = 1.0, np.inf
    for s in np.exp(np.linspace(np.log(0.4), np.log(2.5), 1801)):
        moved = np.interp(f * s, freqs, e_out)
        moved -= moved.mean()
        error = np.mean((moved - reference) ** 2)
        if error < best_error:
            best, best_error = s, error
    return best


# --- pitch --------------------------------------------------------------------

PRAAT_SCRIPT = """form Pitch
  sentence file
endform
s = Read from file: file$
p = To Pitch: 0.01, 60, 800
n = Get number of frames
for i to n
  f = Get value in frame: i, "Hertz"
  appendInfoLine: fixed$(f, 3)
endfor
"""


class praat_tracker:
    name = "Praat (To Pitch, autocorrelation, 10 ms, 60-800 Hz)"

    def __init__(self, workdir):
        self.script = os.path.join(workdir, "pitch.praat")
        with open(self.script, "w") as f:
            f.write(PRAAT_SCRIPT)

    def track(self, path):
        out = subprocess.run(["praat", "--run", self.script, path], check=True,
                             capture_output=True, text=True).stdout.split()
        return np.array([0.0 if "undefined" in v else float(v) for v in out])


class autocorrelation_tracker:
    name = "own autocorrelation tracker (40 ms frames, 10 ms hop, 60-800 Hz)"

    def track(self, path):
        x, rate = read_wav(path)
        frame, hop = int(0.04 * rate), int(0.01 * rate)
        lo, hi = int(rate / 800), int(rate / 60)
        loudest = np.max(np.abs(x)) if len(x) else 0.0
        result = []
        for start in range(0, len(x) - frame - hi, hop):
            a = x[start + hi:start + hi + frame]
            if np.sqrt(np.mean(a ** 2)) < 0.01 * loudest:
                result.append(0.0)
                continue
            scores = np.empty(hi - lo + 1)
            for i, lag in enumerate(range(lo, hi + 1)):
                b = x[start + hi - lag:start + hi - lag + frame]
                denominator = np.sqrt(np.dot(a, a) * np.dot(b, b))
                scores[i] = np.dot(a, b) / denominator if denominator > 0 else 0.0
            best = scores.max()
            if best < 0.7:
                result.append(0.0)
                continue
            i = int(np.argmax(scores >= 0.9 * best))
            while i + 1 < len(scores) and scores[i + 1] > scores[i]:
                i += 1
            offset = 0.0
            if 0 < i < len(scores) - 1:
                c = scores[i - 1] - 2 * scores[i] + scores[i + 1]
                if c < 0:
                    offset = 0.5 * (scores[i - 1] - scores[i + 1]) / c
            result.append(rate / (lo + i + offset))
        return np.array(result)


def pitch_errors(f_in, f_out, semitones):
    n = min(len(f_in), len(f_out))
    a, b = f_in[:n], f_out[:n]
    both = (a > 0) & (b > 0)
    if not np.any(both):
        return float("nan"), float("nan")
    cents = 1200.0 * np.log2(b[both] / a[both]) - 100.0 * semitones
    return float(np.median(cents)), float(np.mean(np.abs(cents) < 50.0) * 100.0)


# --- delay ----------------------------------------------------------------------

def loudness(x, hop):
    count = len(x) // hop
    return np.sqrt((x[:count * hop].reshape(count, hop) ** 2).mean(axis=1))


def raw_delay_ms(x_in, x_raw, rate, block=512):
    """How long after it goes in a sound comes out of a live stream, in ms.

    The raw stream is what the engine returned, block by block; played in
    order, it falls behind the input by the frames the engine still holds at
    the end, and within it the sound lies where the loudness says."""
    hop = max(1, rate // 2000)  # half a millisecond
    a, b = loudness(x_in, hop), loudness(x_raw, hop)
    n = min(len(a), len(b))
    a, b = a[:n] - a[:n].mean(), b[:n] - b[:n].mean()
    most = int(0.4 * rate / hop)
    lags = range(-most, most)
    scores = [np.dot(a[max(0, -lag):n - max(0, lag)], b[max(0, lag):n - max(0, -lag)])
              for lag in lags]
    lag = lags[int(np.argmax(scores))] * hop
    held = len(x_in) // block * block - len(x_raw)
    return (lag + held) * 1000.0 / rate


# --- running the renderer ---------------------------------------------------------

def render(renderer, source, target, voice, latency, pitch, timbre, raw=False):
    command = [renderer, "-q", "--voice", voice, "--latency", latency, "--semitones",
               str(pitch), "--timbre", str(timbre)]
    if raw:
        command.append("--raw")
    subprocess.run(command + [source, target], check=True)


def make_material(workdir, extra, use_espeak):
    material = [("sample", SAMPLE)] + [(os.path.basename(p), p) for p in extra]
    if use_espeak and shutil.which("espeak-ng") and shutil.which("sox"):
        for name, voice, text in ESPEAK_VOICES:
            raw = os.path.join(workdir, name + "-22k.wav")
            path = os.path.join(workdir, name + ".wav")
            subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "-w", raw, text], check=True)
            subprocess.run(["sox", raw, "-r", "44100", path], check=True)
            material.append((name, path))
    return material


def speed(renderer, workdir, voice):
    """Times real time on ten minutes of the sample repeated, the best of three,
    by the processor time the renderer used (user and system): on a machine
    that other work shares, the wall clock says more about that work."""
    x, rate = read_wav(SAMPLE)
    seconds = 600
    source = os.path.join(workdir, "ten-minutes.wav")
    if not os.path.exists(source):
        write_wav(source, np.tile(x, int(np.ceil(seconds * rate / len(x))))[:seconds * rate], rate)
    best_cpu, best_wall = np.inf, np.inf
    for _ in range(3):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        render(renderer, source, os.path.join(workdir, "ten-minutes-out.wav"), voice, "normal", 6,
               0)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best_cpu, best_wall = min(best_cpu, cpu), min(best_wall, wall)
    return seconds / best_cpu, seconds / best_wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--material", nargs="*", default=[],
                        help="more speech files (mono or stereo WAV)")
    parser.add_argument("--no-espeak", action="store_true")
    parser.add_argument("--quick", action="store_true", help="the natural voice only")
    parser.add_argument("--keep", help="keep the rendered files in this folder")
    args = parser.parse_args()

    renderer = os.path.join(args.build, "cli", "squeakbox-render")
    if not os.access(renderer, os.X_OK):
        sys.exit(f"natural_voice.py: no renderer at {renderer}; build first or give --build")
    workdir = args.keep or tempfile.mkdtemp(prefix="squeakbox-voice-")
    os.makedirs(workdir, exist_ok=True)
    try:
        tracker = praat_tracker(workdir) if shutil.which("praat") else autocorrelation_tracker()
        material = make_material(workdir, args.material, not args.no_espeak)
        print(f"pitch tracker: {tracker.name}")
        print("material: " + ", ".join(name for name, _ in material))
        print(f"processor: {processor_name()}; load average {os.getloadavg()[0]:.2f}\n")
        inputs = {}
        for name, path in material:
            x, rate = read_wav(path)
            inputs[name] = (x, rate, tracker.track(path))

        print("| voice | latency | pitch | timbre | envelope (target) | median cents "
              "| in 50 cents | delay |")
        print("|---|---|---|---|---|---|---|---|")
        rows = [r for r in ROWS if not args.quick or r[0] == "natural"]
        for voice, latency, pitch, timbre in rows:
            scales, medians, shares = [], [], []
            delay = None
            for name, path in material:
                x, rate, f_in = inputs[name]
                tag = f"{name}-{voice}-{latency}-{pitch:+d}-t{timbre:+d}"
                out = os.path.join(workdir, tag + ".wav")
                render(renderer, path, out, voice, latency, pitch, timbre)
                y, _ = read_wav(out)
                scales.append(envelope_scale(x, y, rate))
                median, share = pitch_errors(f_in, tracker.track(out), pitch)
                medians.append(median)
                shares.append(share)
                if name == "sample":
                    raw = os.path.join(workdir, tag + "-raw.wav")
                    render(renderer, path, raw, voice, latency, pitch, timbre, raw=True)
                    delay = raw_delay_ms(x, read_wav(raw)[0], rate)
            moved = pitch + timbre if voice == "squeak" else timbre
            target = 2.0 ** (moved / 12.0)
            worst_median = max(medians, key=abs)
            print(f"| {voice} | {latency} | {pitch:+d} | {timbre:+d} "
                  f"| {min(scales):.3f}-{max(scales):.3f} ({target:.3f}) "
                  f"| {worst_median:+.1f} | {min(shares):.1f} % | {delay:.0f} ms |")

        print()
        for voice in (("natural",) if args.quick else ("squeak", "natural")):
            cpu, wall = speed(renderer, workdir, voice)
            print(f"renderer, {voice} voice at +6: {cpu:.0f}x real time in processor time "
                  f"({wall:.0f}x by the wall clock)")
    finally:
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)


def processor_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


if __name__ == "__main__":
    main()
