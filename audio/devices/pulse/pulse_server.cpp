#include <algorithm>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "audio/devices/pulse/pulse_internal.h"

namespace squeakbox {
namespace {

// A server that went away is looked for again this often, for this long,
// before the run gives up on it; one try waits this long for an answer.
constexpr auto reconnect_period = std::chrono::milliseconds(100);
constexpr auto reconnect_limit = std::chrono::seconds(30);
constexpr auto reconnect_try_wait = std::chrono::milliseconds(1000);
// How often the keeper looks at the server's news and fills gaps.
constexpr auto keeper_tick = std::chrono::milliseconds(10);

}  // namespace

void pulse_sound_system::impl::connect(std::chrono::milliseconds timeout) {
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr || pa_threaded_mainloop_start(loop) != 0) {
        problem = "cannot start libpulse's thread";
        return;
    }
    const loop_lock lock(loop);
    if (!connect_context(timeout, problem)) return;
    remove_leftovers();
    read_devices();
    keeper = std::thread([this] { keep(); });
}

// With the loop locked: a context of its own, ready, or `why` says why not.
// The one in use is replaced only by one that answers, so that every call
// finds a context, be it one whose server went away.
bool pulse_sound_system::impl::connect_context(std::chrono::milliseconds timeout,
                                               std::string& why) {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "squeakbox");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "squeakbox");
    pa_context* fresh =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Squeakbox", properties);
    pa_proplist_free(properties);
    if (fresh == nullptr) {
        why = "cannot start libpulse's thread";
        return false;
    }
    const auto fail = [&](std::string text) {
        why = std::move(text);
        pa_context_disconnect(fresh);
        pa_context_unref(fresh);
        return false;
    };
    // Looking for a server must not start one.
    if (pa_context_connect(fresh, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return fail(pa_strerror(pa_context_errno(fresh)));
    const auto settled = [fresh] {
        const pa_context_state_t state = pa_context_get_state(fresh);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    };
    if (!wait_until(settled, timeout)) return fail("the sound server does not answer");
    if (pa_context_get_state(fresh) != PA_CONTEXT_READY)
        return fail(pa_strerror(pa_context_errno(fresh)));
    drop_context();
    context = fresh;
    pa_context_set_state_callback(
        context,
        [](pa_context* c, void* user) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)))
                static_cast<impl*>(user)->server_lost.store(true, std::memory_order_release);
        },
        this);
    // Devices that come and go, and a new default.
    pa_context_set_subscribe_callback(
        context,
        [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* user) {
            static_cast<impl*>(user)->devices_changed.store(true, std::memory_order_release);
        },
        this);
    forget(pa_context_subscribe(context,
                                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                    PA_SUBSCRIPTION_MASK_SOURCE |
                                                                    PA_SUBSCRIPTION_MASK_SERVER),
                                nullptr, nullptr));
    server_lost.store(false, std::memory_order_release);
    return true;
}

// With the loop locked.
void pulse_sound_system::impl::drop_context() {
    if (context == nullptr) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

// With the loop locked: the server's devices and defaults, into `view`.
void pulse_sound_system::impl::read_view() {
    struct defaults {
        std::string source;
        std::string sink;
        std::string server;
    } found;
    finish(pa_context_get_server_info(
               context,
               [](pa_context*, const pa_server_info* info, void* user) {
                   auto* d = static_cast<defaults*>(user);
                   if (info == nullptr) return;
                   if (info->default_source_name != nullptr) d->source = info->default_source_name;
                   if (info->default_sink_name != nullptr) d->sink = info->default_sink_name;
                   d->server = std::string(info->server_name != nullptr ? info->server_name : "") +
                               " " + (info->server_version != nullptr ? info->server_version : "");
               },
               &found),
           connect_wait);
    server_view seen;
    seen.server = found.server;
    finish(pa_context_get_source_info_list(
               context,
               [](pa_context*, const pa_source_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        info->monitor_of_sink != PA_INVALID_INDEX, false});
               },
               &seen.sources),
           connect_wait);
    finish(pa_context_get_sink_info_list(
               context,
               [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                   if (eol != 0 || info == nullptr) return;
                   static_cast<std::vector<server_device>*>(user)->push_back(
                       {info->name, info->description != nullptr ? info->description : info->name,
                        false, false});
               },
               &seen.sinks),
           connect_wait);

    // "default" is the server's default, or where PULSE_SOURCE and PULSE_SINK
    // send a program's sound, as they always have.
    const auto chosen_default = [](const std::vector<server_device>& list, const char* variable,
                                   const std::string& server_default) {
        const char* wanted = std::getenv(variable);
        if (wanted != nullptr &&
            std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.name == wanted; }))
            return std::string(wanted);
        return server_default;
    };
    seen.default_source = chosen_default(seen.sources, "PULSE_SOURCE", found.source);
    seen.default_sink = chosen_default(seen.sinks, "PULSE_SINK", found.sink);
    for (auto& d : seen.sources) d.is_default = d.name == seen.default_source;
    for (auto& d : seen.sinks) d.is_default = d.name == seen.default_sink;
    view = std::move(seen);
    ++view_generation;
}

