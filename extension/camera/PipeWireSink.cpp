#include "extension/camera/PipeWireSink.h"

#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"

#include <cstring>

#ifdef OSTRELA_HAVE_PIPEWIRE

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

namespace ostrela::camera {

namespace {
constexpr double kFirstRetrySeconds = 0.25;
constexpr double kLongestRetrySeconds = 5.0;
// A daemon that takes the connection but never creates the node is tried again after this long.
constexpr double kPublishTimeoutSeconds = 5.0;
// Fewer free buffers than this between two clients and the node is made anew.
constexpr int kFewestFreeBuffers = 2;
}  // namespace

// Everything below the atomics is touched on the loop thread, or with the loop's lock held.
struct PipeWireSink::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    spa_source* retryTimer = nullptr;
    int fps = 30;

    std::atomic<uint32_t> format{SPA_VIDEO_FORMAT_UNKNOWN};
    std::atomic<int> state{PW_STREAM_STATE_UNCONNECTED};
    std::atomic<bool> connected{false};
    std::atomic<int> reconnections{0};

    // Buffers the stream handed us (add_buffer) and the free ones we hold between two clients.
    int buffers = 0;
    std::vector<pw_buffer*> spare;
    bool streamed = false;  // a client took frames since the last pause

    bool published = false;      // the node existed once: from then on a loss is reconnected
    bool startFailed = false;    // the first connection failed; the constructor reports it
    bool retryPending = false;
    bool lost = false;           // between a loss and the next publication
    double retrySeconds = kFirstRetrySeconds;

    mutable std::mutex textMutex;
    std::string problem;  // why the first connection failed, or why the last one was lost

    void setProblem(std::string text) {
        std::lock_guard<std::mutex> lock(textMutex);
        problem = std::move(text);
    }
};

namespace {

using Impl = PipeWireSink::Impl;

int strideFor(uint32_t format) { return format == SPA_VIDEO_FORMAT_YUY2 ? kFrameWidth * 2 : kFrameWidth * 4; }

bool connectOnce(Impl* impl);
void teardown(Impl* impl);

void armTimer(Impl* impl, double seconds) {
    timespec when{};
    when.tv_sec = time_t(seconds);
    when.tv_nsec = long((seconds - double(when.tv_sec)) * 1e9);
    pw_loop_update_timer(pw_thread_loop_get_loop(impl->loop), impl->retryTimer, &when, nullptr, false);
}

// A loss seen from a callback: everything is made anew after the back-off. The objects are torn
// down from the timer, never from inside their own callbacks.
void connectionLost(Impl* impl, const std::string& why) {
    impl->connected.store(false);
    if (!impl->published) {
        // Still in the constructor: it reports the failure instead of retrying.
        impl->startFailed = true;
        impl->setProblem(why);
        pw_thread_loop_signal(impl->loop, false);
        return;
    }
    if (!impl->lost) {
        impl->lost = true;
        impl->setProblem(why);
        std::fprintf(stderr, "ostrela-camera: lost the PipeWire camera (%s); publishing it again\n", why.c_str());
    }
    if (impl->retryPending) return;
    impl->retryPending = true;
    armTimer(impl, impl->retrySeconds);
    impl->retrySeconds = std::min(impl->retrySeconds * 2, kLongestRetrySeconds);
}

void onRetry(void* data, uint64_t) {
    auto* impl = static_cast<Impl*>(data);
    impl->retryPending = false;
    teardown(impl);
    if (connectOnce(impl))
        armTimer(impl, kPublishTimeoutSeconds);  // disarmed when the node is published
    else
        connectionLost(impl, "the PipeWire daemon is not reachable");
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* impl = static_cast<Impl*>(data);
    impl->state.store(state);
    switch (state) {
    case PW_STREAM_STATE_PAUSED:
    case PW_STREAM_STATE_STREAMING:
        if (state == PW_STREAM_STATE_STREAMING) {
            impl->streamed = true;
        } else if (impl->streamed) {
            // The last client left. A client that leaves returns every buffer first; when its link
            // was cut under it instead (the session manager that made it went away) a buffer in
            // flight never comes back. The node keeps serving with the rest, without a new node id
            // for the clients the session manager links again, until too few are left.
            impl->streamed = false;
            while (pw_buffer* b = pw_stream_dequeue_buffer(impl->stream)) impl->spare.push_back(b);
            if (int(impl->spare.size()) < std::min(impl->buffers, kFewestFreeBuffers)) {
                connectionLost(impl, "links cut under their clients kept too many buffers");
                break;
            }
        }
        if (!impl->connected.exchange(true)) {
            impl->retrySeconds = kFirstRetrySeconds;
            if (impl->lost) armTimer(impl, 0);  // the publication timeout is over
            if (impl->lost) {
                impl->lost = false;
                impl->reconnections.fetch_add(1);
                std::fprintf(stderr, "ostrela-camera: the PipeWire camera \"Ostrela\" is published again\n");
            }
            impl->published = true;
        }
        break;
    case PW_STREAM_STATE_ERROR:
        connectionLost(impl, error && *error ? error : "stream error");
        break;
    case PW_STREAM_STATE_UNCONNECTED:
        // How a daemon that went away shows itself on a stream.
        connectionLost(impl, error && *error ? error : "disconnected");
        break;
    case PW_STREAM_STATE_CONNECTING:
        break;
    }
    pw_thread_loop_signal(impl->loop, false);
}

void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* impl = static_cast<Impl*>(data);
    // Errors about single objects are the stream's business; the core's own mean the connection.
    if (id != PW_ID_CORE) return;
    std::string why = message && *message ? message : std::strerror(-res);
    if (res == -EPIPE) why = "the daemon went away";
    connectionLost(impl, why);
}

