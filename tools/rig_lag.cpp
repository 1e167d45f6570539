// squeakbox-rig-lag: how much later the voice comes out than it went in, in a
// recording of the sound-server rig of scripts/with-pulse.sh (raw 16-bit
// stereo at 44.1 kHz: left what was played into the microphone side, right
// what the program played). Prints the lag in milliseconds and how well the
// two loudness envelopes match at it (1 is a perfect match).
//
//   squeakbox-rig-lag RIG.raw

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

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
    std::vector<std::int16_t> in(frames), out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        std::memcpy(&in[i], bytes.data() + 4 * i, 2);
        std::memcpy(&out[i], bytes.data() + 4 * i + 2, 2);
    }
    // Envelopes of 10 ms every 1 ms, searched up to 1.5 s.
    constexpr std::size_t hop = 44;
    const auto m = squeakbox::e2e::match_envelopes(squeakbox::e2e::envelope(in, 441, hop),
                                                   squeakbox::e2e::envelope(out, 441, hop), 1500);
    std::printf("%.1f %.3f\n", 1000.0 * double(m.lag * hop) / 44100.0, m.correlation);
    return 0;
}
