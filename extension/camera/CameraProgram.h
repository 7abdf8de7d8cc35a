#pragma once
// The loop of the "Ostrela" camera program. Frames are taken from the shared buffer as soon as the
// application announces them (a file watch on the container), and sent on an output clock of its
// own: each tick sends exactly one frame, the newest whole one, so the sink's real rate is the
// rate it announces. A frame is sent live once; later ticks repeat it until the application stops
// publishing for more than a second, then the idle still is shown.
#include "extension/camera/FrameReader.h"
#include "extension/camera/FrameSinks.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace ostrela::camera {

struct CameraProgramOptions {
    int fps = 30;  // the output clock
    double idleAfterSeconds = 1.0;
    int64_t maxFrames = -1;  // stop after this many frames written (tests); -1: forever
    double maxSeconds = -1;  // stop after this long (tests); -1: forever
};

struct CameraProgramStats {
    int64_t framesWritten = 0;
    int64_t liveFrames = 0;      // ticks that sent a frame for the first time
    int64_t repeatFrames = 0;    // ticks that sent the last live frame again
    int64_t idleFrames = 0;      // ticks that sent the idle still
    int64_t framesTaken = 0;     // announced frames copied whole
    int64_t framesRejected = 0;  // announced frames whose copy was not whole
    int64_t ticksSkipped = 0;    // ticks dropped because the sink fell behind
    uint64_t lastGeneration = 0;
};

class CameraProgram {
public:
    CameraProgram(FrameSink& sink, CameraProgramOptions options);
    // Runs until the sink fails, a limit is reached or stop() is called. False when the sink failed.
    bool run();
    void stop() { stop_.store(true); }
    const CameraProgramStats& stats() const { return stats_; }
    // Called after every tick (the program reports the sink's state from here).
    void setAfterTick(std::function<void()> f) { afterTick_ = std::move(f); }

    // Looks at the state record once and takes the announced frame when it is new. `now` is
    // wall-clock seconds since 1970.
    void look(double now);
    // One tick of the output clock: writes exactly one frame. False when the sink failed.
    bool tick(double now);

private:
    FrameSink& sink_;
    CameraProgramOptions options_;
    FrameReader reader_;
    std::vector<uint8_t> frame_;    // the newest whole frame
    std::vector<uint8_t> scratch_;  // where a copy lands until it is known to be whole
    bool haveRecord_ = false;
    FrameState record_;          // the last record seen
    bool retake_ = false;        // its copy failed: try again at the next look
    bool haveLive_ = false;
    bool unsent_ = false;        // frame_ has not been sent yet
    double lastAdvance_ = 0;     // our clock when a frame was last taken
    CameraProgramStats stats_;
    std::function<void()> afterTick_;
    std::atomic<bool> stop_{false};
};

}  // namespace ostrela::camera
