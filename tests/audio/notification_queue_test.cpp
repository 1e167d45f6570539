#include "audio/notification_queue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "audio/spsc_ring.h"
#include "device_test_support.h"

namespace squeakbox {
namespace {

using testing::buffer_set;
using testing::event_log;
using entry = event_log::entry;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

std::vector<std::int16_t> ramp(std::size_t from, std::size_t count) {
    std::vector<std::int16_t> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = testing::ramp_sample(from + i);
    return v;
}

template <std::size_t N>
void lend_all(device_queue& queue, buffer_set<N>& buffers) {
    for (auto& h : buffers.headers) {
        ASSERT_EQ(queue.prepare(h), mm_ok);
        ASSERT_EQ(queue.enqueue(h), mm_ok);
    }
}

struct hub_fixture : ::testing::Test {
    notification_hub hub;
    event_log log;
    std::shared_ptr<device_queue> make(device_direction direction) {
        auto q = std::make_shared<device_queue>(direction, log, hub.wakeup());
        hub.attach(q);
        return q;
    }
};

TEST_F(hub_fixture, CapturedFramesFillTheBuffersInOrderWhateverTheBlockSize) {
    auto q = make(device_direction::capture);
    buffer_set<3> buffers;
    lend_all(*q, buffers);
    EXPECT_FALSE(readable(hub.event_fd()));

    // 1536 frames in uneven pieces fill exactly the three 512-frame buffers.
    const auto signal = ramp(0, 1536);
    std::size_t at = 0;
    for (const std::size_t piece : {5u, 400u, 10u, 300u, 512u, 309u}) {
        EXPECT_EQ(q->capture(signal.data() + at, piece), piece);
        at += piece;
    }
    EXPECT_TRUE(readable(hub.event_fd()));
    EXPECT_EQ(q->stats().overruns, 0u);

    // Nothing queued: the next block is dropped and counted.
    EXPECT_EQ(q->capture(signal.data(), 512), 0u);
    EXPECT_EQ(q->stats().overruns, 1u);

    // Until delivered, the buffers still belong to the device.
    EXPECT_EQ(q->unprepare(buffers.headers[0]), mm_still_playing);
    hub.dispatch_pending();
    EXPECT_FALSE(readable(hub.event_fd()));
    ASSERT_EQ(log.entries.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log.entries[i].what, entry::capture);
        EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);
        EXPECT_EQ(log.entries[i].bytes, 1024u);
        EXPECT_EQ(0, std::memcmp(buffers.samples(i), signal.data() + i * 512, 1024));
        EXPECT_EQ(buffers.headers[i].flags & (header_in_queue | header_done), header_done);
        EXPECT_EQ(q->unprepare(buffers.headers[i]), mm_ok);
    }
}

TEST_F(hub_fixture, PlaybackTakesBuffersInOrderAndPlaysSilenceWhenStarved) {
    auto q = make(device_direction::playback);
    buffer_set<2> buffers;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto part = ramp(i * 512, 512);
        std::memcpy(buffers.data[i].data(), part.data(), 1024);
    }
    lend_all(*q, buffers);

    std::vector<std::int16_t> out(1536, 1234);
    EXPECT_EQ(q->play(out.data(), 700), 700u);
    EXPECT_EQ(q->play(out.data() + 700, 836), 324u);  // runs dry
    EXPECT_EQ(q->stats().underruns, 1u);
    const auto expected = ramp(0, 1024);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 1024, out.end(), [](std::int16_t s) { return s == 0; }));

    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].header, &buffers.headers[0]);
    EXPECT_EQ(log.entries[1].header, &buffers.headers[1]);
    EXPECT_EQ(log.entries[1].what, entry::playback);
}

