#include "extension/camera/CameraProgram.h"

#include "pipeline/FrameBuffer.h"
#include "pipeline/Paths.h"

#include <cerrno>
#include <cmath>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace ostrela::camera {

CameraProgram::CameraProgram(FrameSink& sink, CameraProgramOptions options)
    : sink_(sink), options_(options), frame_(kFrameBytes) {
    if (options_.fps < 1) options_.fps = 1;
}

bool CameraProgram::step(double now, bool repeatDue) {
    std::optional<FrameState> state = reader_.state();
    bool fresh = false;
    if (state && (!haveGeneration_ || state->generation != generation_)) {
        bool firstLook = !haveGeneration_;
        haveGeneration_ = true;
        generation_ = state->generation;
        stateTimestamp_ = state->timestamp;
        lastAdvance_ = now;
        // A record left from an earlier run is not a live frame.
        bool recent = std::fabs(now - state->timestamp) <= options_.idleAfterSeconds;
        if (!firstLook || recent) fresh = reader_.copyFrame(frame_.data());
    }
    if (fresh) {
        haveLive_ = true;
        stats_.lastGeneration = generation_;
        ++stats_.liveFrames;
    } else {
        bool stalled = !haveLive_ || now - lastAdvance_ > options_.idleAfterSeconds;
        if (stalled) haveLive_ = false;
        if (!repeatDue) return true;
    }
    const uint8_t* out = haveLive_ ? frame_.data() : idlePicture().data();
    if (!haveLive_) ++stats_.idleFrames;
    if (!sink_.write(out)) return false;
    ++stats_.framesWritten;
    return true;
}

bool CameraProgram::run() {
    // Wake on every replacement of the state file; poll as a fallback where inotify is unavailable.
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int watch = -1;
    std::string dir = containerDirectoryPath();
    const double period = 1.0 / options_.fps;
    const double start = wallClockSeconds();
    double lastWrite = 0;
    while (!stop_.load()) {
        if (in >= 0 && watch < 0 && !dir.empty())
            watch = inotify_add_watch(in, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE);
        double now = wallClockSeconds();
        if (options_.maxSeconds >= 0 && now - start >= options_.maxSeconds) break;
        int64_t before = stats_.framesWritten;
        if (!step(now, now - lastWrite >= period)) {
            if (in >= 0) ::close(in);
            return false;
        }
        if (stats_.framesWritten != before) lastWrite = now;
        if (options_.maxFrames >= 0 && stats_.framesWritten >= options_.maxFrames) break;

        double wait = std::max(0.0, lastWrite + period - wallClockSeconds());
        int timeoutMs = int(std::ceil(wait * 1000.0));
        if (watch >= 0) {
            pollfd pfd{in, POLLIN, 0};
            if (::poll(&pfd, 1, std::max(1, timeoutMs)) > 0) {
                char buf[4096];
                while (::read(in, buf, sizeof buf) > 0) {}
            }
        } else {
            ::usleep(useconds_t(std::min(timeoutMs, 5) * 1000 + 500));
        }
    }
    if (in >= 0) ::close(in);
    return true;
}

}  // namespace ostrela::camera