void pulse_sound_system::impl::read_devices() {
    read_view();
    server = view.server;
    listed_generation = view_generation;
    list_in_order(view, sources, sinks);
}

void pulse_sound_system::impl::list_in_order(const server_view& from,
                                             std::vector<server_device>& to_sources,
                                             std::vector<server_device>& to_sinks) {
    std::vector<server_device> all_sources = from.sources;
    std::vector<server_device> all_sinks = from.sinks;
    to_sources.clear();
    to_sinks.clear();
    // The default first, the microphones, then the monitors of outputs.
    const auto take = [](std::vector<server_device>& from, std::vector<server_device>& to,
                         auto&& wanted) {
        for (auto& d : from)
            if (!d.name.empty() && wanted(d)) {
                to.push_back(std::move(d));
                d.name.clear();
            }
    };
    take(all_sources, to_sources, [](const server_device& d) { return d.is_default; });
    take(all_sources, to_sources, [](const server_device& d) { return !d.is_monitor; });
    take(all_sources, to_sources, [](const server_device&) { return true; });
    take(all_sinks, to_sinks, [](const server_device& d) { return d.is_default; });
    take(all_sinks, to_sinks, [](const server_device&) { return true; });
}

namespace {

// Where a stream belongs, by what the server has now: the chosen device
// while it is there (or the default, for one that follows it); else the
// default of its kind, but never a monitor (the desktop's own sound would
// go into the call) nor the Squeakbox microphone itself; empty when nothing
// fits.
std::string place_for(const server_view& view, device_direction direction,
                      const std::string& wanted, bool follows_default) {
    const bool capture = direction == device_direction::capture;
    const std::vector<server_device>& list = capture ? view.sources : view.sinks;
    const std::string& by_default = capture ? view.default_source : view.default_sink;
    const auto present = [&](const std::string& name) {
        return !name.empty() &&
               std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.name == name; });
    };
    const std::string& first = follows_default ? by_default : wanted;
    if (present(first)) return first;
    const auto fits = [](const server_device& d) {
        return !d.is_monitor && d.name != pulse_sound_system::virtual_mic_source &&
               d.name != virtual_sink_name;
    };
    for (const server_device& d : list)
        if (d.name == by_default && fits(d)) return d.name;
    for (const server_device& d : list)
        if (fits(d)) return d.name;
    return {};
}

std::string description_in(const server_view& view, device_direction direction,
                           const std::string& name) {
    for (const server_device& d :
         direction == device_direction::capture ? view.sources : view.sinks)
        if (d.name == name) return d.description;
    return name;
}

}  // namespace

void pulse_sound_system::impl::keep() {
    while (!keeper_quit.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(keeper_tick);
        keeper_round();
    }
}

