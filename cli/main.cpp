// squeakbox-render: moves the pitch of a sound file with the Squeakbox engine.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "audio/sound_files/sound_file.h"
#include "cli/render_options.h"
#include "cli/renderer.h"
#include "engine/simd/dispatch.h"

namespace {

using namespace squeakbox;
using namespace squeakbox::render;

constexpr const char* program = "squeakbox-render";

// A bar on the terminal, redrawn only when the percentage moves.
class progress_bar {
  public:
    explicit progress_bar(bool enabled) : enabled_(enabled) {}
    ~progress_bar() { clear(); }

    void update(std::uint64_t done, std::uint64_t total) {
        if (!enabled_ || total == 0) return;
        const int percent = static_cast<int>(std::min<std::uint64_t>(done * 100 / total, 100));
        if (percent == shown_) return;
        shown_ = percent;
        constexpr int width = 40;
        char bar[width + 1];
        for (int i = 0; i < width; ++i) bar[i] = i < percent * width / 100 ? '#' : '.';
        bar[width] = '\0';
        std::fprintf(stderr, "\r%s [%s] %3d%%", program, bar, percent);
        std::fflush(stderr);
    }
    void clear() {
        if (enabled_ && shown_ >= 0) std::fputs("\r\033[K", stderr);
        shown_ = -1;
    }

  private:
    bool enabled_;
    int shown_ = -1;
};

int run(const render_options& options) {
    force_variant(options.engine);
    sound_reader input(options.input);
    check_input(input);
    sound_writer output(options.output, input.sample_rate(), input.channels());

    // Only worth drawing when the run takes a noticeable moment.
    const bool long_input = input.frames() > 5ull * input.sample_rate();
    progress_bar bar(!options.quiet && long_input && ::isatty(STDERR_FILENO));
    render_file(options, input, output,
                [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); });
    bar.clear();
    output.commit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    render_options options;
    try {
        options = parse_options(args);
    } catch (const usage_error& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", program, e.what(), program);
        return 2;
    }
    if (options.help) {
        std::fputs(help_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n%s\nengine: %s\n", program, program_version(),
                    sndfile_version().c_str(),
                    engine_description(options.engine, options.latency).c_str());
        return 0;
    }

    remove_temporary_file_on_signals();
    try {
        return run(options);
    } catch (const file_error& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    }
    return 1;
}
