// The per-frame step (fit, effect, compose, render into the mapped frame, publish) for the four
// heaviest looks at 1280×720: Flame, Drunk Mode, Dream Sequence and Mission Control.
#include "effects/DreamEffect.h"
#include "effects/DrunkEffect.h"
#include "pipeline/engine/Schedule.h"
#include "effects/Effects.h"
#include "effects/FlameEffect.h"
#include "effects/MissionControlEffect.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <benchmark/benchmark.h>

#include <QPainter>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

using namespace ostrela;

namespace {

QImage cameraPicture(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(40, 60, 180));
    g.setColorAt(0.5, QColor(220, 170, 60));
    g.setColorAt(1, QColor(20, 110, 70));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(Qt::white, 3));
    for (int i = 0; i < 40; ++i) p.drawLine(i * w / 40, 0, w - i * w / 40, h);
    return img;
}

double p95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Env {
    QTemporaryDir dir;
    Env() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/config").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/container").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
    }
};

// One frame per iteration, the clock advancing by a thirtieth of a second.
void frameStep(benchmark::State& state, VideoEffect effect, int w, int h, bool bar) {
    static Env env;
    settings::setVideoEffect(effect);
    settings::setLowerThirdEnabled(bar);
    uint8_t* frame = openFrameBuffer(true);
    if (!frame) {
        state.SkipWithError("cannot open the frame buffer");
        return;
    }
    const QImage cam = cameraPicture(w, h);
    static FrameComposer composer;  // kept across frames, as the engine keeps it
    static uint64_t generation = 0;
    double t = 820000000.0;
    for (int i = 0; i < 5; ++i) composer.render(cam, nullptr, t + i / 30.0, frame);  // memory filled, buffers warm
    t += 5 / 30.0;
    // Per-frame times as well, for the median and 95th percentile of single frames.
    std::vector<double> ms;
    const double cpu0 = processCpuMs();
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        composer.render(cam, nullptr, t, frame);
        writeFrameState(++generation);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        t += 1.0 / 30;
    }
    const double cpu = processCpuMs() - cpu0;
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        // CPU time of all threads per frame: what the frame costs, whatever else runs.
        state.counters["cpu_ms_per_frame"] = cpu / double(ms.size());
        state.counters["frame_median_ms"] = ms[ms.size() / 2];
        state.counters["frame_p95_ms"] = p95(ms);
    }
}

void BM_FrameStepNoEffect(benchmark::State& s) { frameStep(s, VideoEffect::none, 1280, 720, false); }
void BM_FrameStepFlame(benchmark::State& s) { frameStep(s, VideoEffect::flame, 1280, 720, false); }
void BM_FrameStepDrunkMode(benchmark::State& s) { frameStep(s, VideoEffect::drunkMode, 1280, 720, false); }
void BM_FrameStepDreamSequence(benchmark::State& s) { frameStep(s, VideoEffect::dreamSequence, 1280, 720, false); }
void BM_FrameStepMissionControl(benchmark::State& s) { frameStep(s, VideoEffect::missionControl, 1280, 720, true); }
void BM_FrameStepMissionControl_640x480(benchmark::State& s) { frameStep(s, VideoEffect::missionControl, 640, 480, true); }

void BM_MissionControlHUDBitmap(benchmark::State& state) {
    double t = 820000000.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(effects::mission::headsUpDisplay(1280, 720, t, 82.8));
        t += 1.0 / 30;
    }
}

// Dream Sequence with its soft layers made on the half grid against its plain chain over three
// frames (the echo in use): the largest and mean 8-bit difference of the 1280×720 frame.
void BM_DreamShortcutDifference(benchmark::State& state) {
    const engine::Image src = effects::fitToOutput(engine::Image::fromQImage(cameraPicture(1280, 720)));
    engine::Renderer renderer(2, 64);
    QImage out[2];
    for (auto _ : state)
        for (int plain = 0; plain < 2; ++plain) {
            effects::DreamSequence dream;
            engine::setStraightforwardChains(plain == 1);
            engine::Image im;
            for (int f = 0; f < 3; ++f) im = dream.render(src, 820000000.0 + f / 30.0);
            out[plain] = renderer.renderQImage(im, {0, 0, 1280, 720});
        }
    engine::setStraightforwardChains(false);
    int maxDiff = 0;
    double sum = 0;
    for (int y = 0; y < 720; ++y) {
        const uchar* a = out[0].constScanLine(y);
        const uchar* b = out[1].constScanLine(y);
        for (int i = 0; i < 1280 * 4; ++i) {
            const int d = std::abs(int(a[i]) - int(b[i]));
            maxDiff = std::max(maxDiff, d);
            sum += d;
        }
    }
    state.counters["max_diff"] = maxDiff;
    state.counters["mean_diff"] = sum / (1280.0 * 720 * 4);
}

}  // namespace

BENCHMARK(BM_DreamShortcutDifference)->Unit(benchmark::kMillisecond)->Iterations(1);

#define FX4_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true) \
        ->ComputeStatistics("p95", p95)->UseRealTime()

FX4_BENCH(BM_FrameStepNoEffect);
FX4_BENCH(BM_FrameStepFlame);
FX4_BENCH(BM_FrameStepDrunkMode);
FX4_BENCH(BM_FrameStepDreamSequence);
FX4_BENCH(BM_FrameStepMissionControl);
FX4_BENCH(BM_FrameStepMissionControl_640x480);
FX4_BENCH(BM_MissionControlHUDBitmap);

