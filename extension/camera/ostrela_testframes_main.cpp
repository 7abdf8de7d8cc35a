// ostrela-testframes: publishes moving colour bars through the real frame-buffer writer, so the
// camera program can be exercised without the application or a camera.
#include "extension/camera/TestFrames.h"
#include "pipeline/FrameBuffer.h"

#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: ostrela-testframes [--frames N] [--fps N] [--help] [--version]\n"
                 "Writes moving colour bars with a frame counter into Ostrela's shared frame buffer,\n"
                 "standing in for the application; --frames stops after N frames (default: never).\n");
}

}  // namespace

int main(int argc, char** argv) {
    long long frames = -1;
    int fps = 30;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) frames = std::atoll(argv[++i]);
        else if (a == "--fps" && i + 1 < argc) fps = std::atoi(argv[++i]);
        else if (a == "--help" || a == "-h") { usage(stdout); return 0; }
        else if (a == "--version") { std::printf("ostrela-testframes %s\n", OSTRELA_VERSION); return 0; }
        else {
            usage(stderr);
            return 2;
        }
    }
    if (fps < 1 || fps > 240) {
        std::fprintf(stderr, "ostrela-testframes: --fps must be between 1 and 240\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    uint8_t* buffer = ostrela::openFrameBuffer(true);
    if (!buffer) {
        std::fprintf(stderr, "ostrela-testframes: Could not open the shared frame buffer\n");
        return 1;
    }
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto next = clock::now();
    for (uint64_t generation = 1; frames < 0 || generation <= uint64_t(frames); ++generation) {
        (void)ostrela::refreshFrameBuffer(buffer);
        ostrela::camera::drawTestFrame(buffer, generation);
        ostrela::writeFrameState(generation);
        next += period;
        std::this_thread::sleep_until(next);
    }
    return 0;
}
