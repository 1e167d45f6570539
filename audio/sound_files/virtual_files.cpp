#include "audio/sound_files/sndfile_parts.h"

#include <cstdio>

// libsndfile's virtual I/O for a file held in memory, one read from a pipe
// as it arrives and one written into a pipe.
namespace squeakbox::sound_files {
namespace {

sf_count_t memory_length(void* user) {
    return static_cast<sf_count_t>(static_cast<memory_file*>(user)->bytes.size());
}

sf_count_t memory_seek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<memory_file*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = file->position;
    if (whence == SEEK_END) base = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t target = base + offset;
    if (target < 0) return -1;
    file->position = target;
    return target;
}

sf_count_t memory_read(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<memory_file*>(user);
    const auto size = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t n = std::clamp<sf_count_t>(size - file->position, 0, count);
    if (n > 0)
        std::memcpy(destination, file->bytes.data() + file->position, static_cast<std::size_t>(n));
    file->position += n;
    return n;
}

sf_count_t memory_write(const void* source, sf_count_t count, void* user) {
    auto* file = static_cast<memory_file*>(user);
    const auto end = static_cast<std::size_t>(file->position + count);
    if (end > file->bytes.size()) file->bytes.resize(end);
    std::memcpy(file->bytes.data() + file->position, source, static_cast<std::size_t>(count));
    file->position += count;
    return count;
}

sf_count_t memory_tell(void* user) {
    return static_cast<memory_file*>(user)->position;
}

sf_count_t stream_length(void*) {
    return SF_COUNT_MAX;  // unknown until the stream ends
}

sf_count_t stream_seek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<stream_file*>(user);
    sf_count_t target = 0;
    if (whence == SEEK_SET) {
        target = offset;
    } else if (whence != SEEK_CUR || __builtin_add_overflow(file->position, offset, &target)) {
        file->refused_seek = true;  // the end of a stream is not known until it comes
        return -1;
    }
    if (target < file->start) {
        file->refused_seek = true;
        return -1;
    }
    file->beyond_reach = false;
    if (target > file->end()) {
        if (file->opening && target > file->end() + open_reach) {
            file->beyond_reach = true;
            file->skipped = true;
        } else {
            file->fill(target, target);
        }
    }
    file->position = target;
    return target;
}

sf_count_t stream_read(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<stream_file*>(user);
    if (file->beyond_reach || count > SF_COUNT_MAX - file->position) return 0;
    file->fill(file->position + count, file->position);
    const sf_count_t n = std::clamp<sf_count_t>(file->end() - file->position, 0, count);
    if (n > 0)
        std::memcpy(destination, file->window.data() + (file->position - file->start),
                    static_cast<std::size_t>(n));
    file->position += n;
    if (n < count && file->ended) file->starved = true;
    return n;
}

sf_count_t stream_write(const void*, sf_count_t, void*) {
    return -1;
}

sf_count_t stream_tell(void* user) {
    return static_cast<stream_file*>(user)->position;
}

sf_count_t sink_length(void* user) {
    const auto* sink = static_cast<stream_sink*>(user);
    return std::max(sink->sent, static_cast<sf_count_t>(sink->head.size()));
}

sf_count_t sink_seek(sf_count_t offset, int whence, void* user) {
    auto* sink = static_cast<stream_sink*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = sink->position;
    if (whence == SEEK_END) base = sink_length(user);
    if (base + offset < 0) return -1;
    sink->position = base + offset;
    return sink->position;
}

sf_count_t sink_read(void*, sf_count_t, void*) {
    return 0;
}

sf_count_t sink_write(const void* source, sf_count_t count, void* user) {
    auto* sink = static_cast<stream_sink*>(user);
    const auto* data = static_cast<const unsigned char*>(source);
    if (sink->holding) {
        const auto end = static_cast<std::size_t>(sink->position + count);
        if (end > sink->head.size()) sink->head.resize(end);
        std::memcpy(sink->head.data() + sink->position, data, static_cast<std::size_t>(count));
        sink->position += count;
        return count;
    }
    // What was passed on is gone; a rewrite of it is dropped.
    const sf_count_t dropped = std::clamp<sf_count_t>(sink->sent - sink->position, 0, count);
    sink->position += dropped;
    if (dropped == count) return count;
    if (sink->position != sink->sent) {
        sink->error = ESPIPE;
        return -1;
    }
    if (!sink->send(data + dropped, static_cast<std::size_t>(count - dropped))) return -1;
    sink->position = sink->sent;
    return count;
}

sf_count_t sink_tell(void* user) {
    return static_cast<stream_sink*>(user)->position;
}

}  // namespace

SF_VIRTUAL_IO memory_io{memory_length, memory_seek, memory_read, memory_write, memory_tell};
SF_VIRTUAL_IO stream_io{stream_length, stream_seek, stream_read, stream_write, stream_tell};
SF_VIRTUAL_IO sink_io{sink_length, sink_seek, sink_read, sink_write, sink_tell};

}  // namespace squeakbox::sound_files