TEST_F(hub_fixture, RefusesHeadersThatAreNotReadyOrAlreadyLent) {
    auto q = make(device_direction::capture);
    buffer_set<1> one;
    wave_header& h = one.headers[0];
    EXPECT_EQ(q->enqueue(h), mm_unprepared);
    wave_header empty{};
    EXPECT_EQ(q->prepare(empty), mm_invalid_param);
    ASSERT_EQ(q->prepare(h), mm_ok);
    ASSERT_EQ(q->enqueue(h), mm_ok);
    EXPECT_EQ(q->enqueue(h), mm_still_playing);
    EXPECT_EQ(q->unprepare(h), mm_still_playing);

    // A device holds at most max_buffers at once: one more is refused, not lost.
    std::vector<std::array<char, 4>> data(device_queue::max_buffers);
    std::vector<wave_header> many(device_queue::max_buffers);
    std::size_t accepted = 1;
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i].data = data[i].data();
        many[i].buffer_length = 4;
        q->prepare(many[i]);
        if (q->enqueue(many[i]) == mm_ok) ++accepted;
    }
    EXPECT_EQ(accepted, device_queue::max_buffers);
    EXPECT_EQ(many.back().flags & header_in_queue, 0u);

    q->close();
    EXPECT_EQ(q->enqueue(h), mm_invalid_handle);
    EXPECT_EQ(h.flags & header_in_queue, 0u);  // released by the close
}

TEST_F(hub_fixture, ReturnedBuffersFollowTheFinishedOnesAndKeepTheirPartialFill) {
    auto q = make(device_direction::capture);
    buffer_set<4> buffers;
    lend_all(*q, buffers);
    const auto signal = ramp(0, 512 + 100);
    q->capture(signal.data(), signal.size());  // one full, one with 100 frames
    q->return_queued();
    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 4u);
    const std::uint32_t bytes[] = {1024, 200, 0, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);
        EXPECT_EQ(log.entries[i].bytes, bytes[i]);
    }
    // The device starts afresh: the next buffer is filled from its start.
    ASSERT_EQ(q->enqueue(buffers.headers[0]), mm_ok);
    q->capture(signal.data(), 512);
    hub.dispatch_pending();
    EXPECT_EQ(log.entries.back().bytes, 1024u);
    EXPECT_EQ(buffers.samples(0)[0], signal[0]);
}

TEST_F(hub_fixture, AHandlerThatDispatchesAgainSeesEveryNotificationOnceInOrder) {
    auto q = make(device_direction::capture);
    buffer_set<6> buffers;
    lend_all(*q, buffers);
    int depth = 0;
    int deepest = 0;
    log.on_buffer = [&](wave_header*) {
        // A modal box opened by a handler runs the loop again.
        ++depth;
        deepest = std::max(deepest, depth);
        if (depth < 3) hub.dispatch_pending();
        --depth;
    };
    const auto signal = ramp(0, 6 * 512);
    q->capture(signal.data(), signal.size());
    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(log.entries[i].header, &buffers.headers[i]);
    EXPECT_EQ(deepest, 3);
}

TEST_F(hub_fixture, NothingIsDeliveredAfterCloseEvenFromInsideAHandler) {
    auto capture = make(device_direction::capture);
    auto playback = make(device_direction::playback);
    buffer_set<3> in;
    buffer_set<3> out;
    lend_all(*capture, in);
    lend_all(*playback, out);
    std::vector<std::int16_t> scratch(3 * 512);
    capture->capture(scratch.data(), scratch.size());
    playback->play(scratch.data(), scratch.size());
    log.on_buffer = [&](wave_header*) {
        // The first capture notification closes and drops the capture device.
        if (capture) {
            capture->close();
            capture.reset();
        }
    };
    hub.dispatch_pending();
    EXPECT_EQ(log.count(entry::capture), 1u);
    EXPECT_EQ(log.count(entry::playback), 3u);
    EXPECT_EQ(in.headers[2].flags & header_in_queue, 0u);
}

