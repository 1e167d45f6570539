#include "audio/alsa_mixer_mute.h"

#include <alsa/asoundlib.h>

#include <memory>

#include "audio/quiet_stderr.h"

namespace squeakbox {
namespace {

struct mixer_closer {
    void operator()(snd_mixer_t* mixer) const noexcept { snd_mixer_close(mixer); }
};
using mixer_ptr = std::unique_ptr<snd_mixer_t, mixer_closer>;

// The mixer of one card, open for a single access. A machine without the card
// or the control says so through ALSA's messages, which are kept quiet while
// the mixer is open: the mute is simply left alone then.
struct open_mixer {
    const quiet_stderr quiet{quiet_scope::alsa};
    mixer_ptr mixer;
    snd_mixer_elem_t* mic_switch = nullptr;

    explicit open_mixer(const std::string& card) {
        snd_mixer_t* raw = nullptr;
        if (snd_mixer_open(&raw, 0) < 0) return;
        mixer.reset(raw);
        if (snd_mixer_attach(raw, card.c_str()) < 0 ||
            snd_mixer_selem_register(raw, nullptr, nullptr) < 0 || snd_mixer_load(raw) < 0) {
            mixer.reset();
            return;
        }
        for (snd_mixer_elem_t* elem = snd_mixer_first_elem(raw); elem != nullptr;
             elem = snd_mixer_elem_next(elem)) {
            const std::string name = snd_mixer_selem_get_name(elem);
            if (name.find("Mic") != std::string::npos && snd_mixer_selem_is_active(elem) &&
                snd_mixer_selem_has_playback_switch(elem)) {
                mic_switch = elem;
                return;
            }
        }
    }
};

bool first_channel(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t& channel) {
    for (int c = SND_MIXER_SCHN_FRONT_LEFT; c <= SND_MIXER_SCHN_LAST; ++c) {
        const auto id = static_cast<snd_mixer_selem_channel_id_t>(c);
        if (snd_mixer_selem_has_playback_channel(elem, id)) {
            channel = id;
            return true;
        }
    }
    return false;
}

}  // namespace

bool alsa_mixer_mute::read_mute(std::uint32_t& value, std::uint32_t& maximum) {
    const open_mixer opened(card_);
    if (opened.mic_switch == nullptr) return false;
    snd_mixer_selem_channel_id_t channel{};
    int on = 0;
    if (!first_channel(opened.mic_switch, channel) ||
        snd_mixer_selem_get_playback_switch(opened.mic_switch, channel, &on) < 0)
        return false;
    value = on != 0 ? 0 : 1;
    maximum = 1;
    return true;
}

void alsa_mixer_mute::write_mute(std::uint32_t value) {
    const open_mixer opened(card_);
    if (opened.mic_switch == nullptr) return;
    // One value for all channels, as the mute control has.
    snd_mixer_selem_set_playback_switch_all(opened.mic_switch, value != 0 ? 0 : 1);
}

std::string alsa_mixer_mute::control_name() {
    const open_mixer opened(card_);
    return opened.mic_switch == nullptr ? std::string()
                                        : snd_mixer_selem_get_name(opened.mic_switch);
}

}  // namespace squeakbox
