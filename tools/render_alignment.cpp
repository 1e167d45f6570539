// squeakbox-render-alignment: how far a rendered file has slid against its
// input, at its start and at its end. Both files are raw 16-bit mono at the
// same rate (sox converts anything else). For the first and the last stretch
// of the input (a minute by default) it matches the loudness envelopes (10 ms
// windows every millisecond) of input and output at lags up to MAX_LAG_MS
// either way and prints, in milliseconds, positive when the output comes out
// late: the centre of the lags that match at least half as well as the best
// one, the best lag, and how well the envelopes match there (1 is perfect).
//
//   squeakbox-render-alignment IN.raw OUT.raw [RATE [SECONDS [MAX_LAG_MS]]]

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace {

std::vector<std::int16_t> read_raw(const char* path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// Loudness in 10 ms windows every millisecond, its mean removed.
std::vector<double> envelope(std::span<const std::int16_t> x, std::size_t rate) {
    const std::size_t hop = rate / 1000;
    const std::size_t window = rate / 100;
    std::vector<double> e;
    double energy = 0;
    for (std::size_t j = 0; j < window && j < x.size(); ++j) energy += double(x[j]) * x[j];
    for (std::size_t k = 0; k + window <= x.size(); k += hop) {
        e.push_back(std::sqrt(std::max(energy, 0.0) / double(window)));
        for (std::size_t j = k; j < k + hop && j + window < x.size(); ++j)
            energy += double(x[j + window]) * x[j + window] - double(x[j]) * x[j];
    }
    double mean = 0;
    for (double v : e) mean += v;
    mean /= double(e.size());
    for (double& v : e) v -= mean;
    return e;
}

struct match {
    int lag_ms = 0;
    double correlation = -2;
    double centre_ms = 0;
};

// Matches the envelopes at lags within +-max_lag ms; only the inner part of
// `in` (a max_lag margin on each side) is compared, so every lag sees as much
// sound.
match best_lag(const std::vector<double>& in, const std::vector<double>& out, int max_lag) {
    match best;
    const int n = static_cast<int>(std::min(in.size(), out.size()));
    std::vector<double> curve;
    for (int lag = -max_lag; lag <= max_lag; ++lag) {
        double sab = 0, saa = 0, sbb = 0;
        for (int t = max_lag; t + max_lag < n; ++t) {
            const double a = in[t];
            const double b = out[t + lag];
            sab += a * b;
            saa += a * a;
            sbb += b * b;
        }
        const double c = saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
        curve.push_back(c);
        if (c > best.correlation) best = {lag, c, 0.0};
    }
    // Far up the time-stretcher plays every stretch of input many times over,
    // so a sound comes out smeared over the best part of a second and the
    // match is a broad plateau whose highest point is chance. Its centre, the
    // mean of the lags weighted by how far they rise above half the best
    // match, says where the sound comes out on average; for a sharp match it
    // is the best lag.
    double weight = 0, sum = 0;
    for (std::size_t i = 0; i < curve.size(); ++i) {
        const double w = curve[i] - best.correlation / 2;
        if (w <= 0) continue;
        weight += w;
        sum += w * (static_cast<double>(i) - max_lag);
    }
    best.centre_ms = weight > 0 ? sum / weight : best.lag_ms;
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 6) {
        std::fprintf(stderr,
                     "usage: squeakbox-render-alignment IN.raw OUT.raw [RATE [SECONDS "
                     "[MAX_LAG_MS]]]\n");
        return 2;
    }
    const std::size_t rate = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 44100;
    const double seconds = argc > 4 ? std::strtod(argv[4], nullptr) : 60.0;
    const int max_lag = argc > 5 ? std::atoi(argv[5]) : 500;
    const auto in = read_raw(argv[1]);
    const auto out = read_raw(argv[2]);
    const auto span_frames = static_cast<std::size_t>(seconds * double(rate));
    if (rate < 1000 || in.size() < span_frames || out.size() < in.size() ||
        span_frames < 4 * rate / 1000 * static_cast<std::size_t>(max_lag)) {
        std::fprintf(stderr,
                     "squeakbox-render-alignment: the input must hold the span (and the "
                     "output as much as the input), and the span four times the lag\n");
        return 1;
    }
    const std::span<const std::int16_t> a(in), b(out);
    const std::size_t last = in.size() - span_frames;
    for (const std::size_t from : {std::size_t{0}, last}) {
        const auto x = a.subspan(from, span_frames);
        const auto y = b.subspan(from, span_frames);
        const match m = best_lag(envelope(x, rate), envelope(y, rate), max_lag);
        std::printf("%s: centre %.1f ms, best %d ms (match %.3f)\n", from == 0 ? "first" : "last",
                    m.centre_ms, m.lag_ms, m.correlation);
    }
    return 0;
}
