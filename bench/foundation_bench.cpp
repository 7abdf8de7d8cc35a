// Conversions done by the camera program for every frame, and the per-frame settings read.
#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/Settings.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <vector>

using namespace ostrela;

namespace {

std::vector<uint8_t> testFrame() {
    std::vector<uint8_t> f(kFrameBytes);
    for (size_t i = 0; i < kFrameBytes; ++i) f[i] = uint8_t((i * 2654435761u) >> 13);
    for (size_t i = 3; i < kFrameBytes; i += 4) f[i] = 255;
    return f;
}

void BM_BgraToYuyv(benchmark::State& state) {
    auto frame = testFrame();
    std::vector<uint8_t> out(size_t(kFrameWidth) * kFrameHeight * 2);
    for (auto _ : state) {
        camera::bgraToYuyv(frame.data(), kFrameStride, out.data(), kFrameWidth * 2, kFrameWidth, kFrameHeight);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BgraToYuyv)->Unit(benchmark::kMillisecond);

void BM_BgraToI420(benchmark::State& state) {
    auto frame = testFrame();
    std::vector<uint8_t> out(size_t(camera::i420Size(kFrameWidth, kFrameHeight)));
    for (auto _ : state) {
        camera::bgraToI420(frame.data(), kFrameStride, out.data(), kFrameWidth, kFrameHeight);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BgraToI420)->Unit(benchmark::kMillisecond);

void BM_SettingsRead(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("OSTRELA_CONFIG_DIR", dir.path().toUtf8().constData(), 1);
    SettingsStore::resetForTesting();
    settings::setLowerThirdBarOpacity(0.8);
    settings::setVideoEffect(VideoEffect::vhs);
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings::lowerThirdBarOpacity());
        benchmark::DoNotOptimize(settings::videoEffect());
    }
    state.SetItemsProcessed(state.iterations() * 2);
    unsetenv("OSTRELA_CONFIG_DIR");
    SettingsStore::resetForTesting();
}
BENCHMARK(BM_SettingsRead);

void BM_WriteFrameState(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("OSTRELA_CONTAINER_DIR", dir.path().toUtf8().constData(), 1);
    uint64_t g = 0;
    for (auto _ : state) writeFrameState(++g);
    unsetenv("OSTRELA_CONTAINER_DIR");
}
BENCHMARK(BM_WriteFrameState)->Unit(benchmark::kMicrosecond);

}  // namespace


