#include "VornKit/Platform/Audio/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <thread>

#include "VornKit/Platform/Runtime/Log.h"

namespace vk {

struct PulseAudioOutput::Loop {
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::optional<std::string> server;
    std::chrono::milliseconds timeout{0};
    // Guarded by the main loop's lock.
    IdleOutputState state = IdleOutputState::None;

    struct Locked {
        pa_threaded_mainloop* m;
        explicit Locked(pa_threaded_mainloop* loop) : m(loop) { pa_threaded_mainloop_lock(m); }
        ~Locked() { pa_threaded_mainloop_unlock(m); }
    };

    static void signal(pa_context*, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }
    static void streamSignal(pa_stream*, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
    }

    /// Waits (lock held) until `done` or the timeout; the loop thread signals on every change.
    template <class Done>
    bool waitFor(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            // Woken by a signal, or after a short while to look at the clock again.
            pa_threaded_mainloop_unlock(mainloop);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pa_threaded_mainloop_lock(mainloop);
        }
        return true;
    }

    /// (Re)connects the context; lock held.
    bool connectContext() {
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            return true;
        dropStream();
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "VornKit");
        if (!context)
            return false;
        pa_context_set_state_callback(context, &Loop::signal, mainloop);
        if (pa_context_connect(context, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                               nullptr) < 0)
            return false;
        waitFor([&] {
            auto s = pa_context_get_state(context);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        return pa_context_get_state(context) == PA_CONTEXT_READY;
    }

    void dropStream() {
        if (!stream)
            return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) &&
            pa_stream_get_state(stream) != PA_STREAM_UNCONNECTED)
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    /// Runs `op` to completion (lock held); false when it did not finish.
    bool finish(pa_operation* op) {
        if (!op)
            return false;
        bool ok = waitFor([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        ok = ok && pa_operation_get_state(op) == PA_OPERATION_DONE;
        if (!ok)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return ok;
    }
};

std::shared_ptr<PulseAudioOutput> PulseAudioOutput::connect(std::chrono::milliseconds timeout,
                                                            std::optional<std::string> server) {
    auto loop = std::make_unique<Loop>();
    loop->server = std::move(server);
    loop->timeout = timeout;
    loop->mainloop = pa_threaded_mainloop_new();
    if (!loop->mainloop)
        return nullptr;
    if (pa_threaded_mainloop_start(loop->mainloop) < 0) {
        pa_threaded_mainloop_free(loop->mainloop);
        return nullptr;
    }
    bool ready;
    {
        Loop::Locked lock(loop->mainloop);
        ready = loop->connectContext();
    }
    auto output = std::shared_ptr<PulseAudioOutput>(new PulseAudioOutput(std::move(loop)));
    return ready ? output : nullptr;
}

PulseAudioOutput::PulseAudioOutput(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}

PulseAudioOutput::~PulseAudioOutput() {
    {
        Loop::Locked lock(loop_->mainloop);
        loop_->dropStream();
        if (loop_->context) {
            pa_context_set_state_callback(loop_->context, nullptr, nullptr);
            pa_context_disconnect(loop_->context);
            pa_context_unref(loop_->context);
            loop_->context = nullptr;
        }
    }
    pa_threaded_mainloop_stop(loop_->mainloop);
    pa_threaded_mainloop_free(loop_->mainloop);
}

bool PulseAudioOutput::currentRouteIsCarAudio() {
    Loop::Locked lock(loop_->mainloop);
    if (!loop_->connectContext())
        return false;
    struct Query {
        pa_threaded_mainloop* mainloop;
        std::string defaultSink;
        bool car = false;
    } query{loop_->mainloop, {}, false};
    auto serverInfo = [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (info && info->default_sink_name)
            q->defaultSink = info->default_sink_name;
        pa_threaded_mainloop_signal(q->mainloop, 0);
    };
    if (!loop_->finish(pa_context_get_server_info(loop_->context, serverInfo, &query)) ||
        query.defaultSink.empty())
        return false;
    auto sinkInfo = [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (eol == 0 && info) {
#if PA_CHECK_VERSION(14, 0, 0)
            if (info->active_port && info->active_port->type == PA_DEVICE_PORT_TYPE_CAR)
                q->car = true;
#endif
            const char* form = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_FORM_FACTOR);
            if (form && std::strcmp(form, "car") == 0)
                q->car = true;
        }
        pa_threaded_mainloop_signal(q->mainloop, 0);
    };
    loop_->finish(pa_context_get_sink_info_by_name(loop_->context, query.defaultSink.c_str(),
                                                   sinkInfo, &query));
    return query.car;
}

bool PulseAudioOutput::createIdleOutput() {
    Loop::Locked lock(loop_->mainloop);
    if (loop_->state == IdleOutputState::None)
        loop_->state = IdleOutputState::Created;
    return true;
}

bool PulseAudioOutput::startIdleOutput() {
    Loop::Locked lock(loop_->mainloop);
    if (loop_->state == IdleOutputState::None)
        return false;
    if (loop_->state == IdleOutputState::Running && loop_->stream &&
        pa_stream_get_state(loop_->stream) == PA_STREAM_READY)
        return true;
    loop_->state = IdleOutputState::Created;
    if (!loop_->connectContext())
        return false;
    loop_->dropStream();
    const pa_sample_spec format{PA_SAMPLE_S16LE, 48000, 2};
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
    loop_->stream =
        pa_stream_new_with_proplist(loop_->context, "VornKit idle output", &format, nullptr, props);
    pa_proplist_free(props);
    if (!loop_->stream)
        return false;
    pa_stream_set_state_callback(loop_->stream, &Loop::streamSignal, loop_->mainloop);
    if (pa_stream_connect_playback(loop_->stream, nullptr, nullptr, PA_STREAM_START_CORKED, nullptr,
                                   nullptr) < 0) {
        loop_->dropStream();
        return false;
    }
    loop_->waitFor([&] {
        auto s = pa_stream_get_state(loop_->stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (pa_stream_get_state(loop_->stream) != PA_STREAM_READY) {
        consoleLog("PulseAudioOutput", "the idle output stream did not start: %s",
                   pa_strerror(pa_context_errno(loop_->context)));
        loop_->dropStream();
        return false;
    }
    loop_->state = IdleOutputState::Running;
    return true;
}

void PulseAudioOutput::stopIdleOutput() {
    Loop::Locked lock(loop_->mainloop);
    if (loop_->state != IdleOutputState::Running)
        return;
    loop_->dropStream();
    loop_->state = IdleOutputState::Created;
}

void PulseAudioOutput::disposeIdleOutput() {
    Loop::Locked lock(loop_->mainloop);
    loop_->dropStream();
    loop_->state = IdleOutputState::None;
}

IdleOutputState PulseAudioOutput::idleOutputState() const {
    Loop::Locked lock(loop_->mainloop);
    return loop_->state;
}

}  // namespace vk
