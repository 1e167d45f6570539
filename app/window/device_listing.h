#pragma once
// Which sound devices the window offers: those that can stream 44.1 kHz mono
// 16-bit. A device's place in the list and its number can differ, so every
// entry carries the number that the stream opens.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio/sound_device.h"

namespace squeakbox {

enum class device_list_kind { capture, playback };

struct listed_device {
    std::uint32_t number;
    std::string name;         // what the list shows
    std::string id = {};      // the sound server's name for it, if it has one
    bool is_default = false;  // what "default" and "pulse" mean
};

// The devices of one direction that support the stream's format, in device
// order. A device whose capabilities cannot be read is left out.
[[nodiscard]] std::vector<listed_device> list_devices(sound_system& devices,
                                                      device_list_kind direction);

struct device_match {
    int index = -1;     // the entry in the list; -1 when none was found
    std::string error;  // why not, for the user
};

// The entry called `name`: an exact shown name or server name first; then,
// for "default" and "pulse", the server's default device; otherwise the one
// entry whose shown or server name contains it regardless of case (device
// names are long and carry hardware details). Several such entries are an
// error naming them.
[[nodiscard]] device_match find_device(const std::vector<listed_device>& list,
                                       std::string_view name);

}  // namespace squeakbox
