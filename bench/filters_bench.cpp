// The standard filters at the output size (1280×720), each rendered into a frame-sized BGRA8
// buffer by one renderer kept for the whole run, as in the product.
#include "pipeline/FrameBuffer.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <benchmark/benchmark.h>

#include <QPainter>

#include <algorithm>
#include <vector>

using namespace ostrela;
using namespace ostrela::engine;
namespace fl = ostrela::engine::filters;

namespace {

double p95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

#define FILTER_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true) \
        ->ComputeStatistics("p95", p95)->UseRealTime()

QImage frame() {
    QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, 1280, 720);
    g.setColorAt(0, QColor(20, 40, 200));
    g.setColorAt(0.5, QColor(230, 180, 40));
    g.setColorAt(1, QColor(10, 120, 60));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(Qt::white, 3));
    for (int i = 0; i < 40; ++i) p.drawLine(i * 32, 0, 1280 - i * 32, 720);
    return img;
}

struct Fixture {
    Image src = Image::fromQImage(frame());
    std::vector<uint8_t> out = std::vector<uint8_t>(kFrameBytes);
    Renderer renderer;
    void render(const Image& im) { renderer.render(im, {0, 0, 1280, 720}, out.data(), kFrameStride); }
};

Fixture& fx() {
    static Fixture f;
    return f;
}

template <typename Build>
void run(benchmark::State& state, Build build) {
    Fixture& f = fx();
    for (auto _ : state) f.render(build(f.src));
}

void BM_Filter_ColorControls(benchmark::State& s) { run(s, [](const Image& i) { return fl::colorControls(i, 0.0, -0.03, 2.1); }); }
// Four tone filters composed into one run (the X-Ray grade).
void BM_Filter_ToneRun4(benchmark::State& s) {
    run(s, [](const Image& i) {
        return fl::falseColor(fl::colorControls(fl::colorInvert(fl::colorControls(i, 0, 0, 1.1)), 1, 0.03, 1.5),
                              Color::fromSRGB(0.01, 0.02, 0.07), Color::fromSRGB(0.78, 0.93, 1.0));
    });
}
void BM_Filter_ColorMatrixWithBias(benchmark::State& s) {
    run(s, [](const Image& i) { return fl::colorMatrixWithBias(i, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}); });
}
void BM_Filter_Vignette(benchmark::State& s) { run(s, [](const Image& i) { return fl::vignette(i, 2.2, 1.1); }); }
void BM_Filter_ControlsThenVignette(benchmark::State& s) {
    run(s, [](const Image& i) { return fl::vignette(fl::colorControls(i, 0.0, -0.03, 2.1), 2.2, 1.1); });
}
void BM_Filter_Monochrome(benchmark::State& s) { run(s, [](const Image& i) { return fl::colorMonochrome(i, Color::fromSRGB(0.55, 0.78, 0.82), 0.6); }); }
void BM_Filter_Bloom3(benchmark::State& s) { run(s, [](const Image& i) { return fl::bloom(i, 3.0, 0.28); }); }
void BM_Filter_Bloom4(benchmark::State& s) { run(s, [](const Image& i) { return fl::bloom(i, 4.0, 0.35); }); }
void BM_Filter_Edges(benchmark::State& s) { run(s, [](const Image& i) { return fl::edges(i, 2.0); }); }
void BM_Filter_Screen(benchmark::State& s) {
    run(s, [](const Image& i) { return fl::screenBlend(i.translated(10, 0), i).cropped({0, 0, 1280, 720}); });
}
void BM_Filter_Multiply(benchmark::State& s) {
    run(s, [](const Image& i) { return fl::multiplyComposite(i.translated(10, 0), i).cropped({0, 0, 1280, 720}); });
}
void BM_Filter_BlendWithMask(benchmark::State& s) {
    const Image mask = fl::radialGradient({640, 360}, 100, 600, Color::fromSRGB(1, 1, 1), Color::fromSRGB(0, 0, 0));
    run(s, [&](const Image& i) { return fl::blendWithMask(fl::colorInvert(i), i, mask); });
}
void BM_Filter_Noise(benchmark::State& s) { run(s, [](const Image&) { return fl::randomNoise().cropped({0, 0, 1280, 720}); }); }
void BM_Filter_Gamma(benchmark::State& s) { run(s, [](const Image& i) { return fl::gammaAdjust(i, 1.4); }); }
void BM_Filter_Hue(benchmark::State& s) { run(s, [](const Image& i) { return fl::hueAdjust(i, 0.7); }); }
void BM_Filter_Displacement(benchmark::State& s) {
    run(s, [](const Image& i) { return fl::displacementDistortion(i.clampedToExtent(), fl::randomNoise(), 12.0).cropped({0, 0, 1280, 720}); });
}
void BM_Filter_LinearGradient(benchmark::State& s) {
    run(s, [](const Image&) { return fl::linearGradient({0, 0}, {0, 720}, Color::fromSRGB(1, 0.5, 0), Color::fromSRGB(0, 0, 0.3)).cropped({0, 0, 1280, 720}); });
}
void BM_Filter_RadialGradient(benchmark::State& s) {
    run(s, [](const Image&) { return fl::radialGradient({640, 360}, 50, 700, Color::fromSRGB(1, 1, 1), Color::fromSRGB(0, 0, 0)).cropped({0, 0, 1280, 720}); });
}

}  // namespace

FILTER_BENCH(BM_Filter_ColorControls);
FILTER_BENCH(BM_Filter_ToneRun4);
FILTER_BENCH(BM_Filter_ColorMatrixWithBias);
FILTER_BENCH(BM_Filter_Vignette);
FILTER_BENCH(BM_Filter_ControlsThenVignette);
FILTER_BENCH(BM_Filter_Monochrome);
FILTER_BENCH(BM_Filter_Bloom3);
FILTER_BENCH(BM_Filter_Bloom4);
FILTER_BENCH(BM_Filter_Edges);
FILTER_BENCH(BM_Filter_Screen);
FILTER_BENCH(BM_Filter_Multiply);
FILTER_BENCH(BM_Filter_BlendWithMask);
FILTER_BENCH(BM_Filter_Noise);
FILTER_BENCH(BM_Filter_Gamma);
FILTER_BENCH(BM_Filter_Hue);
FILTER_BENCH(BM_Filter_Displacement);
FILTER_BENCH(BM_Filter_LinearGradient);
FILTER_BENCH(BM_Filter_RadialGradient);
