// squeakbox-rig-lag: how much later the voice comes out than it went in, in a
// recording of the sound-server rig of scripts/with-pulse.sh (raw 16-bit
// stereo at 44.1 kHz: left what was played into the microphone side, right
// what the program played). Prints the lag in milliseconds and how well the
// two loudness envelopes match at it (1 is a perfect match).
//
//   squeakbox-rig-lag RIG.raw

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/e2e/sound_analysis.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: squeakbox-rig-lag RIG.raw\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const std::size_t frames = bytes.size() / 4;
    if (frames < 44100) {
        std::fprintf(stderr, "squeakbox-rig-lag: %s holds less than a second of sound\n", argv[1]);
        return 1;
    }
    double correlation = 0;
    const double lag =
        squeakbox::e2e::measure_latency(squeakbox::e2e::split_rig(bytes), &correlation);
    std::printf("%.1f %.3f\n", 1000.0 * lag / 44100.0, correlation);
    return 0;
}
