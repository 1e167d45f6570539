#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "audio/devices/pulse/pulse_internal.h"

namespace squeakbox {
namespace {

constexpr auto module_wait = std::chrono::seconds(3);
constexpr auto unload_wait = std::chrono::seconds(1);

// The mark on the server objects of a virtual microphone: the process that
// made it. A mark whose process is gone is a leftover of a killed run.
constexpr const char* owner_key = "squeakbox.virtual_mic";

bool process_is_squeakbox(long pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    // Without /proc (another system) a living process is given the benefit.
    return !comm || name.rfind("squeakbox", 0) == 0;
}

std::string owner_mark() {
    return std::string(owner_key) + "=" + std::to_string(::getpid());
}

}  // namespace

void pulse_sound_system::impl::remove_leftovers() {
    struct module {
        std::uint32_t index;
        std::string argument;
    };
    std::vector<module> modules;
    finish(
        pa_context_get_module_info_list(
            context,
            [](pa_context*, const pa_module_info* info, int eol, void* user) {
                if (eol != 0 || info == nullptr || info->argument == nullptr) return;
                static_cast<std::vector<module>*>(user)->push_back({info->index, info->argument});
            },
            &modules),
        connect_wait);
    // Unloaded newest first: the source before the sink it listens to.
    std::reverse(modules.begin(), modules.end());
    const std::string key = std::string(owner_key) + "=";
    for (const module& m : modules) {
        const auto at = m.argument.find(key);
        if (at == std::string::npos) continue;
        const long pid = std::strtol(m.argument.c_str() + at + key.size(), nullptr, 10);
        if (process_is_squeakbox(pid)) continue;  // another running Squeakbox's
        finish(pa_context_unload_module(context, m.index, nullptr, nullptr), unload_wait);
    }
}

std::uint32_t pulse_sound_system::impl::load_module(const char* name,
                                                    const std::string& arguments) {
    std::uint32_t index = PA_INVALID_INDEX;
    const bool answered = finish(pa_context_load_module(
                                     context, name, arguments.c_str(),
                                     [](pa_context*, std::uint32_t idx, void* user) {
                                         *static_cast<std::uint32_t*>(user) = idx;
                                     },
                                     &index),
                                 module_wait);
    return answered ? index : PA_INVALID_INDEX;
}

bool pulse_sound_system::impl::load_virtual_mic() {
    const std::string mark = owner_mark();
    const std::string sink_arguments =
        std::string("sink_name=") + virtual_sink_name +
        " format=s16le rate=44100 channels=1 channel_map=mono"
        " sink_properties=\"device.description='Squeakbox-Mikrofon (Zuleitung)' " +
        mark + "\"";
    const std::string source_arguments =
        std::string("source_name=") + virtual_mic_source + " master=" + virtual_sink_name +
        ".monitor channels=1 channel_map=mono" +
        " source_properties=\"device.description=" + virtual_mic_description +
        " device.icon_name=audio-input-microphone " + mark + "\"";
    for (const auto& [name, arguments] :
         {std::pair<const char*, const std::string&>{"module-null-sink", sink_arguments},
          std::pair<const char*, const std::string&>{"module-remap-source", source_arguments}}) {
        const std::uint32_t index = load_module(name, arguments);
        if (index == PA_INVALID_INDEX) {
            unload_virtual_mic();
            return false;
        }
        virtual_modules.push_back(index);
        // A null sink runs on a timer of its own and, while nobody plays into
        // it, renders far ahead of the clock (up to its largest latency, two
        // seconds). A stream that connects then finds the sink's clock ahead:
        // whatever it plays waits until the clock has caught up, and that wait
        // stays in the stream as delay for the whole run, a third of a second
        // and more. Held suspended until our stream is there, the sink starts
        // its clock afresh at the latency our stream asks for.
        if (virtual_modules.size() == 1)
            finish(pa_context_suspend_sink_by_name(context, virtual_sink_name, 1, nullptr, nullptr),
                   module_wait);
    }
    if (hear_yourself) load_loopback();
    return true;
}

void pulse_sound_system::impl::wake_virtual_mic() {
    finish(pa_context_suspend_sink_by_name(context, virtual_sink_name, 0, nullptr, nullptr),
           module_wait);
}

// Hearing yourself takes a copy of the Squeakbox microphone to the desktop's
// own output, as a loopback of the server's: the call side keeps its road as
// it is, and no second engine runs. It follows the server's default output,
// so a headset plugged in meanwhile gets it.
void pulse_sound_system::impl::load_loopback() {
    if (loopback_module != PA_INVALID_INDEX || virtual_modules.empty()) return;
    const std::string mark = owner_mark();
    const std::string arguments =
        std::string("source=") + virtual_mic_source +
        " latency_msec=30 sink_input_properties=\"media.name='Squeakbox: hear yourself' " + mark +
        "\" source_output_properties=\"media.name='Squeakbox: hear yourself' " + mark + "\"";
    loopback_module = load_module("module-loopback", arguments);
}

void pulse_sound_system::impl::unload_loopback() {
    const std::uint32_t index = std::exchange(loopback_module, PA_INVALID_INDEX);
    if (index != PA_INVALID_INDEX && context_good())
        finish(pa_context_unload_module(context, index, nullptr, nullptr), unload_wait);
}

void pulse_sound_system::impl::unload_virtual_mic() {
    // The loopback listens to the microphone: it goes first.
    unload_loopback();
    while (!virtual_modules.empty()) {
        const std::uint32_t index = virtual_modules.back();
        virtual_modules.pop_back();
        if (context_good())
            finish(pa_context_unload_module(context, index, nullptr, nullptr), unload_wait);
    }
}

bool pulse_sound_system::set_hear_yourself(bool on) {
    if (!ready()) {
        impl_.hear_yourself = on;
        return false;
    }
    const std::lock_guard repairing(impl_.repair);
    const loop_lock lock(impl_.loop);
    impl_.hear_yourself = on;
    if (!on) {
        impl_.unload_loopback();
        return true;
    }
    if (impl_.virtual_modules.empty()) return true;  // done when the microphone is made
    impl_.load_loopback();
    return impl_.loopback_module != PA_INVALID_INDEX;
}

bool pulse_sound_system::hearing_yourself() const {
    return impl_.loopback_module != PA_INVALID_INDEX;
}

}  // namespace squeakbox