// A device whose producer "dies": the backend's part of the failure is to stop
// it and report, as a PortAudio stream does when its microphone is unplugged.
struct dying_queue final : device_queue {
    using device_queue::device_queue;
    int faults_handled = 0;
    void handle_fault() override {
        ++faults_handled;
        report_failure("unplugged");
    }
};

TEST_F(hub_fixture, AFailedDeviceGivesItsBuffersBackThenReportsOnce) {
    auto q = std::make_shared<dying_queue>(device_direction::capture, log, hub.wakeup());
    hub.attach(q);
    buffer_set<3> buffers;
    lend_all(*q, buffers);
    std::vector<std::int16_t> block(512, 7);
    q->capture(block.data(), block.size());
    std::thread watchdog([&] { q->raise_fault(); });
    watchdog.join();
    EXPECT_TRUE(readable(hub.event_fd()));
    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[0].bytes, 1024u);
    EXPECT_EQ(log.entries[1].header, &buffers.headers[1]);
    EXPECT_EQ(log.entries[2].header, &buffers.headers[2]);
    EXPECT_EQ(log.entries[3].what, entry::failed);
    EXPECT_EQ(log.failure, "unplugged");

    // Buffers lent afterwards stay until reset; the failure is not repeated.
    ASSERT_EQ(q->enqueue(buffers.headers[0]), mm_ok);
    q->raise_fault();
    hub.dispatch_pending();
    EXPECT_EQ(log.entries.size(), 4u);
    q->return_queued();
    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 5u);
    EXPECT_EQ(log.entries[4].header, &buffers.headers[0]);
}

TEST_F(hub_fixture, CaptureEndPadsThePartialBufferAndIsReportedOnce) {
    auto q = make(device_direction::capture);
    buffer_set<2> buffers;
    std::memset(buffers.data[0].data(), 0x55, 1024);
    lend_all(*q, buffers);
    const auto signal = ramp(0, 100);
    q->capture(signal.data(), signal.size());
    q->end_of_capture();
    q->end_of_capture();
    hub.dispatch_pending();
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].bytes, 1024u);
    EXPECT_EQ(buffers.samples(0)[99], signal[99]);
    EXPECT_EQ(buffers.samples(0)[100], 0);
    EXPECT_EQ(buffers.samples(0)[511], 0);
    EXPECT_EQ(log.entries[1].what, entry::ended);
}

TEST_F(hub_fixture, AProducerThreadAndTheLoopPassEveryFrameInOrder) {
    auto q = make(device_direction::capture);
    buffer_set<10> buffers;
    lend_all(*q, buffers);
    constexpr std::size_t blocks = 4000;
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<std::int16_t> block(512);
        for (std::size_t b = 0; b < blocks && !stop; ++b) {
            for (std::size_t i = 0; i < 512; ++i) block[i] = testing::ramp_sample(b * 512 + i);
            // Waits for a buffer, as a sound card would not: no overrun here.
            while (q->front_room() == 0 && !stop) std::this_thread::yield();
            q->capture(block.data(), 512);
        }
    });
    std::size_t received = 0;
    bool in_order = true;
    log.on_buffer = [&](wave_header* h) {
        const auto* s = reinterpret_cast<const std::int16_t*>(h->data);
        for (std::size_t i = 0; i < 512; ++i)
            in_order = in_order && s[i] == testing::ramp_sample(received * 512 + i);
        ++received;
        ASSERT_EQ(q->enqueue(*h), mm_ok);
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (received < blocks && std::chrono::steady_clock::now() < deadline) {
        pollfd p{hub.event_fd(), POLLIN, 0};
        ::poll(&p, 1, 20);
        hub.dispatch_pending();
    }
    stop = true;
    producer.join();
    EXPECT_EQ(received, blocks);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(q->stats().overruns, 0u);
}