void onAddBuffer(void* data, pw_buffer*) { ++static_cast<Impl*>(data)->buffers; }

void onRemoveBuffer(void* data, pw_buffer* b) {
    auto* impl = static_cast<Impl*>(data);
    --impl->buffers;
    impl->spare.erase(std::remove(impl->spare.begin(), impl->spare.end(), b), impl->spare.end());
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* impl = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format) return;
    if (!param) {
        impl->format.store(SPA_VIDEO_FORMAT_UNKNOWN);
        return;
    }
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    impl->format.store(info.format);
    const int stride = strideFor(info.format);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(stride * kFrameHeight), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    pw_stream_update_params(impl->stream, params, 1);
}

pw_stream_events makeStreamEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.add_buffer = onAddBuffer;
    e.remove_buffer = onRemoveBuffer;
    return e;
}
const pw_stream_events kStreamEvents = makeStreamEvents();

pw_core_events makeCoreEvents() {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
}
const pw_core_events kCoreEvents = makeCoreEvents();

// One EnumFormat per fixed format: WebRTC's PipeWire camera (Chromium, Firefox) skips a param whose
// format is a choice, and reads format, size and rate in this order.
const spa_pod* enumFormat(spa_pod_builder* b, uint32_t format, int fps) {
    spa_rectangle size = SPA_RECTANGLE(uint32_t(kFrameWidth), uint32_t(kFrameHeight));
    spa_fraction rate = SPA_FRACTION(uint32_t(fps), 1u);
    spa_pod_frame frame;
    spa_pod_builder_push_object(b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
                        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_Fraction(&rate), 0);
    if (format == SPA_VIDEO_FORMAT_YUY2)
        // What PixelConvert writes: BT.601 limited range. Without it readers guess BT.709 for 720p.
        spa_pod_builder_add(b, SPA_FORMAT_VIDEO_colorRange, SPA_POD_Id(SPA_VIDEO_COLOR_RANGE_16_235),
                            SPA_FORMAT_VIDEO_colorMatrix, SPA_POD_Id(SPA_VIDEO_COLOR_MATRIX_BT601),
                            SPA_FORMAT_VIDEO_transferFunction, SPA_POD_Id(SPA_VIDEO_TRANSFER_BT709),
                            SPA_FORMAT_VIDEO_colorPrimaries, SPA_POD_Id(SPA_VIDEO_COLOR_PRIMARIES_SMPTE170M), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &frame));
}

