#pragma once
// What the program's and the renderer's command lines share: walking the
// arguments with both "--name value" and "--name=value", whole numbers,
// named choices, and the engine variant from an option or the environment.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "engine/pitch_shifter.h"

namespace squeakbox::options {

// A mistake on the command line; the message names the option and the reason.
class usage_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One decimal integer from the start of `text`, read as "%d" reads it:
// leading white space is skipped, one sign is accepted, digits follow. Values
// beyond the range of long long saturate. `length` is what was read.
struct scanned_integer {
    long long value = 0;
    std::size_t length = 0;
};
[[nodiscard]] std::optional<scanned_integer> scan_integer(std::string_view text) noexcept;

// The whole of `text` as one number (a sign allowed, saturating), else
// usage_error "OPTION needs a whole number, not 'TEXT'".
[[nodiscard]] long long whole_number(std::string_view text, std::string_view option);

// A whole number from `low` to `high`, else usage_error.
template <typename Int>
[[nodiscard]] Int number_in_range(std::string_view text, std::string_view option, Int low,
                                  Int high) {
    const long long value = whole_number(text, option);
    if (std::cmp_less(value, low) || std::cmp_greater(value, high))
        throw usage_error(std::string(option) + " must be between " + std::to_string(low) +
                          " and " + std::to_string(high) + ", not " + std::string(text));
    return static_cast<Int>(value);
}

// The value that `value` names among `choices`, else usage_error "OPTION must
// be a, b or c, not 'VALUE'".
template <typename T>
[[nodiscard]] T named_choice(std::string_view option, std::string_view value,
                             std::initializer_list<std::pair<std::string_view, T>> choices) {
    std::string names;
    std::size_t left = choices.size();
    for (const auto& [name, result] : choices) {
        if (name == value) return result;
        names += name;
        --left;
        names += left > 1 ? ", " : left == 1 ? " or " : "";
    }
    throw usage_error(std::string(option) + " must be " + names + ", not '" + std::string(value) +
                      "'");
}

// --latency's value: "low" or "normal".
[[nodiscard]] latency_mode latency_named(std::string_view value);

// --voice's value: "squeak" or "natural".
[[nodiscard]] voice_kind voice_named(std::string_view value);
// --timbre's value: a whole number of semitones within the timbre's range.
[[nodiscard]] std::int32_t timbre_named(std::string_view value);

// The environment variable that names the engine variant when no option does.
inline constexpr const char* engine_variable = "SQUEAKBOX_ENGINE";

// The variant `value` names ("auto" or a variant's name), given by `source`
// (an option or the environment variable). usage_error when the name is
// unknown or this processor cannot run the variant: a request is never
// silently changed.
[[nodiscard]] engine_variant engine_variant_named(std::string_view source, std::string_view value);

// The variant of the run: the option's if one was given, else the
// environment variable's if it is set and not empty, else the best this
// processor runs. Throws usage_error for a bad name in the variable.
[[nodiscard]] engine_variant choose_engine_variant(std::optional<engine_variant> from_option);

// Walks the arguments after the program name. After "--" every argument is an
// operand; so is "-", and, with `numbers_are_operands`, a dash followed by a
// digit or a space (a negative number).
class argument_scanner {
  public:
    argument_scanner(std::span<const std::string_view> args, bool numbers_are_operands) noexcept
        : args_(args), numbers_are_operands_(numbers_are_operands) {}

    // Steps to the next argument; false when none is left.
    bool next() noexcept;
    [[nodiscard]] bool is_option() const noexcept { return option_; }
    // The whole argument, as given.
    [[nodiscard]] std::string_view arg() const noexcept { return arg_; }
    // The option's name, without an "=value" part.
    [[nodiscard]] std::string_view name() const noexcept { return name_; }
    // The option's value: the "=value" part, else the next argument (whatever
    // it looks like). usage_error "NAME needs a value" at the end.
    [[nodiscard]] std::string_view value();
    // Whether value() would find one.
    [[nodiscard]] bool has_value() const noexcept {
        return inline_value_.has_value() || next_ < args_.size();
    }
    // usage_error "NAME takes no value" for "--flag=value".
    void no_value() const;
    [[noreturn]] void unknown() const;

  private:
    std::span<const std::string_view> args_;
    bool numbers_are_operands_;
    std::size_t next_ = 0;
    bool options_ended_ = false;
    bool option_ = false;
    std::string_view arg_;
    std::string_view name_;
    std::optional<std::string_view> inline_value_;
};

}  // namespace squeakbox::options
