#include "extension/camera/CameraProgram.h"

#include "pipeline/FrameBuffer.h"
#include "pipeline/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace ostrela::camera {

CameraProgram::CameraProgram(FrameSink& sink, CameraProgramOptions options)
    : sink_(sink), options_(options), frame_(kFrameBytes), scratch_(kFrameBytes) {
    if (options_.fps < 1) options_.fps = 1;
}

void CameraProgram::look(double now) {
    const std::optional<FrameState> state = reader_.state();
    if (!state) return;
    if (haveRecord_ && *state == record_ && !retake_) return;
    const bool again = haveRecord_ && *state == record_;
    const bool firstLook = !haveRecord_;
    haveRecord_ = true;
    record_ = *state;
    // A record left by an earlier run, or one whose pixels could not be read until long after, is
    // not a live frame.
    if ((firstLook || again) && std::fabs(now - state->timestamp) > options_.idleAfterSeconds) {
        retake_ = false;
        return;
    }
    if (!reader_.copyFrame(scratch_.data(), *state)) {
        retake_ = true;
        ++stats_.framesRejected;
        return;
    }
    retake_ = false;
    frame_.swap(scratch_);
    haveLive_ = true;
    unsent_ = true;
    lastAdvance_ = now;
    stats_.lastGeneration = state->generation;
    ++stats_.framesTaken;
}

bool CameraProgram::tick(double now) {
    if (haveLive_ && now - lastAdvance_ > options_.idleAfterSeconds) haveLive_ = unsent_ = false;
    const uint8_t* out = idlePicture().data();
    if (unsent_) {
        out = frame_.data();
        unsent_ = false;
        ++stats_.liveFrames;
    } else if (haveLive_) {
        out = frame_.data();
        ++stats_.repeatFrames;
    } else {
        ++stats_.idleFrames;
    }
    if (!sink_.write(out)) return false;
    ++stats_.framesWritten;
    if (afterTick_) afterTick_();
    return true;
}

namespace {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Watches the container for the state file's replacements. The watch ends when the directory is
// removed or moved away, and is made again once a directory is back in its place.
class ContainerWatch {
public:
    ContainerWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), dir_(containerDirectoryPath()) {}
    ~ContainerWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    bool watching() const { return watch_ >= 0; }
    void renew() {
        if (fd_ < 0 || watch_ >= 0 || dir_.empty()) return;
        watch_ = inotify_add_watch(fd_, dir_.c_str(),
                                   IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_ONLYDIR);
    }
    // Reads what arrived. True when either buffer file was written or replaced.
    bool drain() {
        alignas(inotify_event) char buf[4096];
        bool changed = false;
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if (e->mask & IN_MOVE_SELF) {
                    // Moved away: the watch would follow the old directory, not the path.
                    inotify_rm_watch(fd_, watch_);
                    watch_ = -1;
                } else if (e->wd == watch_ && (e->mask & IN_IGNORED)) {
                    watch_ = -1;  // the directory is gone
                }
                if (e->len && (std::strcmp(e->name, kFrameStateFileName) == 0 || std::strcmp(e->name, kFrameFileName) == 0))
                    changed = true;
            }
        }
        return changed;
    }

private:
    int fd_;
    int watch_ = -1;
    std::string dir_;
};

}  // namespace

bool CameraProgram::run() {
    ContainerWatch watch;
    const double period = 1.0 / options_.fps;
    const double start = monotonicSeconds();
    double nextTick = start;
    while (!stop_.load()) {
        watch.renew();
        double now = monotonicSeconds();
        if (options_.maxSeconds >= 0 && now - start >= options_.maxSeconds) break;
        if (now >= nextTick) {
            const double wall = wallClockSeconds();
            look(wall);  // also where the watch is missing or an event was lost
            if (!tick(wall)) return false;
            if (options_.maxFrames >= 0 && stats_.framesWritten >= options_.maxFrames) break;
            nextTick += period;
            now = monotonicSeconds();
            if (nextTick <= now) {
                // The sink held us up: drop the missed ticks rather than send them in a burst.
                const double missed = std::floor((now - nextTick) / period) + 1;
                stats_.ticksSkipped += int64_t(missed);
                nextTick += missed * period;
            }
            continue;
        }
        const double wait = nextTick - now;
        timespec timeout{time_t(wait), long((wait - std::floor(wait)) * 1e9)};
        if (watch.watching()) {
            pollfd pfd{watch.fd(), POLLIN, 0};
            if (::ppoll(&pfd, 1, &timeout, nullptr) > 0 && watch.drain()) look(wallClockSeconds());
        } else {
            // No watch (no container yet, or inotify unavailable): look at every tick only, and
            // come back often to renew the watch.
            const double nap = std::min(wait, 0.005);
            timespec shortWait{0, long(nap * 1e9)};
            ::nanosleep(&shortWait, nullptr);
        }
    }
    return true;
}

}  // namespace ostrela::camera
