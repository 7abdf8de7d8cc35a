// Text-source costs: the per-frame choice of the bar text (settings reads), and parsing a large
// feed on the main thread after its download.
#include "pipeline/Settings.h"
#include "sources/LowerThirdModes.h"
#include "sources/RSSFeedService.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace ostrela;

static void BM_LowerThirdBarTextFromSettings(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("OSTRELA_CONFIG_DIR", dir.path().toUtf8().constData(), 1);
    SettingsStore::resetForTesting();
    settings::setRssFeedEnabled(true);
    settings::setRssFeedDisplayText(QString(600, QChar('x')));
    settings::setLowerThirdText("Typed");
    for (auto _ : state) benchmark::DoNotOptimize(lowerThirdBarText());
    unsetenv("OSTRELA_CONFIG_DIR");
    SettingsStore::resetForTesting();
}
BENCHMARK(BM_LowerThirdBarTextFromSettings);

static void BM_FeedTitles(benchmark::State& state) {
    QByteArray doc = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Bench</title>";
    const int items = int(state.range(0));
    for (int i = 0; i < items; ++i)
        doc += "<item><title><![CDATA[Headline number " + QByteArray::number(i) +
               " about something]]></title><link>https://example.org/" + QByteArray::number(i) +
               "</link><description>" + QByteArray(400, 'd') + "</description></item>";
    doc += "</channel></rss>";
    for (auto _ : state) benchmark::DoNotOptimize(feedTitles(doc));
    state.SetBytesProcessed(int64_t(state.iterations()) * doc.size());
}
BENCHMARK(BM_FeedTitles)->Arg(50)->Arg(2000)->Unit(benchmark::kMicrosecond);
