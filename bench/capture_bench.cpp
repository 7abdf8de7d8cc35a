// Capture-side costs per 1280×720 frame: device format → BGRA, the fit into the frame buffer,
// and convert + fit + publish together.
#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/capture/PixelConversion.h"
#include "pipeline/capture/SyntheticCamera.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace ostrela;
using namespace ostrela::capture;

namespace {

struct Encoded {
    std::vector<uint8_t> bytes;
    int stride = 0;
};

Encoded pattern(uint32_t pixelFormat, int w = 1280, int h = 720) {
    std::vector<uint8_t> bgra(size_t(w) * h * 4);
    renderTestPattern(bgra.data(), w, h, w * 4, 17);
    Encoded e;
    e.bytes = encodeBGRA(bgra.data(), w, h, w * 4, pixelFormat, &e.stride, 85);
    return e;
}

void convertBench(benchmark::State& state, uint32_t pixelFormat) {
    Encoded e = pattern(pixelFormat);
    FrameConverter conv;
    QImage out;
    RawFrame f{pixelFormat, 1280, 720, e.stride, e.bytes.data(), e.bytes.size(), 0};
    for (auto _ : state) {
        if (!conv.convert(f, out)) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.constBits());
    }
}

void BM_ConvertYUYVToBGRA_720p(benchmark::State& s) { convertBench(s, kPixelFormatYUYV); }
void BM_ConvertNV12ToBGRA_720p(benchmark::State& s) { convertBench(s, kPixelFormatNV12); }
void BM_ConvertMJPEGToBGRA_720p(benchmark::State& s) { convertBench(s, kPixelFormatMJPEG); }

void BM_FitToFrame(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    std::vector<uint8_t> bgra(size_t(w) * h * 4);
    renderTestPattern(bgra.data(), w, h, w * 4, 3);
    QImage src(bgra.data(), w, h, w * 4, kCameraImageFormat);
    std::vector<uint8_t> dst(kFrameBytes);
    for (auto _ : state) {
        CameraEngine::renderFittedFrame(src, nullptr, 0, dst.data());
        benchmark::DoNotOptimize(dst.data());
    }
}

// Everything the engine does for one YUYV frame with no effect: conversion, fit, writing the
// mapped "frame.raw" and replacing "frame_state.bin".
void BM_CaptureConvertAndPublishYUYV_720p(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("OSTRELA_CONTAINER_DIR", dir.path().toLocal8Bit().constData(), 1);
    uint8_t* frame = openFrameBuffer(true);
    if (!frame) {
        state.SkipWithError("no frame buffer");
        return;
    }
    Encoded e = pattern(kPixelFormatYUYV);
    FrameConverter conv;
    QImage camera;
    RawFrame f{kPixelFormatYUYV, 1280, 720, e.stride, e.bytes.data(), e.bytes.size(), 0};
    uint64_t generation = 0;
    for (auto _ : state) {
        conv.convert(f, camera);
        CameraEngine::renderFittedFrame(camera, nullptr, frameTimeNow(), frame);
        writeFrameState(++generation);
    }
    unsetenv("OSTRELA_CONTAINER_DIR");
}

}  // namespace

BENCHMARK(BM_ConvertYUYVToBGRA_720p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertNV12ToBGRA_720p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertMJPEGToBGRA_720p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FitToFrame)->Args({1280, 720})->Args({1920, 1080})->Args({640, 480})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureConvertAndPublishYUYV_720p)->Unit(benchmark::kMillisecond);
