// The plain files of the file devices, opened by name.
#include <sndfile.h>

#include "audio/sound_files/sound_file.h"

namespace squeakbox {

sound_file sound_file::open_for_reading(const std::string& path) {
    sound_file opened;
    SF_INFO info{};
    opened.handle_.reset(sf_open(path.c_str(), SFM_READ, &info));
    opened.layout_ = {info.samplerate, info.channels, info.frames};
    return opened;
}

sound_file sound_file::create_wav(const std::string& path, int sample_rate, int channels) {
    sound_file created;
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    created.handle_.reset(sf_open(path.c_str(), SFM_WRITE, &info));
    if (created) sf_command(created.handle_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    created.layout_ = {sample_rate, channels, 0};
    return created;
}

void sound_file::closer::operator()(sf_private_tag* handle) const noexcept {
    sf_close(handle);
}

std::int64_t sound_file::read(std::int16_t* samples, std::int64_t frames) noexcept {
    return sf_readf_short(handle_.get(), samples, frames);
}

std::int64_t sound_file::write(const std::int16_t* samples, std::int64_t frames) noexcept {
    return sf_writef_short(handle_.get(), samples, frames);
}

std::string sound_file::error() const {
    return sf_strerror(handle_.get());
}

std::string sndfile_version() {
    return sf_version_string();
}

}  // namespace squeakbox
