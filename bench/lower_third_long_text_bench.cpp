// The lower-third bar given the longest texts: a feed ticker of twelve long headlines and a long
// typed text. Each is laid out and drawn as one bar frame from nothing (a text change), and the
// ticker is also scrolled frame after frame with its caches kept. The argument is the length of
// each headline (or of the typed text) handed to the bar, in characters; 300 is the longest the
// sources keep, 100000 is what a hostile feed can send.
#include "pipeline/LowerThirdBar.h"
#include "sources/RSSFeedService.h"

#include <benchmark/benchmark.h>

#include <QImage>
#include <QStringList>

using namespace ostrela;

namespace {

// Words of ordinary width, so the line shapes like a real headline.
QString longHeadline(int index, int length) {
    static const QStringList words{QStringLiteral("council"), QStringLiteral("approves"), QStringLiteral("harbour"),
                                   QStringLiteral("budget"),  QStringLiteral("after"),    QStringLiteral("late"),
                                   QStringLiteral("night"),   QStringLiteral("vote;"),    QStringLiteral("Café"),
                                   QStringLiteral("owners"),  QStringLiteral("welcome"),  QStringLiteral("plan")};
    QString s = QStringLiteral("Headline %1:").arg(index + 1);
    for (int w = index; s.size() < length; ++w) s += u' ' + words[w % words.size()];
    s.truncate(length);
    return s;
}

QString longTicker(int headlineLength) {
    QStringList titles;
    for (int i = 0; i < kMaxHeadlines; ++i) titles << longHeadline(i, headlineLength);
    return tickerLine(titles);
}

// A text change: a fresh renderer lays the text out and draws one frame of it.
void oneFrame(benchmark::State& state, const QString& text, bool ticker) {
    LowerThirdBarStyle style;
    style.alwaysScroll = ticker;
    double t = 1000;
    for (auto _ : state) {
        LowerThirdBarRenderer renderer;
        QImage img = renderer.image(style, text, t);
        benchmark::DoNotOptimize(img.constBits());
        t += 1.0 / 30;
    }
    state.counters["chars_given"] = double(text.size());
}

void BM_BarLongestTickerOneFrame(benchmark::State& state) { oneFrame(state, longTicker(int(state.range(0))), true); }
void BM_BarLongestTypedTextOneFrame(benchmark::State& state) {
    oneFrame(state, longHeadline(0, int(state.range(0))), false);
}

// The text layout alone, as the bar measures a new text.
void BM_BarLongestTickerLayout(benchmark::State& state) {
    const QString text = longTicker(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(measureBarText(text));
}

// One line's layout: the longest typed text, now-playing line or headline.
void BM_BarLongestLineLayout(benchmark::State& state) {
    const QString text = longHeadline(0, int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(measureBarText(cutBarText(text)));
}

// The ticker scrolling with its caches kept, one frame per iteration at 30 frames per second.
void BM_BarLongestTickerScrolling(benchmark::State& state) {
    const QString text = longTicker(int(state.range(0)));
    LowerThirdBarStyle style;
    style.alwaysScroll = true;
    LowerThirdBarRenderer renderer;
    double t = 1000;
    benchmark::DoNotOptimize(renderer.image(style, text, t).constBits());
    for (auto _ : state) {
        t += 1.0 / 30;
        QImage img = renderer.image(style, text, t);
        benchmark::DoNotOptimize(img.constBits());
    }
    state.counters["text_layouts"] = renderer.textLayouts();
}

}  // namespace

BENCHMARK(BM_BarLongestTickerOneFrame)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestTickerOneFrame)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestTypedTextOneFrame)->Arg(300)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestTickerLayout)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestTickerLayout)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestLineLayout)->Arg(300)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BarLongestTickerScrolling)->Arg(300)->Arg(100000)->Unit(benchmark::kMillisecond);
