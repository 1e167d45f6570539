// Sound files in memory take the same road through libsndfile as files on
// disk: the same samples, the same checks, the same messages.

#include "audio/sound_files/sound_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/engine/test_signals.h"

namespace squeakbox::render {
namespace {

namespace fs = std::filesystem;

std::vector<unsigned char> file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::int16_t> read_all(sound_reader& reader) {
    std::vector<std::int16_t> samples;
    std::vector<std::int16_t> chunk(1000 * reader.channels());
    while (const std::uint64_t n = reader.read(chunk.data(), 1000))
        samples.insert(samples.end(), chunk.begin(),
                       chunk.begin() + static_cast<std::ptrdiff_t>(n * reader.channels()));
    return samples;
}

TEST(SoundFileInMemory, ReadsAndChecksLikeAFileAndWritesAWholeWav) {
    const fs::path dir =
        fs::temp_directory_path() / ("squeakbox-sound-file-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::vector<std::int16_t> stereo = testing::random_samples(2 * 3001, 5);

    // A stereo FLAC file, read from disk and from its bytes.
    const fs::path flac = dir / "in.flac";
    SF_INFO info{};
    info.samplerate = 22050;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(flac.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_short(file, stereo.data(), 3001);
    sf_close(file);
    sound_reader from_disk(flac.string());
    sound_reader from_memory(in_memory, "voice.flac", file_bytes(flac));
    EXPECT_EQ(from_memory.sample_rate(), 22050u);
    EXPECT_EQ(from_memory.channels(), 2u);
    EXPECT_EQ(from_memory.frames(), 3001u);
    EXPECT_EQ(from_memory.name(), "voice.flac");
    EXPECT_EQ(read_all(from_memory), read_all(from_disk));

    // The checks of a file hold for bytes too, and name what was given.
    std::vector<unsigned char> truncated = file_bytes(flac);
    truncated.resize(truncated.size() / 2);
    const auto fails = [](std::vector<unsigned char> bytes, const std::string& reason) {
        try {
            sound_reader reader(in_memory, "voice", std::move(bytes));
            read_all(reader);
            ADD_FAILURE() << "no error for " << reason;
        } catch (const file_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("voice: ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    };
    fails({}, "no data");
    fails({'n', 'o', 'p', 'e'}, "not a readable sound file");
    fails(truncated, "truncated");

    // A file written in memory is a complete WAV once committed.
    sound_writer writer(in_memory, 44100, 2);
    writer.write(stereo.data(), 3001);
    writer.commit();
    sound_reader back(in_memory, "back", writer.bytes());
    EXPECT_EQ(back.sample_rate(), 44100u);
    EXPECT_EQ(read_all(back), stereo);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace squeakbox::render