// Context, core and stream anew; false when the daemon cannot be reached at all.
bool connectOnce(Impl* impl) {
    pw_loop* loop = pw_thread_loop_get_loop(impl->loop);
    impl->context = pw_context_new(loop, nullptr, 0);
    if (!impl->context) {
        impl->setProblem(std::string("cannot create a PipeWire context: ") + std::strerror(errno));
        return false;
    }
    impl->core = pw_context_connect(impl->context, nullptr, 0);
    if (!impl->core) {
        impl->setProblem(std::strerror(errno));
        return false;
    }
    pw_core_add_listener(impl->core, &impl->coreListener, &kCoreEvents, impl);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Video/Source",
                                             PW_KEY_NODE_NAME, "Ostrela", PW_KEY_NODE_DESCRIPTION, "Ostrela",
                                             PW_KEY_NODE_NICK, "Ostrela", nullptr);
    impl->stream = pw_stream_new(impl->core, "Ostrela", props);
    if (!impl->stream) {
        impl->setProblem(std::string("cannot create a PipeWire stream: ") + std::strerror(errno));
        return false;
    }
    pw_stream_add_listener(impl->stream, &impl->streamListener, &kStreamEvents, impl);
    uint8_t buffer[2048];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    // YUY2 first, as webcams offer it; BGRx for clients that take RGB only.
    const spa_pod* params[2] = {enumFormat(&b, SPA_VIDEO_FORMAT_YUY2, impl->fps),
                                enumFormat(&b, SPA_VIDEO_FORMAT_BGRx, impl->fps)};
    const int res = pw_stream_connect(impl->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 2);
    if (res < 0) {
        impl->setProblem(std::string("cannot connect to PipeWire: ") + std::strerror(-res));
        return false;
    }
    return true;
}

void teardown(Impl* impl) {
    impl->connected.store(false);
    impl->spare.clear();
    impl->buffers = 0;
    impl->streamed = false;
    impl->format.store(SPA_VIDEO_FORMAT_UNKNOWN);
    if (impl->stream) {
        spa_hook_remove(&impl->streamListener);
        pw_stream_destroy(impl->stream);
        impl->stream = nullptr;
    }
    if (impl->core) {
        spa_hook_remove(&impl->coreListener);
        pw_core_disconnect(impl->core);
        impl->core = nullptr;
    }
    if (impl->context) {
        pw_context_destroy(impl->context);
        impl->context = nullptr;
    }
    impl->state.store(PW_STREAM_STATE_UNCONNECTED);
}

}  // namespace

bool PipeWireSink::available() { return true; }

PipeWireSink::PipeWireSink(int fps) : impl_(std::make_unique<Impl>()) {
    pw_init(nullptr, nullptr);
    impl_->fps = fps < 1 ? 30 : fps;
    impl_->loop = pw_thread_loop_new("ostrela-pipewire", nullptr);
    if (!impl_->loop) {
        error_ = "cannot start a PipeWire loop";
        return;
    }
    pw_thread_loop_lock(impl_->loop);
    if (pw_thread_loop_start(impl_->loop) < 0) {
        pw_thread_loop_unlock(impl_->loop);
        error_ = "cannot start a PipeWire loop";
        return;
    }
    impl_->retryTimer = pw_loop_add_timer(pw_thread_loop_get_loop(impl_->loop), onRetry, impl_.get());
    if (!connectOnce(impl_.get())) {
        impl_->startFailed = true;
    } else {
        // Wait until the node exists (paused) or the connection failed; a missing daemon fails at once.
        for (int i = 0; i < 10 && !impl_->startFailed && !impl_->published; ++i)
            pw_thread_loop_timed_wait(impl_->loop, 1);  // seconds; woken by each state change
        if (!impl_->published && !impl_->startFailed) impl_->setProblem("no answer from the daemon");
    }
    if (!impl_->published) {
        std::string why;
        {
            std::lock_guard<std::mutex> lock(impl_->textMutex);
            why = impl_->problem;
        }
        error_ = "cannot reach the PipeWire daemon" + (why.empty() ? std::string() : ": " + why);
        teardown(impl_.get());
    }
    pw_thread_loop_unlock(impl_->loop);
}

