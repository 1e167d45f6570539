#include "app/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace squeakbox {
namespace {

command_line_result parse(std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    return parse_command_line(list);
}

TEST(ScanLeadingInteger, ReadsLikeAPercentDScan) {
    EXPECT_EQ(scan_leading_integer("-3"), -3);
    EXPECT_EQ(scan_leading_integer("12 words"), 12);
    EXPECT_EQ(scan_leading_integer(" \t\n+7x"), 7);
    EXPECT_EQ(scan_leading_integer("0"), 0);
    EXPECT_EQ(scan_leading_integer("007"), 7);
    EXPECT_EQ(scan_leading_integer("-0"), 0);
    EXPECT_FALSE(scan_leading_integer(""));
    EXPECT_FALSE(scan_leading_integer("   "));
    EXPECT_FALSE(scan_leading_integer("words 12"));
    EXPECT_FALSE(scan_leading_integer("-"));
    EXPECT_FALSE(scan_leading_integer("- 3"));
    EXPECT_FALSE(scan_leading_integer("+-3"));
    EXPECT_FALSE(scan_leading_integer("x12"));
}

TEST(ScanLeadingInteger, HugeNumbersSaturateInsteadOfWrapping) {
    EXPECT_EQ(scan_leading_integer("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(scan_leading_integer("-99999999999999999999999"), LLONG_MIN);
    EXPECT_EQ(scan_leading_integer("9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(scan_leading_integer("-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(scan_leading_integer("4294967302"), 4294967302LL);  // not 6 after a 32-bit wrap
}

TEST(CommandLine, StartPitchFromTheLeadingNumber) {
    EXPECT_EQ(parse({}).options.pitch_semitones, 6);
    EXPECT_EQ(parse({"-3"}).options.pitch_semitones, -3);
    EXPECT_EQ(parse({"12", "words"}).options.pitch_semitones, 12);
    EXPECT_EQ(parse({"12 words"}).options.pitch_semitones, 12);
    EXPECT_EQ(parse({"words"}).options.pitch_semitones, 6);
    EXPECT_EQ(parse({"words", "12"}).options.pitch_semitones, 6);
    EXPECT_EQ(parse({""}).options.pitch_semitones, 6);
    EXPECT_EQ(parse({" -5"}).options.pitch_semitones, -5);
    EXPECT_EQ(parse({"+0"}).options.pitch_semitones, 0);
    for (auto args : {parse({}), parse({"-3"}), parse({"words"})}) {
        EXPECT_TRUE(args.error.empty()) << args.error;
        EXPECT_TRUE(args.options.warnings.empty());
    }
}

TEST(CommandLine, PitchOutsideTheEnginesRangeIsClampedWithOneWarning) {
    const struct {
        std::string_view arg;
        int expected;
    } cases[] = {{"47", 47},        {"-47", -47}, {"48", 47},
                 {"-48", -47},      {"160", 47},  {"-1000000000000", -47},
                 {"4294967302", 47}};
    for (const auto& c : cases) {
        const auto result = parse({c.arg});
        EXPECT_TRUE(result.error.empty()) << c.arg;
        EXPECT_EQ(result.options.pitch_semitones, c.expected) << c.arg;
        const bool clamped = c.expected != std::stoll(std::string(c.arg));
        ASSERT_EQ(result.options.warnings.size(), clamped ? 1u : 0u) << c.arg;
        if (clamped) {
            EXPECT_NE(result.options.warnings[0].find(std::to_string(c.expected)),
                      std::string::npos)
                << result.options.warnings[0];
        }
    }
}

TEST(CommandLine, OptionsWithValuesInBothSpellings) {
    const auto result = parse({"--input-device", "USB Mic", "--output-device=Speakers", "-2",
                               "--capture-file", "in.wav", "--playback-file=out.wav"});
    ASSERT_TRUE(result.error.empty()) << result.error;
    const command_line& o = result.options;
    EXPECT_EQ(o.input_device, "USB Mic");
    EXPECT_EQ(o.output_device, "Speakers");
    EXPECT_EQ(o.capture_file, "in.wav");
    EXPECT_EQ(o.playback_file, "out.wav");
    EXPECT_EQ(o.pitch_semitones, -2);
    EXPECT_TRUE(o.starts_at_once());
    EXPECT_FALSE(parse({"5"}).options.starts_at_once());
    // A value that looks like a number or an option is still the value.
    EXPECT_EQ(parse({"--input-device", "-3"}).options.input_device, "-3");
    EXPECT_EQ(parse({"--input-device", "-3"}).options.pitch_semitones, 6);
    EXPECT_TRUE(parse({"--latency", "low"}).options.low_latency);
    EXPECT_FALSE(parse({"--latency=low", "--latency=normal"}).options.low_latency);
    EXPECT_FALSE(parse({}).options.low_latency);
    EXPECT_EQ(parse({"--voice", "natural"}).options.voice, voice_kind::natural);
    EXPECT_EQ(parse({}).options.voice, voice_kind::squeak);
    EXPECT_EQ(parse({"--timbre=-12"}).options.timbre_semitones, -12);
    EXPECT_EQ(parse({}).options.timbre_semitones, 0);
}

TEST(CommandLine, Flags) {
    const auto result = parse({"--capture-file", "a.wav", "--realtime", "--exit-at-end", "--record",
                               "--stats", "--list-devices", "--version", "-h"});
    ASSERT_TRUE(result.error.empty()) << result.error;
    const command_line& o = result.options;
    EXPECT_EQ(o.pacing, pacing_choice::realtime);
    EXPECT_TRUE(o.exit_at_end && o.record && o.stats && o.list_devices && o.version && o.help);
    EXPECT_TRUE(o.warnings.empty());
    EXPECT_EQ(o.audio_system, audio_system_choice::automatic);
    EXPECT_EQ(parse({"--audio-system", "alsa"}).options.audio_system, audio_system_choice::alsa);
    EXPECT_EQ(parse({"--audio-system=pulse"}).options.audio_system, audio_system_choice::pulse);
    EXPECT_TRUE(parse({"--virtual-mic"}).options.starts_at_once());
    EXPECT_TRUE(parse({"--virtual-mic", "--monitor"}).options.hear_yourself);
    EXPECT_EQ(parse({"--playback-file", "b.wav", "--realtime", "--fast"}).options.pacing,
              pacing_choice::fast);
    EXPECT_TRUE(parse({"--help"}).options.help);
    // After "--" everything is the old command-line text.
    const auto ended = parse({"--", "--record", "4"});
    EXPECT_FALSE(ended.options.record);
    EXPECT_EQ(ended.options.pitch_semitones, 6);
    EXPECT_EQ(parse({"--", "-4"}).options.pitch_semitones, -4);
}

TEST(CommandLine, OptionsThatDoNothingHereAreReported) {
    EXPECT_EQ(parse({"--fast"}).options.warnings.size(), 1u);
    EXPECT_EQ(parse({"--exit-at-end"}).options.warnings.size(), 1u);
    EXPECT_EQ(parse({"--playback-file", "o.wav", "--exit-at-end"}).options.warnings.size(), 1u);
    EXPECT_EQ(parse({"--playback-file", "o.wav", "--monitor"}).options.warnings.size(), 1u);
}

TEST(CommandLine, UnusableCommandLinesAreRefusedWithAReason) {
    const struct {
        std::initializer_list<std::string_view> args;
        std::string_view mentions;
    } cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"-x"}, "-x"},
        {{"--input-device"}, "--input-device"},
        {{"--capture-file="}, "--capture-file"},
        {{"--output-device", ""}, "--output-device"},
        {{"--record=yes"}, "--record"},
        {{"3", "--list"}, "--list"},
        {{"--audio-system", "jack"}, "auto, pulse or alsa"},
        {{"--audio-system"}, "--audio-system"},
        {{"--virtual-mic", "--output-device", "Speakers"}, "--output-device"},
        {{"--virtual-mic", "--playback-file", "o.wav"}, "--playback-file"},
        {{"--latency", "fast"}, "--latency"},
        {{"--latency"}, "--latency"},
        {{"--voice", "robot"}, "squeak or natural"},
        {{"--timbre", "13"}, "timbre 13 is outside -12 to 12 semitones"},
        {{"--engine", "turbo"}, "auto, plain, sse2, avx2 or avx512"},
        {{"--engine=scalar"}, "--engine"},
        {{"--bypass", "maybe"}, "on, off or toggle"},
        {{"--pitch", "99"}, "between -47 and 47"},
        {{"--pitch", "up"}, "--pitch"},
        {{"--pitch-up=2"}, "--pitch-up"},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.args);
        EXPECT_NE(result.error.find(c.mentions), std::string::npos)
            << "error: \"" << result.error << "\" for " << *c.args.begin();
    }
}

// What goes to a running Squeakbox, what only it can take, and what starts a
// new one with its value when none runs; values given here win over the
// saved settings for the run.
TEST(CommandLine, CommandsForARunningSqueakbox) {
    const struct {
        std::initializer_list<std::string_view> args;
        bool remote;
        bool needs_running;
        int pitch;
        int steps;
    } cases[] = {
        {{}, false, false, 6, 0},
        {{"9"}, false, false, 9, 0},
        {{"--pitch", "9"}, true, false, 9, 0},
        {{"--pitch=-4", "12"}, true, false, -4, 0},
        {{"--pitch-up"}, true, true, 6, 1},
        {{"--pitch-up", "--pitch-up", "--pitch-down", "--pitch-up"}, true, true, 6, 2},
        {{"--pitch-down"}, true, true, 6, -1},
        {{"--bypass", "on"}, true, false, 6, 0},
        {{"--bypass=toggle"}, true, true, 6, 0},
        {{"--record-toggle"}, true, true, 6, 0},
        {{"--record"}, false, false, 6, 0},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.args);
        ASSERT_TRUE(result.error.empty()) << result.error;
        const command_line& o = result.options;
        const std::string first = c.args.size() > 0 ? std::string(*c.args.begin()) : "(none)";
        EXPECT_EQ(o.has_remote_command(), c.remote) << first;
        EXPECT_EQ(o.needs_running(), c.needs_running) << first;
        EXPECT_EQ(o.pitch_semitones, c.pitch) << first;
        EXPECT_EQ(o.pitch_steps, c.steps) << first;
    }
    EXPECT_TRUE(parse({"--bypass", "on"}).options.bypass);
    EXPECT_FALSE(parse({"--bypass", "toggle"}).options.bypass_given);
    EXPECT_TRUE(parse({"-2"}).options.pitch_given);
    EXPECT_FALSE(parse({"words"}).options.pitch_given);
    EXPECT_TRUE(parse({"--latency", "normal"}).options.latency_given);
    EXPECT_TRUE(parse({"--reset-settings"}).options.reset_settings);
}

