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
    std::string name;
};

// The devices of one direction that support the stream's format, in device
// order. A device whose capabilities cannot be read is left out.
[[nodiscard]] std::vector<listed_device> list_devices(sound_system& devices,
                                                      device_list_kind direction);

struct device_match {
    int index = -1;     // the entry in the list; -1 when none was found
    std::string error;  // why not, for the user
};

// The entry called `name`: an exact name first, otherwise the one entry whose
// name contains it regardless of case (device names are long and carry
// hardware details). Several such entries are an error naming them.
[[nodiscard]] device_match find_device(const std::vector<listed_device>& list,
                                       std::string_view name);

}  // namespace squeakbox
