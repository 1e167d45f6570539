#pragma once
// The choices that stay from one run to the next: the devices (by the sound
// server's name for them, which survives renumbering), the pitch, the latency
// mode. A small INI file of our own in the user's configuration folder,
// $XDG_CONFIG_HOME/squeakbox/settings.ini (~/.config without it).
//
// A settings file is a convenience, never a reason not to start: one that
// cannot be read or makes no sense gives the defaults and one line for the
// user, and the next change rewrites it whole. It is written to a file
// beside it and renamed over it, so a crash or a full disk leaves the old
// file or the new one, never half of one.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace squeakbox {

struct saved_settings {
    std::string input_device;  // the server's name for it; empty: none chosen
    std::string output_device;
    std::optional<int> pitch_semitones;
    std::optional<bool> low_latency;
    std::optional<bool> close_to_tray;
    std::optional<bool> natural_voice;
    std::optional<int> timbre_semitones;
    std::optional<bool> hear_yourself;

    bool operator==(const saved_settings&) const = default;
};

// $XDG_CONFIG_HOME/squeakbox/settings.ini, or ~/.config/...; empty when
// neither names a folder.
[[nodiscard]] std::filesystem::path settings_path();

// The file's text as settings. Empty result: fine; otherwise what is wrong
// with it, and `into` is left at the defaults.
[[nodiscard]] std::string parse_settings(std::string_view text, saved_settings& into);
[[nodiscard]] std::string format_settings(const saved_settings& settings);

struct settings_read {
    saved_settings settings;
    std::string problem;  // non-empty: the file was unusable and is ignored
};
// A missing file is no problem: it is the first run.
[[nodiscard]] settings_read read_settings(const std::filesystem::path& file);
// Write-then-rename, the folder made when missing. False with `reason`.
[[nodiscard]] bool write_settings(const std::filesystem::path& file, const saved_settings& settings,
                                  std::string& reason);
// Forgets the settings. A file that is not there is forgotten already.
[[nodiscard]] bool remove_settings(const std::filesystem::path& file, std::string& reason);

// The settings of this run: loaded once, written whole on every change. A
// failed write is told once a run; the run goes on without them.
class settings_store {
  public:
    using reporter = std::function<void(const std::string& line)>;
    settings_store(std::filesystem::path file, saved_settings loaded, reporter report)
        : file_(std::move(file)), values_(std::move(loaded)), report_(std::move(report)) {}

    [[nodiscard]] const saved_settings& values() const noexcept { return values_; }
    // Applies `change` and writes the file when something changed.
    void change(const std::function<void(saved_settings&)>& change);

  private:
    std::filesystem::path file_;
    saved_settings values_;
    reporter report_;
    bool write_failed_ = false;
};

}  // namespace squeakbox
