#include "cli/render_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace squeakbox::render {
namespace {

render_options parse(std::vector<std::string_view> args) {
    return parse_options(args);
}

TEST(RenderOptions, ReadsEveryOptionInBothSpellings) {
    const render_options o =
        parse({"--semitones=-7", "--pitch-changes", "400:+2,0:3,12:-47", "--block-frames", "1024",
               "--engine=plain", "--simd", "scalar", "--raw", "-q", "--latency=low", "--voice",
               "natural", "--timbre=-12", "in.flac", "-"});
    EXPECT_EQ(o.semitones, -7);
    ASSERT_EQ(o.pitch_changes.size(), 3u);
    EXPECT_EQ(o.pitch_changes[0].block, 0u);
    EXPECT_EQ(o.pitch_changes[0].semitones, 3);
    EXPECT_EQ(o.pitch_changes[1].block, 12u);
    EXPECT_EQ(o.pitch_changes[1].semitones, -47);
    EXPECT_EQ(o.pitch_changes[2].block, 400u);
    EXPECT_EQ(o.pitch_changes[2].semitones, 2);
    EXPECT_EQ(o.block_frames, 1024u);
    EXPECT_EQ(o.engine, engine_variant::plain);
    EXPECT_TRUE(o.raw);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.latency, latency_mode::low);
    EXPECT_EQ(o.voice, voice_kind::natural);
    EXPECT_EQ(o.timbre, -12);
    EXPECT_EQ(o.input, "in.flac");
    EXPECT_EQ(o.output, "-");

    const render_options d = parse({"--", "-odd-name.wav", "out.wav"});
    EXPECT_EQ(d.semitones, 6);
    EXPECT_EQ(d.block_frames, 512u);
    EXPECT_EQ(d.engine, best_variant());
    EXPECT_FALSE(d.raw);
    EXPECT_EQ(d.latency, latency_mode::normal);
    EXPECT_EQ(d.voice, voice_kind::squeak);
    EXPECT_EQ(d.timbre, 0);
    EXPECT_EQ(d.input, "-odd-name.wav");
    EXPECT_TRUE(parse({"--version"}).version);
    EXPECT_TRUE(parse({"-h"}).help);
}

TEST(RenderOptions, RejectsWhatItCannotHonour) {
    const std::vector<std::vector<std::string_view>> bad = {
        {"--semitones", "49", "a", "b"},
        {"--semitones", "-2147483649", "a", "b"},
        {"--semitones", "1.5", "a", "b"},
        {"--semitones", "", "a", "b"},
        {"--semitones"},
        {"--block-frames", "63", "a", "b"},
        {"--block-frames", "16385", "a", "b"},
        {"--pitch-changes", "3:1,3:2", "a", "b"},
        {"--pitch-changes", "-1:2", "a", "b"},
        {"--pitch-changes", "4:", "a", "b"},
        {"--pitch-changes", "4:1,", "a", "b"},
        {"--engine", "MMX", "a", "b"},
        {"--simd", "neon", "a", "b"},
        {"--latency", "lowest", "a", "b"},
        {"--voice", "chipmunk", "a", "b"},
        {"--timbre", "13", "a", "b"},
        {"--timbre", "-13", "a", "b"},
        {"--timbre", "+2.5", "a", "b"},
        {"--raw=yes", "a", "b"},
        {"--unknown", "a", "b"},
        {"a"},
        {"a", "b", "c"},
    };
    for (const auto& args : bad) EXPECT_THROW(parse(args), usage_error) << args[0];
    // A variant named in the environment is checked like the option's, which
    // overrides it.
    ASSERT_EQ(::setenv("SQUEAKBOX_ENGINE", "avx9", 1), 0);
    EXPECT_THROW(parse({"a", "b"}), usage_error);
    EXPECT_EQ(parse({"--simd", "scalar", "a", "b"}).engine, engine_variant::plain);
    ::unsetenv("SQUEAKBOX_ENGINE");
    for (engine_variant v : all_variants) {
        const char* level = simd::level_name(kernel_level(v));
        for (std::vector<std::string_view> args :
             {std::vector<std::string_view>{"--simd", level, "a", "b"},
              {"--engine", variant_name(v), "a", "b"}}) {
            if (processor_runs(v))
                EXPECT_EQ(parse(args).engine, v);
            else
                EXPECT_THROW(parse(args), usage_error) << args[1];
        }
    }
}

}  // namespace
}  // namespace squeakbox::render
