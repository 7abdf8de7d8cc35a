// The layers over the effect: the overlay card (plain and fancy), the camera picture-in-picture
// and the lower-third bar (still and scrolling), each as the whole per-frame step including the
// publish into the mapped frame buffer, at 1280×720.
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"

#include <benchmark/benchmark.h>

#include <QPainter>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace ostrela;

namespace {

double percentile95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

#define CARDS_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true) \
        ->ComputeStatistics("p95", percentile95)->UseRealTime()

QImage gradientFrame(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(20, 40, 200));
    g.setColorAt(1, QColor(230, 180, 40));
    p.fillRect(img.rect(), g);
    return img;
}

// Private settings and container directories with a 1000×500 overlay picture (partly transparent).
struct CardsEnv {
    QTemporaryDir dir;
    CardsEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/config").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/container").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
        QDir().mkpath(dir.path() + "/container");
        QImage overlay(1000, 500, QImage::Format_ARGB32_Premultiplied);
        overlay.fill(QColor(200, 40, 40));
        QPainter p(&overlay);
        p.fillRect(0, 0, 1000, 150, QColor(250, 220, 0));
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.drawEllipse(QPointF(750, 340), 140, 140);
        p.end();
        overlay.save(dir.path() + "/container/overlay.png");
    }
    void reset() {
        for (const char* k : {keys::overlayImageEnabled, keys::fancyModeEnabled, keys::lowerThirdEnabled,
                              keys::lowerThirdText, keys::lowerThirdAlwaysScroll, keys::videoCameraPiPEnabled,
                              keys::isOverlayFullScreen})
            SettingsStore::suite()->remove(k);
    }
};

CardsEnv& env() {
    static CardsEnv e;
    return e;
}

double processSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec) + ru.ru_utime.tv_usec / 1e6 + double(ru.ru_stime.tv_sec) + ru.ru_stime.tv_usec / 1e6;
}

void step(benchmark::State& state, bool video) {
    uint8_t* frame = openFrameBuffer(true);
    if (!frame) {
        state.SkipWithError("cannot open the frame buffer");
        return;
    }
    const QImage cam = gradientFrame(1280, 720);
    const QImage videoFrame = gradientFrame(1920, 1080);
    FrameComposer composer;
    uint64_t generation = 0;
    double t = 1000;
    composer.render(cam, video ? &videoFrame : nullptr, t, frame);  // caches filled
    const double cpu0 = processSeconds();
    for (auto _ : state) {
        composer.render(cam, video ? &videoFrame : nullptr, t, frame);
        writeFrameState(++generation);  // the publish step
        t += 1.0 / 30;
    }
    // Processor time of all threads per frame: what the step costs when the machine is busy.
    state.counters["cpu_ms_per_frame"] = (processSeconds() - cpu0) * 1000.0 / double(state.iterations());
    state.counters["overlay_decodes"] = composer.cards().overlayDecodes();
    state.counters["card_renders"] = composer.cards().cardRenders();
    state.counters["bar_backgrounds"] = composer.bar().backgroundDraws();
    state.counters["text_layouts"] = composer.bar().textLayouts();
}

// The budget case: fancy overlay card and a scrolling ticker.
void BM_FancyOverlayAndScrollingBar(benchmark::State& state) {
    env().reset();
    settings::setFancyModeEnabled(true);
    settings::setLowerThirdEnabled(true);
    settings::setLowerThirdAlwaysScroll(true);
    settings::setLowerThirdText(QStringLiteral("Breaking: the ticker scrolls across the whole bar, seamlessly"));
    step(state, false);
}

void BM_OverlayCard(benchmark::State& state) {
    env().reset();
    step(state, false);
}

void BM_StillBar(benchmark::State& state) {
    env().reset();
    settings::setOverlayImageEnabled(false);
    settings::setLowerThirdEnabled(true);
    settings::setLowerThirdText(QStringLiteral("Good morning"));
    step(state, false);
}

void BM_VideoWithCameraPiPAndBar(benchmark::State& state) {
    env().reset();
    settings::setVideoCameraPiPEnabled(true);
    settings::setLowerThirdEnabled(true);
    settings::setLowerThirdText(QStringLiteral("Now showing"));
    step(state, true);
}

// The design window's preview: one bar image per call, caches kept.
void BM_BarImageForPreview(benchmark::State& state) {
    LowerThirdBarRenderer renderer;
    LowerThirdBarStyle style;
    style.alwaysScroll = true;
    double t = 1000;
    for (auto _ : state) {
        QImage img = renderer.image(style, QStringLiteral("Weather 72°F ☀️ · Breaking news"), t);
        benchmark::DoNotOptimize(img.constBits());
        t += 1.0 / 30;
    }
}

// Drawing a bar from nothing, as a cold start or a text change does.
void BM_BarFromScratch(benchmark::State& state) {
    LowerThirdBarStyle style;
    for (auto _ : state) {
        QImage img = drawLowerThirdBar(style, QStringLiteral("Weather 72°F ☀️ · Breaking news"), 1000);
        benchmark::DoNotOptimize(img.constBits());
    }
}

}  // namespace

CARDS_BENCH(BM_FancyOverlayAndScrollingBar);
CARDS_BENCH(BM_OverlayCard);
CARDS_BENCH(BM_StillBar);
CARDS_BENCH(BM_VideoWithCameraPiPAndBar);
CARDS_BENCH(BM_BarImageForPreview);
CARDS_BENCH(BM_BarFromScratch);
