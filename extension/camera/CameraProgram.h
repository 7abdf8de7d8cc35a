#pragma once
// The loop of the "Ostrela" camera program: follow the shared frame buffer and hand every new
// frame to a sink, repeating the last picture at a steady rate, and showing the idle still
// before the first frame and whenever the application has stopped publishing.
#include "extension/camera/FrameReader.h"
#include "extension/camera/FrameSinks.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace ostrela::camera {

struct CameraProgramOptions {
    int fps = 30;                 // rate at which a still picture is repeated
    double idleAfterSeconds = 1.0;
    int64_t maxFrames = -1;       // stop after this many frames written (tests); -1: forever
    double maxSeconds = -1;       // stop after this long (tests); -1: forever
};

struct CameraProgramStats {
    int64_t framesWritten = 0;
    int64_t liveFrames = 0;   // frames taken from new generations
    int64_t idleFrames = 0;   // idle stills written
    uint64_t lastGeneration = 0;
};

class CameraProgram {
public:
    CameraProgram(FrameSink& sink, CameraProgramOptions options);
    // Runs until the sink fails, a limit is reached or stop() is called. False when the sink failed.
    bool run();
    void stop() { stop_.store(true); }
    const CameraProgramStats& stats() const { return stats_; }

    // One step, for tests: looks at the buffer once and writes at most one frame.
    // `now` is wall-clock seconds since 1970.
    bool step(double now, bool repeatDue);

private:
    FrameSink& sink_;
    CameraProgramOptions options_;
    FrameReader reader_;
    std::vector<uint8_t> frame_;
    bool haveLive_ = false;
    bool haveGeneration_ = false;
    uint64_t generation_ = 0;
    double lastAdvance_ = 0;   // our clock when the generation last changed
    double stateTimestamp_ = 0;
    CameraProgramStats stats_;
    std::atomic<bool> stop_{false};
};

}  // namespace ostrela::camera
