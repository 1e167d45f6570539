#include "options/option_scan.h"

#include <climits>
#include <cstdlib>

namespace squeakbox::options {

namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<scanned_integer> scan_integer(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size() || !is_digit(text[i])) return std::nullopt;
    // Accumulate towards the sign so LLONG_MIN is reachable, and stop growing
    // at the limit instead of overflowing.
    long long value = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        const int digit = text[i] - '0';
        if (negative) {
            value = value < (LLONG_MIN + digit) / 10 ? LLONG_MIN : value * 10 - digit;
        } else {
            value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
        }
    }
    return scanned_integer{value, i};
}

long long whole_number(std::string_view text, std::string_view option) {
    const auto scanned = scan_integer(text);
    if (!scanned || is_space(text.front()) || scanned->length != text.size())
        throw usage_error(std::string(option) + " needs a whole number, not '" + std::string(text) +
                          "'");
    return scanned->value;
}

latency_mode latency_named(std::string_view value) {
    return named_choice<latency_mode>(
        "--latency", value, {{"low", latency_mode::low}, {"normal", latency_mode::normal}});
}

voice_kind voice_named(std::string_view value) {
    return named_choice<voice_kind>(
        "--voice", value, {{"squeak", voice_kind::squeak}, {"natural", voice_kind::natural}});
}

std::int32_t timbre_named(std::string_view value) {
    const long long semitones = whole_number(value, "--timbre");
    if (semitones < -pitch_shifter::max_timbre_semitones ||
        semitones > pitch_shifter::max_timbre_semitones)
        throw usage_error("--timbre: " + pitch_shifter::timbre_out_of_range_message(semitones));
    return static_cast<std::int32_t>(semitones);
}

engine_variant engine_variant_named(std::string_view source, std::string_view value) {
    const auto variant = parse_variant(value);
    if (!variant)
        throw usage_error(std::string(source) + " must be " + variant_names() + ", not '" +
                          std::string(value) + "'");
    if (!processor_runs(*variant))
        throw usage_error(std::string(source) + " " + std::string(value) +
                          ": this processor (or this build) cannot run the " +
                          variant_name(*variant) + " engine variant");
    return *variant;
}

engine_variant choose_engine_variant(std::optional<engine_variant> from_option) {
    if (from_option) return *from_option;
    const char* named = std::getenv(engine_variable);
    if (named != nullptr && *named != '\0') return engine_variant_named(engine_variable, named);
    return best_variant();
}

bool argument_scanner::next() noexcept {
    while (next_ < args_.size()) {
        arg_ = args_[next_++];
        name_ = arg_;
        inline_value_.reset();
        option_ = !options_ended_ && arg_.size() >= 2 && arg_[0] == '-' &&
                  !(numbers_are_operands_ && (is_digit(arg_[1]) || is_space(arg_[1])));
        if (option_ && arg_ == "--") {
            options_ended_ = true;
            continue;
        }
        if (const std::size_t eq = arg_.find('='); option_ && eq != std::string_view::npos) {
            name_ = arg_.substr(0, eq);
            inline_value_ = arg_.substr(eq + 1);
        }
        return true;
    }
    return false;
}

std::string_view argument_scanner::value() {
    if (inline_value_) return *inline_value_;
    if (next_ >= args_.size()) throw usage_error(std::string(name_) + " needs a value");
    return args_[next_++];
}

void argument_scanner::no_value() const {
    if (inline_value_) throw usage_error(std::string(name_) + " takes no value");
}

void argument_scanner::unknown() const {
    throw usage_error("unknown option '" + std::string(arg_) + "'");
}

}  // namespace squeakbox::options
