#include "VornKit/Platform/Audio/PulseAudioSession.h"

#include <pulse/pulseaudio.h>

#include <thread>

namespace vk {

namespace {

constexpr pa_usec_t kReconnectDelay = 1'000'000;

}  // namespace

/// libpulse's loop and the current connection. Every member is used with the loop's lock held
/// (libpulse holds it while it runs callbacks).
struct PulseAudioSession::Loop {
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_time_event* reconnectTimer = nullptr;
    std::optional<std::string> server;
    PulseAudioSession* owner = nullptr;  // null until connected and while stopping

    ~Loop() {
        if (!mainloop)
            return;
        pa_threaded_mainloop_lock(mainloop);
        owner = nullptr;
        if (reconnectTimer) {
            pa_threaded_mainloop_get_api(mainloop)->time_free(reconnectTimer);
            reconnectTimer = nullptr;
        }
        dropContext();
        pa_threaded_mainloop_unlock(mainloop);
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
    }

    /// Starts a connection; false when libpulse refuses at once.
    bool openContext() {
        context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "VornKit");
        if (!context)
            return false;
        pa_context_set_state_callback(context, &Loop::stateChanged, this);
        pa_context_set_subscribe_callback(context, &Loop::serverEvent, this);
        return pa_context_connect(context, server ? server->c_str() : nullptr,
                                  PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    }

    void dropContext() {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    /// Subscribes to sink and server changes and reads the volume.
    void watch() {
        auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                        PA_SUBSCRIPTION_MASK_SERVER);
        if (auto* op = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(op);
        readVolume();
    }

    void readVolume() {
        if (auto* op =
                pa_context_get_sink_info_by_name(context, "@DEFAULT_SINK@", &Loop::sinkInfo, this))
            pa_operation_unref(op);
    }

    void scheduleReconnect() {
        if (reconnectTimer || !owner)
            return;
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), kReconnectDelay);
        reconnectTimer = api->time_new(api, &when, &Loop::reconnect, this);
    }

    static void stateChanged(pa_context* context, void* userdata) {
        auto* loop = static_cast<Loop*>(userdata);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                if (loop->owner)
                    loop->watch();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                if (loop->owner) {
                    loop->owner->publish(std::nullopt);
                    loop->scheduleReconnect();
                }
                break;
            default:
                break;
        }
    }

    static void serverEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                            void* userdata) {
        auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SERVER)
            static_cast<Loop*>(userdata)->readVolume();
    }

    static void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* loop = static_cast<Loop*>(userdata);
        if (!loop->owner)
            return;
        if (eol < 0) {
            loop->owner->publish(std::nullopt);  // no default sink
            return;
        }
        if (!info)
            return;
        const float volume = info->mute ? 0.0f
                                        : static_cast<float>(pa_cvolume_max(&info->volume)) /
                                              static_cast<float>(PA_VOLUME_NORM);
        loop->owner->publish(volume);
    }

    static void reconnect(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                          void* userdata) {
        auto* loop = static_cast<Loop*>(userdata);
        api->time_free(event);
        loop->reconnectTimer = nullptr;
        if (!loop->owner)
            return;
        loop->dropContext();
        if (!loop->openContext())
            loop->scheduleReconnect();
    }
};

std::shared_ptr<PulseAudioSession> PulseAudioSession::connect(std::chrono::milliseconds timeout,
                                                              std::optional<std::string> server) {
    auto loop = std::make_unique<Loop>();
    loop->server = std::move(server);
    loop->mainloop = pa_threaded_mainloop_new();
    if (!loop->mainloop)
        return nullptr;
    if (pa_threaded_mainloop_start(loop->mainloop) < 0) {
        pa_threaded_mainloop_free(loop->mainloop);
        loop->mainloop = nullptr;
        return nullptr;
    }
    pa_threaded_mainloop_lock(loop->mainloop);
    bool started = loop->openContext();
    pa_threaded_mainloop_unlock(loop->mainloop);
    if (!started)
        return nullptr;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pa_threaded_mainloop_lock(loop->mainloop);
        const pa_context_state_t state = pa_context_get_state(loop->context);
        pa_threaded_mainloop_unlock(loop->mainloop);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state) || std::chrono::steady_clock::now() >= deadline)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::shared_ptr<PulseAudioSession> session(new PulseAudioSession(std::move(loop)));
    Loop& ready = *session->loop_;
    pa_threaded_mainloop_lock(ready.mainloop);
    ready.owner = session.get();
    if (pa_context_get_state(ready.context) == PA_CONTEXT_READY) {
        ready.watch();
    } else {
        ready.scheduleReconnect();
    }
    pa_threaded_mainloop_unlock(ready.mainloop);
    return session;
}

PulseAudioSession::PulseAudioSession(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}

PulseAudioSession::~PulseAudioSession() {
    loop_.reset();
}

}  // namespace vk