void pulse_sound_system::impl::keeper_round() {
    // Most rounds have nothing to do: no news from the server, nobody in a
    // gap. They leave libpulse's thread alone.
    if (!server_lost.load(std::memory_order_acquire) &&
        !devices_changed.load(std::memory_order_acquire) &&
        !repair_wanted.load(std::memory_order_acquire) &&
        gaps_open.load(std::memory_order_acquire) == 0)
        return;
    const std::lock_guard repairing(repair);
    const loop_lock lock(loop);
    std::erase_if(queues, [](const auto& q) { return q.expired(); });
    if (gave_up) return;
    std::vector<std::shared_ptr<pulse_queue>> open;
    for (const auto& weak : queues)
        if (auto queue = weak.lock(); queue != nullptr && queue->in_use())
            open.push_back(std::move(queue));

    if (server_lost.load(std::memory_order_acquire)) {
        const auto now = std::chrono::steady_clock::now();
        if (!reconnecting) {
            reconnecting = true;
            lost_at = now;
            for (const auto& queue : open) queue->lose_stream();
            // The server's modules went with it.
            virtual_modules.clear();
            loopback_module = PA_INVALID_INDEX;
            tell("The sound server went away; waiting for it to come back");
        }
        if (now - last_try >= reconnect_period) {
            last_try = now;
            try_reconnect();
        }
        if (server_lost.load(std::memory_order_acquire) && now - lost_at >= reconnect_limit)
            give_up();
    } else if (devices_changed.exchange(false, std::memory_order_acq_rel) ||
               repair_wanted.exchange(false, std::memory_order_acq_rel)) {
        read_view();
        for (const auto& queue : open) {
            const std::string place = queue->is_virtual_mic()
                                          ? std::string(virtual_sink_name)
                                          : place_for(view, queue->direction(), queue->wanted(),
                                                      queue->follows_default());
            const bool stale = queue->take_stale();
            if (!stale && place == queue->current() && queue->streaming()) continue;
            const std::string was = queue->current();
            const bool there = queue->move_to(place, stale);
            if (queue->is_virtual_mic()) continue;
            const bool capture = queue->direction() == device_direction::capture;
            const std::string kind = capture ? "microphone" : "output";
            std::string line;
            if (stale && there && place == was) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), place) +
                       "\" went quiet and was opened again";
            } else if (!there) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), was) +
                       "\" is gone and no other fits; waiting for one";
            } else if (place == queue->wanted()) {
                line = "The " + kind + " \"" + description_in(view, queue->direction(), place) +
                       "\" is back";
            } else if (queue->follows_default()) {
                line = "The voice follows the default " + kind + " to \"" +
                       description_in(view, queue->direction(), place) + "\"";
            } else {
                line = "The " + kind + " \"" +
                       description_in(view, queue->direction(), queue->wanted()) +
                       "\" is gone; using \"" + description_in(view, queue->direction(), place) +
                       "\" meanwhile";
            }
            tell(std::move(line));
        }
    }
    const pa_usec_t now = pa_rtclock_now();
    for (const auto& queue : open) queue->fill_gap(now);
}

// With `repair` and the loop locked.
void pulse_sound_system::impl::try_reconnect() {
    std::string why;
    if (!connect_context(reconnect_try_wait, why)) return;
    reconnecting = false;
    read_view();
    for (const auto& weak : queues) {
        const auto queue = weak.lock();
        if (queue == nullptr || !queue->in_use()) continue;
        queue->move_to(
            queue->is_virtual_mic()
                ? std::string(virtual_sink_name)
                : place_for(view, queue->direction(), queue->wanted(), queue->follows_default()));
    }
    // A device that is not there yet is taken when it comes.
    devices_changed.store(true, std::memory_order_release);
    tell("The sound server is back; the voice goes on");
}

// No server came back in time: every open device fails as it did before
// anything was mended, and the user is told once.
void pulse_sound_system::impl::give_up() {
    gave_up = true;
    for (const auto& weak : queues)
        if (const auto queue = weak.lock()) queue->raise_fault();
}

void pulse_sound_system::impl::tell(std::string text) {
    const std::lock_guard hold(news_mutex);
    news[news_count % news.size()] = std::move(text);
    ++news_count;
}

