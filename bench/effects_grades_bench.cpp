// The colour-grade looks in the whole per-frame step (fit, settings, effect, render into the
// mapped frame, publish), 1280×720 camera, and what their shortcuts change in the picture.
#include "effects/ColorGradeEffects.h"
#include "effects/Effects.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "pipeline/SettingsKeys.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include <benchmark/benchmark.h>

#include <QPainter>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ostrela;

namespace {

// A camera-like picture: smooth gradients, hard edges and some fine texture.
QImage cameraFrame(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(30, 60, 170));
    g.setColorAt(0.5, QColor(220, 170, 120));
    g.setColorAt(1, QColor(20, 110, 70));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(QColor(250, 250, 240), 3));
    for (int i = 0; i < 30; ++i) p.drawLine(i * w / 30, 0, w - i * w / 30, h);
    p.setBrush(QColor(90, 40, 30));
    p.drawEllipse(QPoint(w / 2, h / 2), w / 6, h / 4);
    return img;
}

struct GradeBenchEnv {
    QTemporaryDir dir;
    GradeBenchEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/config").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/container").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
    }
};

GradeBenchEnv& env() {
    static GradeBenchEnv e;
    return e;
}

// User and system time of every thread of the process, in ms.
double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// 300 frames of the per-frame step per run; counters give the per-frame median and p95 in ms.
void frameStep(benchmark::State& state, const char* effect) {
    env();
    uint8_t* frame = openFrameBuffer(true);
    SettingsStore* suite = SettingsStore::suite();
    if (!frame || !suite) {
        state.SkipWithError("cannot open the frame buffer or the settings");
        return;
    }
    suite->set(keys::videoEffect, QString::fromUtf8(effect));
    static const QImage cam = cameraFrame(1280, 720);
    static FrameComposer composer;  // kept across frames, as the engine keeps it
    static uint64_t generation = 0;
    double t = 7.8e8;
    for (int i = 0; i < 10; ++i) composer.render(cam, nullptr, t, frame);  // first-use set-up
    std::vector<double> ms;
    const double cpu0 = processCpuMs();
    for (auto _ : state) {
        for (int i = 0; i < 300; ++i) {
            const auto start = std::chrono::steady_clock::now();
            composer.render(cam, nullptr, t, frame);
            writeFrameState(++generation);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            t += 1.0 / 30;
        }
    }
    // CPU time per frame over both render threads: on a machine shared with other work the
    // wall times above stretch, this does not (much); half of it is the two-core floor.
    state.counters["cpu_ms_per_frame"] = (processCpuMs() - cpu0) / double(std::max<size_t>(ms.size(), 1));
    state.counters["median_ms"] = percentile(ms, 0.5);
    state.counters["p95_ms"] = percentile(ms, 0.95);
    state.SetLabel(effect);
}

// Largest and mean 8-bit difference, the share of differing channel values and of those off by
// more than 8 levels, between the
// frame with the shortcuts and the frame computed by the filters alone.
void reportDifference(benchmark::State& state, const QImage& fast, const QImage& exact) {
    int maxDiff = 0;
    double sum = 0;
    long differing = 0, over8 = 0;
    const long n = long(fast.width()) * fast.height() * 4;
    for (int y = 0; y < fast.height(); ++y) {
        const uint8_t* a = fast.constScanLine(y);
        const uint8_t* b = exact.constScanLine(y);
        for (int i = 0; i < fast.width() * 4; ++i) {
            const int d = std::abs(int(a[i]) - int(b[i]));
            maxDiff = std::max(maxDiff, d);
            sum += d;
            differing += d != 0;
            over8 += d > 8;
        }
    }
    state.counters["max_diff"] = maxDiff;
    state.counters["mean_diff"] = sum / double(n);
    state.counters["differing_pct"] = 100.0 * double(differing) / double(n);
    state.counters["over8_pct"] = 100.0 * double(over8) / double(n);
}

void shortcutDifference(benchmark::State& state, VideoEffect effect) {
    const engine::Image src = effects::fitToOutput(engine::Image::fromQImage(cameraFrame(1280, 720)));
    engine::Renderer renderer(2, 64);
    const double t = 7.8e8 + 0.37;
    QImage fast, exact;
    effects::EffectSet looks;
    for (auto _ : state) {
        engine::setStraightforwardChains(false);
        fast = renderer.renderQImage(effects::applyVideoEffect(looks, effect, src, t, 0), {0, 0, 1280, 720});
        engine::setStraightforwardChains(true);
        exact = renderer.renderQImage(effects::applyVideoEffect(looks, effect, src, t, 0), {0, 0, 1280, 720});
        engine::setStraightforwardChains(false);
    }
    reportDifference(state, fast, exact);
    state.SetLabel(rawValue(effect));
}

// The rain alone, laid out and composited from the kept glyphs, frame after frame.
void BM_GlyphRainOverlay(benchmark::State& state) {
    engine::Renderer renderer(2, 64);
    std::vector<uint8_t> out(kFrameBytes);
    const auto glyphs = effects::glyphCache();
    double t = 7.8e8;
    for (auto _ : state) {
        renderer.render(effects::glyphRain(1280, 720, t, glyphs), {0, 0, 1280, 720}, out.data(), kFrameStride);
        t += 1.0 / 30;
    }
}

#define GRADE_STEP(name, raw)                                              \
    void BM_FrameStep_##name(benchmark::State& s) { frameStep(s, raw); } \
    BENCHMARK(BM_FrameStep_##name)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
#define GRADE_DIFF(name, effect)                                                             \
    void BM_ShortcutDifference_##name(benchmark::State& s) { shortcutDifference(s, effect); } \
    BENCHMARK(BM_ShortcutDifference_##name)->Unit(benchmark::kMillisecond)->Iterations(1);

GRADE_STEP(Thermal, "thermal")
GRADE_STEP(NightOps, "nightOps")
GRADE_STEP(Xray, "xray")
GRADE_STEP(Noir, "noir")
GRADE_STEP(Anaglyph3D, "anaglyph3D")
GRADE_STEP(Snow, "snow")
GRADE_STEP(CyberOps, "cyberOps")

GRADE_DIFF(Thermal, VideoEffect::thermal)
GRADE_DIFF(NightOps, VideoEffect::nightOps)
GRADE_DIFF(Xray, VideoEffect::xray)
GRADE_DIFF(Noir, VideoEffect::noir)
GRADE_DIFF(Anaglyph3D, VideoEffect::anaglyph3D)
GRADE_DIFF(Snow, VideoEffect::snow)
GRADE_DIFF(CyberOps, VideoEffect::cyberOps)

}  // namespace

BENCHMARK(BM_GlyphRainOverlay)->Unit(benchmark::kMillisecond)->UseRealTime();