namespace {
// Where a Flame frame's time goes: each layer evaluated alone into pixels (CPU of all threads).
void BM_FlameLayers(benchmark::State& state) {
    const QImage cam = cameraPicture(1280, 720);
    const engine::Image in = engine::Image::fromQImage(cam);
    const engine::Rect E = in.extent();
    const engine::Rect band{E.x, E.y, E.w, 0.4 * E.h};
    double t = 820000000.0;
    double c[4] = {0, 0, 0, 0};
    int n = 0;
    effects::Flame flame;
    for (auto _ : state) {
        double c0 = processCpuMs();
        engine::materialize(effects::flame::grade(in, t));
        double c1 = processCpuMs();
        engine::materialize(effects::flame::fireLayer(E, t, band, &flame.caches()).cropped(band));
        double c2 = processCpuMs();
        engine::materialize(effects::flame::emberLayer(E, t, &flame.caches()));
        double c3 = processCpuMs();
        engine::materialize(flame.render(in, t));
        double c4 = processCpuMs();
        c[0] += c1 - c0, c[1] += c2 - c1, c[2] += c3 - c2, c[3] += c4 - c3;
        ++n;
        t += 1.0 / 30;
    }
    state.counters["grade_cpu"] = c[0] / n;
    state.counters["fire_cpu"] = c[1] / n;
    state.counters["ember_cpu"] = c[2] / n;
    state.counters["all_cpu"] = c[3] / n;
}
}  // namespace
BENCHMARK(BM_FlameLayers)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {
void BM_FlamePieces(benchmark::State& state) {
    namespace filters = engine::filters;
    const engine::Rect E{0, 0, 1280, 720};
    const engine::Rect band{0, 0, 1280, 288};
    const engine::Rect wide = band.insetBy(-16, -16).intersected(E);
    double t = 820000000.0;
    std::vector<double> c(11, 0.0);
    int n = 0;
    auto lap = [&](int i, const engine::Image& im) {
        double c0 = processCpuMs();
        engine::materialize(im);
        c[size_t(i)] += processCpuMs() - c0;
    };
    for (auto _ : state) {
        const double off = effects::flame::octaveOffset(22, 0, t);
        lap(0, filters::randomNoise().cropped(wide));
        lap(1, filters::randomNoise().translated(0, off).cropped(wide));
        lap(2, filters::randomNoise().translated(0, off).gaussianBlur(4.0).cropped(wide));
        lap(3, filters::randomNoise().translated(0, off).gaussianBlur(3.0).cropped(wide));
        lap(4, filters::randomNoise().translated(0, off).gaussianBlur(6.0).cropped(band));
        const engine::Point eo = effects::flame::emberOffset(1280, t);
        engine::Image sp = filters::randomNoise().translated(eo.x, eo.y).cropped(E);
        lap(5, sp);
        sp = filters::colorControls(sp, 1.0, -0.72, 10);
        lap(6, sp);
        sp = sp.gaussianBlur(1.4).cropped(E);
        lap(7, sp);
        sp = filters::falseColor(sp, engine::Color::fromSRGB(0, 0, 0, 0), engine::Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
        lap(8, sp);
        engine::Image fade = filters::linearGradient({640, 0}, {640, 720}, engine::Color::fromSRGB(1, 1, 1, 0.6), engine::Color::fromSRGB(1, 1, 1, 0)).cropped(E);
        lap(9, fade);
        lap(10, filters::blendWithMask(sp, engine::Image::empty(), fade));
        ++n;
        t += 1.0 / 30;
    }
    const char* names[11] = {"noise", "noise_tr", "blur4", "blur3", "blur6band", "em_noise", "em_tone", "em_blur", "em_false", "em_fade", "em_all"};
    for (int i = 0; i < 11; ++i) state.counters[names[i]] = c[size_t(i)] / n;
}
}  // namespace
BENCHMARK(BM_FlamePieces)->Unit(benchmark::kMillisecond)->UseRealTime();

namespace {
// Where a Drunk Mode frame's time goes (CPU of all threads per piece).
void BM_DrunkPieces(benchmark::State& state) {
    const QImage cam = cameraPicture(1280, 720);
    const engine::Image in = engine::Image::fromQImage(cam);
    const engine::Rect E = in.extent();
    double t = 820000000.0;
    std::vector<double> c(6, 0.0);
    int n = 0;
    auto lap = [&](int i, const engine::Image& im) {
        double c0 = processCpuMs();
        engine::Image r = engine::materialize(im);
        c[size_t(i)] += processCpuMs() - c0;
        return r;
    };
    effects::DrunkMode drunk;
    for (auto _ : state) {
        const engine::Image g = lap(0, effects::drunk::grade(in));
        const engine::Image b = lap(1, g.gaussianBlur(5.0).cropped(E));
        lap(2, g.gaussianBlur(5.0).translated(std::sin(1.6 * t) * 22, std::sin(1.1 * t) * 10).cropped(E));
        const engine::Image sh = lap(3, engine::resampled(g, effects::drunk::shakeTransform(t, 640, 360), E));
        lap(4, sh.gaussianBlur(effects::drunk::blurSigma(t)).cropped(E));
        lap(5, drunk.render(in, t));
        ++n;
        t += 1.0 / 30;
    }
    const char* names[6] = {"grade", "ghostblur", "ghostmoved", "shake", "finalblur", "all"};
    for (int i = 0; i < 6; ++i) state.counters[names[i]] = c[size_t(i)] / n;
    state.counters["sigma"] = effects::drunk::blurSigma(t);
}
}  // namespace
BENCHMARK(BM_DrunkPieces)->Unit(benchmark::kMillisecond)->UseRealTime();