pulse_sound_system::impl::~impl() {
    keeper_quit.store(true, std::memory_order_release);
    if (keeper.joinable()) keeper.join();
    for (const auto& weak : queues)
        if (const auto queue = weak.lock()) queue->shutdown();
    if (loop != nullptr) {
        {
            const loop_lock lock(loop);
            unload_virtual_mic();
            drop_context();
        }
        pa_threaded_mainloop_stop(loop);
    }
    if (loop != nullptr) pa_threaded_mainloop_free(loop);
}

std::uint32_t pulse_sound_system::impl::device_count(device_direction direction) {
    if (direction == device_direction::capture) return static_cast<std::uint32_t>(sources.size());
    // The virtual microphone's entry ends the output list.
    return problem.empty() ? static_cast<std::uint32_t>(sinks.size()) + 1 : 0;
}

void pulse_sound_system::impl::describe(device_direction direction, std::uint32_t device,
                                        device_caps& caps) {
    // The server converts whatever the device runs at.
    caps.supports_44k_mono16 = true;
    if (direction == device_direction::playback && device == sinks.size()) {
        caps.name = virtual_mic_label;
        caps.id = virtual_mic_source;
        caps.is_default = false;
        return;
    }
    const server_device& d = (direction == device_direction::capture ? sources : sinks)[device];
    caps.name = d.description;
    caps.id = d.name;
    caps.is_default = d.is_default;
}

mm_result pulse_sound_system::impl::open(device_direction direction, std::uint32_t device,
                                         device_events& target,
                                         std::shared_ptr<backend_queue>& opened) {
    const bool virtual_mic = direction == device_direction::playback && device == sinks.size();
    const server_device* d =
        virtual_mic ? nullptr : &(direction == device_direction::capture ? sources : sinks)[device];
    auto queue = std::make_shared<pulse_queue>(direction, target, hub.wakeup(), *this,
                                               virtual_mic ? virtual_mic_label : d->description);
    const mm_result result = queue->open(virtual_mic ? virtual_sink_name : d->name, virtual_mic,
                                         !virtual_mic && d->is_default);
    if (result != mm_ok) return result;
    {
        const std::lock_guard repairing(repair);
        std::erase_if(queues, [](const auto& q) { return q.expired(); });
        queues.push_back(queue);
    }
    opened = std::move(queue);
    return mm_ok;
}

pulse_sound_system::pulse_sound_system(std::chrono::milliseconds timeout)
    : pulse_sound_system(std::make_unique<impl>()) {
    impl_.connect(timeout);
}

pulse_sound_system::pulse_sound_system(std::unique_ptr<impl> made)
    : backend_sound_system(std::move(made)), impl_(static_cast<impl&>(backend())) {}

pulse_sound_system::~pulse_sound_system() = default;

bool pulse_sound_system::ready() const {
    return impl_.problem.empty();
}

std::string pulse_sound_system::problem() const {
    return impl_.problem;
}

std::string pulse_sound_system::server_description() const {
    return impl_.server;
}

std::string pulse_sound_system::library_version() {
    return pa_get_library_version();
}

std::uint32_t pulse_sound_system::virtual_mic_device() const {
    return static_cast<std::uint32_t>(impl_.sinks.size());
}

bool pulse_sound_system::refresh_devices() {
    if (!ready()) return false;
    std::vector<server_device> sources;
    std::vector<server_device> sinks;
    {
        const loop_lock lock(impl_.loop);
        if (impl_.view_generation == impl_.listed_generation) return false;
        impl_.listed_generation = impl_.view_generation;
        impl::list_in_order(impl_.view, sources, sinks);
    }
    if (sources == impl_.sources && sinks == impl_.sinks) return false;
    impl_.sources = std::move(sources);
    impl_.sinks = std::move(sinks);
    return true;
}

std::vector<std::string> pulse_sound_system::routes_since(std::uint64_t& seen) const {
    const std::lock_guard hold(impl_.news_mutex);
    const std::uint64_t count = impl_.news_count;
    std::uint64_t from = std::max(seen, count - std::min<std::uint64_t>(count, route_news_kept));
    std::vector<std::string> lines;
    for (; from < count; ++from) lines.push_back(impl_.news[from % route_news_kept]);
    seen = count;
    return lines;
}

}  // namespace squeakbox
