// The image engine's primitives and the whole per-frame step, at the output size (1280×720).
#include "effects/Effects.h"
#include "effects/Kernels.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Renderer.h"

#include <benchmark/benchmark.h>

#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <cstdlib>
#include <vector>

using namespace ostrela;
using namespace ostrela::engine;

namespace {

QImage testFrame(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(20, 40, 200));
    g.setColorAt(0.5, QColor(230, 180, 40));
    g.setColorAt(1, QColor(10, 120, 60));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(Qt::white, 3));
    for (int i = 0; i < 40; ++i) p.drawLine(i * w / 40, 0, w - i * w / 40, h);
    return img;
}

double percentile95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

// Every benchmark reports the median and the 95th percentile over repetitions.
#define OSTRELA_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true) \
        ->ComputeStatistics("p95", percentile95)->UseRealTime()

// A private settings and container directory for the frame-step benchmarks.
struct BenchEnv {
    QTemporaryDir dir;
    BenchEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/config").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/container").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
    }
};

BenchEnv& benchEnv() {
    static BenchEnv env;
    return env;
}

void frameStep(benchmark::State& state, int w, int h) {
    benchEnv();
    uint8_t* frame = openFrameBuffer(true);
    if (!frame) {
        state.SkipWithError("cannot open the frame buffer");
        return;
    }
    QImage cam = testFrame(w, h);
    static FrameComposer composer;  // kept across frames, as the engine keeps it
    uint64_t generation = 0;
    double t = 1000;
    for (auto _ : state) {
        composer.render(cam, nullptr, t, frame);
        writeFrameState(++generation);  // the publish step
        t += 1.0 / 30;
    }
}

void BM_FrameStepNone_1280x720(benchmark::State& s) { frameStep(s, 1280, 720); }
void BM_FrameStepNone_640x480(benchmark::State& s) { frameStep(s, 640, 480); }
void BM_FrameStepNone_1920x1080(benchmark::State& s) { frameStep(s, 1920, 1080); }

long residentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 10,000 frames of the per-frame step on a 4:3 camera: resident memory after the first 1,000
// (buffers and arenas warmed up) against after the last, in KiB.
void BM_SteadyStateMemory10000Frames(benchmark::State& state) {
    benchEnv();
    uint8_t* frame = openFrameBuffer(true);
    QImage cam = testFrame(640, 480);
    FrameComposer composer;
    long warm = 0, end = 0;
    for (auto _ : state) {
        uint64_t generation = 0;
        for (int i = 0; i < 10000; ++i) {
            composer.render(cam, nullptr, 1000 + i / 30.0, frame);
            writeFrameState(++generation);
            if (i == 999) warm = residentKiB();
        }
        end = residentKiB();
    }
    state.counters["rss_after_1000_KiB"] = double(warm);
    state.counters["growth_KiB"] = double(end - warm);
}

struct Fixture {
    QImage cam = testFrame(1280, 720);
    Image src = Image::fromQImage(cam);
    std::vector<uint8_t> out = std::vector<uint8_t>(kFrameBytes);
    Renderer renderer;
    void render(const Image& im) { renderer.render(im, {0, 0, 1280, 720}, out.data(), kFrameStride); }
};

void BM_GaussianBlur(benchmark::State& state) {
    static Fixture f;  // one renderer for the whole run, as in the product
    const double sigma = double(state.range(0)) / 2.0;
    for (auto _ : state) f.render(f.src.clampedToExtent().gaussianBlur(sigma).cropped({0, 0, 1280, 720}));
    state.SetLabel("sigma " + std::to_string(sigma));
}

void BM_PerPixelChain(benchmark::State& state) {
    static Fixture f;  // one renderer for the whole run, as in the product
    ColorMatrix sat = identityMatrix();
    sat[0] = 1.2f; sat[1] = -0.1f; sat[2] = -0.1f;
    ColorMatrix bright = identityMatrix();
    bright[4] = bright[9] = bright[14] = 0.05f;
    for (auto _ : state)
        f.render(f.src.colorMatrix(sat).colorMatrix(bright).pixelOp(std::make_shared<effects::ThermalMapOp>()));
}

void BM_Composite(benchmark::State& state) {
    static Fixture f;  // one renderer for the whole run, as in the product
    Image card = Image::fromQImage(testFrame(420, 240)).translated(820, 440);
    Image dim = Image::solid(Color{0, 0, 0, 0.3f}).cropped({0, 0, 1280, 100});
    for (auto _ : state) f.render(card.composited(dim.composited(f.src)));
}

void BM_FinalWrite(benchmark::State& state) {
    // Decode into the working space and encode straight back: the float path's floor.
    static Fixture f;  // one renderer for the whole run, as in the product
    for (auto _ : state) f.render(f.src.colorMatrix(identityMatrix()));
}

void BM_Warp(benchmark::State& state) {
    static Fixture f;  // one renderer for the whole run, as in the product
    double t = 0;
    for (auto _ : state) {
        f.render(effects::applyWarp(f.src, std::make_shared<effects::OldTVWaveKernel>(6.0f, 0.05f, float(t))));
        t += 0.1;
    }
}

void BM_DropoutLines(benchmark::State& state) {
    double t = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(effects::dropoutLines(1280, 720, t));
        t += 1.0 / 30;
    }
}

}  // namespace

OSTRELA_BENCH(BM_FrameStepNone_1280x720);
OSTRELA_BENCH(BM_FrameStepNone_640x480);
OSTRELA_BENCH(BM_FrameStepNone_1920x1080);
OSTRELA_BENCH(BM_GaussianBlur)->Arg(4)->Arg(12)->Arg(24);  // σ = arg / 2: 2, 6, 12
OSTRELA_BENCH(BM_PerPixelChain);
OSTRELA_BENCH(BM_Composite);
OSTRELA_BENCH(BM_FinalWrite);
OSTRELA_BENCH(BM_Warp);
OSTRELA_BENCH(BM_DropoutLines);
BENCHMARK(BM_SteadyStateMemory10000Frames)->Unit(benchmark::kMillisecond)->Iterations(1);