PipeWireSink::~PipeWireSink() {
    if (!impl_ || !impl_->loop) return;
    pw_thread_loop_lock(impl_->loop);
    impl_->published = false;  // no more retries
    if (impl_->retryTimer) pw_loop_destroy_source(pw_thread_loop_get_loop(impl_->loop), impl_->retryTimer);
    impl_->retryTimer = nullptr;
    teardown(impl_.get());
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    pw_thread_loop_destroy(impl_->loop);
}

bool PipeWireSink::ok() const { return error_.empty() && impl_ && impl_->loop; }

bool PipeWireSink::connected() const { return ok() && impl_->connected.load(); }

int PipeWireSink::reconnections() const { return impl_ ? impl_->reconnections.load() : 0; }

std::string PipeWireSink::status() const {
    if (!ok()) return error_;
    if (impl_->connected.load())
        return impl_->state.load() == PW_STREAM_STATE_STREAMING ? "streaming to a client" : "published";
    std::lock_guard<std::mutex> lock(impl_->textMutex);
    return "reconnecting to PipeWire (" + impl_->problem + ")";
}

std::string PipeWireSink::unreachableReason() const {
    if (!ok()) return "The PipeWire camera could not be published: " + error_;
    if (impl_->connected.load()) return {};
    std::lock_guard<std::mutex> lock(impl_->textMutex);
    return "Apps cannot see the camera while PipeWire is away; it comes back by itself (" + impl_->problem + ")";
}

bool PipeWireSink::write(const uint8_t* bgra) {
    if (!ok()) return false;
    // While the daemon is away the frame is dropped without waiting for the loop.
    if (!impl_->connected.load() || impl_->state.load() != PW_STREAM_STATE_STREAMING) return true;
    pw_thread_loop_lock(impl_->loop);
    pw_buffer* b = nullptr;
    if (impl_->stream && impl_->connected.load()) {
        if (!impl_->spare.empty()) {
            b = impl_->spare.back();
            impl_->spare.pop_back();
        } else {
            b = pw_stream_dequeue_buffer(impl_->stream);
        }
    }
    if (b) {
        spa_data& d = b->buffer->datas[0];
        const uint32_t format = impl_->format.load();
        const int stride = strideFor(format);
        const uint32_t bytes = uint32_t(stride * kFrameHeight);
        if (d.data && d.maxsize >= bytes && format != SPA_VIDEO_FORMAT_UNKNOWN) {
            auto* out = static_cast<uint8_t*>(d.data);
            if (format == SPA_VIDEO_FORMAT_YUY2)
                bgraToYuyv(bgra, kFrameStride, out, stride, kFrameWidth, kFrameHeight);
            else
                for (int y = 0; y < kFrameHeight; ++y)
                    std::memcpy(out + size_t(y) * stride, bgra + size_t(y) * kFrameStride, size_t(kFrameWidth) * 4);
            d.chunk->offset = 0;
            d.chunk->size = bytes;
            d.chunk->stride = stride;
        } else {
            d.chunk->size = 0;
        }
        pw_stream_queue_buffer(impl_->stream, b);
        // As the driver of its graph the stream starts each cycle itself: one per frame written.
        if (pw_stream_is_driving(impl_->stream)) pw_stream_trigger_process(impl_->stream);
    }
    pw_thread_loop_unlock(impl_->loop);
    return true;
}

}  // namespace ostrela::camera

#else  // without PipeWire

namespace ostrela::camera {

struct PipeWireSink::Impl {};

bool PipeWireSink::available() { return false; }
PipeWireSink::PipeWireSink(int) : error_("this build of Ostrela has no PipeWire support") {}
PipeWireSink::~PipeWireSink() = default;
bool PipeWireSink::ok() const { return false; }
bool PipeWireSink::write(const uint8_t*) { return false; }
bool PipeWireSink::connected() const { return false; }
std::string PipeWireSink::status() const { return error_; }
std::string PipeWireSink::unreachableReason() const { return "The PipeWire camera could not be published: " + error_; }
int PipeWireSink::reconnections() const { return 0; }

}  // namespace ostrela::camera

#endif
