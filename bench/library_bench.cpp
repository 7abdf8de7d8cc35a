// Video play-out costs: decoding 1080p H.264 to BGRA, playing it out at 30 fps through
// currentFrame, and currentFrame when no new frame is due.
#include "library/VideoDecoder.h"
#include "library/VideoPlaybackService.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

const std::string& clip1080p() {
    static QTemporaryDir dir;
    static std::string path;
    if (path.empty()) {
        path = dir.path().toStdString() + "/hd.mp4";
        const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=4 "
                                "-c:v libx264 -preset veryfast -pix_fmt yuv420p '" + path + "'";
        if (std::system(cmd.c_str()) != 0) path.clear();
    }
    return path;
}

void BM_Decode1080pH264ToBGRA(benchmark::State& state) {
    ostrela::VideoDecoder decoder;
    if (clip1080p().empty() || !decoder.open(QString::fromStdString(clip1080p()))) {
        state.SkipWithError("no clip");
        return;
    }
    for (auto _ : state) {
        auto frame = decoder.nextFrame();
        if (!frame) {
            state.PauseTiming();
            decoder.seek(0);
            state.ResumeTiming();
            continue;
        }
        benchmark::DoNotOptimize(frame->image.constBits());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decode1080pH264ToBGRA)->Unit(benchmark::kMillisecond);

// Real-time play-out: one currentFrame call per 1/30 s output frame for 3 s. "dropped" counts
// output frames that did not show the frame due at that moment.
void BM_PlayOut1080pAt30fps(benchmark::State& state) {
    if (clip1080p().empty()) {
        state.SkipWithError("no clip");
        return;
    }
    double dropped = 0, frames = 0;
    for (auto _ : state) {
        ostrela::VideoPlaybackService service;
        service.load(QString::fromStdString(clip1080p()));
        while (!service.currentFrame()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        service.togglePlayPause();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 1; i <= 90; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 33333));
            const double due = i / 30.0;
            auto frame = service.currentFrame();
            benchmark::DoNotOptimize(frame);
            frames += 1;
            if (service.currentFrameSeconds() < due - 1.5 / 30.0) dropped += 1;
        }
        service.unload();
    }
    state.counters["frames"] = frames;
    state.counters["dropped"] = dropped;
}
BENCHMARK(BM_PlayOut1080pAt30fps)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_CurrentFrameWhenNoneIsDue(benchmark::State& state) {
    if (clip1080p().empty()) {
        state.SkipWithError("no clip");
        return;
    }
    ostrela::VideoPlaybackService service;
    service.load(QString::fromStdString(clip1080p()));
    while (!service.currentFrame()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uchar* bits = service.currentFrame()->constBits();
    for (auto _ : state) {
        auto frame = service.currentFrame();
        if (frame->constBits() != bits) state.SkipWithError("frame was copied");
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(BM_CurrentFrameWhenNoneIsDue);

}  // namespace