// The frames and records that go through a ring in bulk (the sound server's
// streams, the recorder's queue): what is written comes out whole and in
// order however the runs wrap round the end, a full ring takes what fits,
// silence stands in for missing frames, and a record put in parts shows only
// once it is published.
template <typename Ring>
void check_bulk_runs(Ring& ring) {
    // Everything from `from` places behind the oldest on, piece by piece.
    const auto contents = [&ring](std::size_t from) {
        std::vector<int> seen;
        for (std::size_t at = from;;) {
            const auto [run, count] = ring.readable(at);
            if (count == 0) return seen;
            seen.insert(seen.end(), run, run + count);
            at += count;
        }
    };
    struct step {
        std::size_t written;  // offered
        std::size_t stored;   // taken, with the ring of eight
        std::size_t consumed;
        bool silence;
    };
    const step steps[] = {
        {5, 5, 3, false}, {6, 6, 0, false},  // the second run wraps round the end
        {4, 0, 0, false},                    // full: nothing fits
        {1, 0, 6, true},  {9, 6, 7, true},   // room for six only; silence wraps too
        {3, 3, 1, false}, {2, 2, 5, false},
    };
    std::deque<int> model;
    int next = 1;
    for (const step& s : steps) {
        std::vector<int> values(s.written);
        for (int& v : values) v = next++;
        EXPECT_EQ(ring.write(s.silence ? nullptr : values.data(), s.written), s.stored);
        for (std::size_t i = 0; i < s.stored; ++i) model.push_back(s.silence ? 0 : values[i]);
        ASSERT_EQ(ring.size(), model.size());
        EXPECT_EQ(contents(0), std::vector<int>(model.begin(), model.end()));
        ring.consume(s.consumed);
        model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(s.consumed));
    }

    // A record of a length and its body, put in place body first, round the
    // end of the ring; the consumer sees none of it before it is published.
    ASSERT_TRUE(model.empty());
    const int length = 3;
    const int body[] = {7, 8, 9};
    ring.put(1, body, 3);
    ring.put(0, &length, 1);
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.readable().second, 0u);
    ring.publish(4);
    EXPECT_EQ(contents(0), (std::vector<int>{3, 7, 8, 9}));
    EXPECT_EQ(contents(1), (std::vector<int>{7, 8, 9}));
    EXPECT_EQ(ring.room(), 4u);

    ring.clear();
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.readable().second, 0u);
    EXPECT_EQ(ring.room(), 8u);
}

TEST(SpscRing, BulkRunsPassWholeAndInOrderWhereverTheyWrap) {
    spsc_ring<int> sized(8);
    check_bulk_runs(sized);
    spsc_ring<int, 8> fixed;
    check_bulk_runs(fixed);
}

TEST(NotificationWakeup, NoWakeUpIsLostWhenTheProducerSignalsWhileTheLoopClears) {
    // A producer announces things at its own irregular pace; the loop waits
    // on the descriptor alone, with no timeout to rescue it, and takes what
    // has been announced after clearing. A signal that lands while the loop
    // clears the descriptor must not leave it unable to wake for the next
    // one: a lost wake-up leaves the loop asleep until some other event comes
    // along (the window's safety timer, a quarter of a second later), and the
    // sound stalls meanwhile.
    notification_wakeup wakeup;
    std::atomic<std::uint64_t> announced{0};
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(0, 400);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        while (std::chrono::steady_clock::now() < until) {
            announced.fetch_add(1);
            wakeup.signal();
            for (int spin = pause(random); spin > 0; --spin)
                std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        done = true;
    });
    std::uint64_t seen = 0;
    std::uint64_t rounds = 0;
    bool lost = false;
    while (!(done && seen == announced.load())) {
        pollfd p{wakeup.fd(), POLLIN, 0};
        if (::poll(&p, 1, 300) == 0) {
            lost = announced.load() > seen;
            break;
        }
        wakeup.clear();
        seen = announced.load();
        ++rounds;
    }
    producer.join();
    EXPECT_FALSE(lost) << "a wake-up was lost after " << rounds << " rounds";
    EXPECT_GT(rounds, 1000u);
}

}  // namespace
}  // namespace squeakbox
