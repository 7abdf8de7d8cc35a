#include "extension/camera/PipeWireSink.h"

#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"

#include <cstring>

#ifdef OSTRELA_HAVE_PIPEWIRE

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <atomic>

namespace ostrela::camera {

struct PipeWireSink::Impl {
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::atomic<uint32_t> format{SPA_VIDEO_FORMAT_UNKNOWN};
    std::atomic<int> state{PW_STREAM_STATE_UNCONNECTED};
    std::string streamError;
    int fps = 30;
};

namespace {

int strideFor(uint32_t format) { return format == SPA_VIDEO_FORMAT_YUY2 ? kFrameWidth * 2 : kFrameWidth * 4; }

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* impl = static_cast<PipeWireSink::Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR && error) impl->streamError = error;
    impl->state.store(state);
    pw_thread_loop_signal(impl->loop, false);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* impl = static_cast<PipeWireSink::Impl*>(data);
    if (!param || id != SPA_PARAM_Format) return;
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

pw_stream_events makeEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    return e;
}
const pw_stream_events kEvents = makeEvents();

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
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Video/Source",
                                             PW_KEY_NODE_NAME, "Ostrela", PW_KEY_NODE_DESCRIPTION, "Ostrela",
                                             PW_KEY_NODE_NICK, "Ostrela", nullptr);
    pw_thread_loop_lock(impl_->loop);
    if (pw_thread_loop_start(impl_->loop) < 0) {
        pw_thread_loop_unlock(impl_->loop);
        pw_properties_free(props);
        error_ = "cannot start a PipeWire loop";
        return;
    }
    impl_->stream = pw_stream_new_simple(pw_thread_loop_get_loop(impl_->loop), "Ostrela", props, &kEvents, impl_.get());
    if (!impl_->stream) {
        pw_thread_loop_unlock(impl_->loop);
        error_ = std::string("cannot create a PipeWire stream: ") + std::strerror(errno);
        return;
    }
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle size = SPA_RECTANGLE(uint32_t(kFrameWidth), uint32_t(kFrameHeight));
    spa_fraction rate = SPA_FRACTION(uint32_t(impl_->fps), 1u);
    const spa_pod* params[1];
    // YUY2 first, as webcams offer it; BGRx for clients that take RGB only.
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_BGRx),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    int res = pw_stream_connect(impl_->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (res < 0) {
        pw_thread_loop_unlock(impl_->loop);
        error_ = std::string("cannot connect to PipeWire: ") + std::strerror(-res);
        return;
    }
    // Wait until the node exists (paused) or the connection failed; a missing daemon fails at once.
    for (int i = 0; i < 10; ++i) {
        int s = impl_->state.load();
        if (s == PW_STREAM_STATE_ERROR || s == PW_STREAM_STATE_PAUSED || s == PW_STREAM_STATE_STREAMING) break;
        pw_thread_loop_timed_wait(impl_->loop, 1);  // seconds; woken by each state change
    }
    const int s = impl_->state.load();
    if (s != PW_STREAM_STATE_PAUSED && s != PW_STREAM_STATE_STREAMING) {
        error_ = "cannot reach the PipeWire daemon" + (impl_->streamError.empty() ? std::string() : ": " + impl_->streamError);
    }
    pw_thread_loop_unlock(impl_->loop);
}

PipeWireSink::~PipeWireSink() {
    if (!impl_ || !impl_->loop) return;
    pw_thread_loop_lock(impl_->loop);
    if (impl_->stream) pw_stream_destroy(impl_->stream);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    pw_thread_loop_destroy(impl_->loop);
}

bool PipeWireSink::ok() const { return error_.empty() && impl_ && impl_->stream; }

bool PipeWireSink::write(const uint8_t* bgra) {
    if (!ok()) return false;
    if (impl_->state.load() == PW_STREAM_STATE_ERROR) return false;  // the daemon went away
    pw_thread_loop_lock(impl_->loop);
    pw_buffer* b = pw_stream_dequeue_buffer(impl_->stream);
    if (b) {
        spa_data& d = b->buffer->datas[0];
        const uint32_t format = impl_->format.load();
        const int stride = strideFor(format);
        const uint32_t bytes = uint32_t(stride * kFrameHeight);
        if (d.data && d.maxsize >= bytes) {
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

}  // namespace ostrela::camera

#endif