TEST(CommandLine, EngineVariantFromTheOptionElseTheEnvironment) {
    EXPECT_EQ(parse({}).options.engine, best_variant());
    EXPECT_EQ(parse({"--engine", "plain"}).options.engine, engine_variant::plain);
    ASSERT_EQ(::setenv("SQUEAKBOX_ENGINE", "plain", 1), 0);
    EXPECT_EQ(parse({"5"}).options.engine, engine_variant::plain);
    EXPECT_EQ(parse({"--engine=auto"}).options.engine, best_variant());
    // A name nobody knows is an error, never a quiet default.
    ASSERT_EQ(::setenv("SQUEAKBOX_ENGINE", "fastest", 1), 0);
    const auto refused = parse({"5"});
    EXPECT_NE(refused.error.find("SQUEAKBOX_ENGINE"), std::string::npos) << refused.error;
    EXPECT_TRUE(parse({"--help"}).error.empty());
    ::unsetenv("SQUEAKBOX_ENGINE");
}

TEST(CommandLine, HelpNamesEveryOption) {
    const std::string help = usage_text("squeakbox");
    for (const char* option :
         {"--input-device",  "--output-device",  "--capture-file", "--playback-file",
          "--realtime",      "--fast",           "--exit-at-end",  "--record",
          "--stats",         "--list-devices",   "--help",         "--version",
          "--audio-system",  "--virtual-mic",    "--latency",      "--engine",
          "--bypass",        "--pitch-up",       "--pitch-down",   "--pitch ",
          "--record-toggle", "--reset-settings", "--monitor",      "PITCH"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace squeakbox
