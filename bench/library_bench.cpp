// Video play-out costs: decoding 1080p H.264 to BGRA, playing it out at 30 fps through
// currentFrame, and currentFrame when no new frame is due.
#include "library/VideoDecoder.h"
#include "library/VideoPlaybackService.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"

#include <QColor>
#include <vector>

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

// Real-time play-out through the per-frame step: for 3 s, every 1/30 s the frame due is taken and
// composed into an output frame. "dropped" counts output frames that did not show the frame due
// at that moment; "late" counts output frames not finished before the next one was due.
void BM_PlayOut1080pAt30fps(benchmark::State& state) {
    if (clip1080p().empty()) {
        state.SkipWithError("no clip");
        return;
    }
    double dropped = 0, frames = 0, late = 0;
    ostrela::FrameComposer composer;
    QImage camera(1280, 720, QImage::Format_ARGB32_Premultiplied);
    camera.fill(QColor(40, 90, 160));
    std::vector<uint8_t> out(ostrela::kFrameBytes);
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
            composer.render(camera, frame ? &*frame : nullptr, due, out.data());
            frames += 1;
            if (service.currentFrameSeconds() < due - 1.5 / 30.0) dropped += 1;
            if (std::chrono::steady_clock::now() > start + std::chrono::microseconds((i + 1) * 33333)) late += 1;
        }
        service.unload();
    }
    state.counters["frames"] = frames;
    state.counters["dropped"] = dropped;
    state.counters["late"] = late;
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
