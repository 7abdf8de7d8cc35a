// ostrela-render: runs the engine's per-frame step once (or N times with --bench) on an image
// file or a synthetic camera frame and writes the 1280×720 result as PNG or raw BGRA.
#include "effects/Effects.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/OverlayController.h"
#include "pipeline/Paths.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/SimdTargets.h"
#include "library/VideoDecoder.h"
#include "sources/LowerThirdModes.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace ostrela;

namespace {

// CPU time of the whole process (every thread), milliseconds.
double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec) + double(u.ru_stime.tv_sec)) * 1e3 +
           (double(u.ru_utime.tv_usec) + double(u.ru_stime.tv_usec)) / 1e3;
}

// Resident and peak resident memory in MB, from /proc/self/status.
std::pair<double, double> residentMb() {
    QFile f(QStringLiteral("/proc/self/status"));
    double rss = 0, hwm = 0;
    if (!f.open(QIODevice::ReadOnly)) return {rss, hwm};
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2) continue;
        if (parts[0] == "VmRSS:") rss = parts[1].toDouble() / 1024.0;
        if (parts[0] == "VmHWM:") hwm = parts[1].toDouble() / 1024.0;
    }
    return {rss, hwm};
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: ostrela-render [INPUT | --synthetic WxH] [--video FILE [--position S]] [--effect NAME]\n"
                 "                      [--overlay FILE] [--set key=value]... [--time T] [-o out.png|out.raw] [--bench N]\n"
                 "                      [--cycle N] [--help] [--version]\n"
                 "  INPUT        an image file used as the camera frame (default: synthetic 1280x720)\n"
                 "  --synthetic  a generated test frame of the given size\n"
                 "  --video      an image or a video file giving the current video frame (video mode)\n"
                 "  --position S the moment of a video file to show, in seconds (default 0)\n"
                 "  --effect     a videoEffect raw value (none, oldTV, vhs, ...)\n"
                 "  --overlay    an image used as the floating overlay (\"overlay.png\") for this run\n"
                 "  --set        overrides one settings key for this run (repeatable); the stored settings\n"
                 "               are not changed. Booleans take true/false, numbers a decimal, the rest text:\n"
                 "               --set lowerThirdEnabled=true --set lowerThirdText='Hello' --set fancyModeEnabled=true\n"
                 "  --time       frame time in seconds since 2001-01-01 UTC (default: now)\n"
                 "  --bench N    renders N frames and prints the median and 95th percentile, and the CPU time\n"
                 "               of the process per frame, and the time of the first frame\n"
                 "  --cycle N    renders N frames of each of the sixteen effects in turn, then N of \"none\",\n"
                 "               and prints the resident memory after each, the memory of the tiles'\n"
                 "               scratch and of the stored pictures, and the time of its first frame\n"
                 "               (the switch to it included)\n");
}

// Colour bars over a grey ramp with a diagonal stripe, opaque.
QImage syntheticFrame(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return img;
    QPainter p(&img);
    const QColor bars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue, Qt::black};
    const int barsH = h * 2 / 3;
    for (int i = 0; i < 8; ++i) p.fillRect(QRect(i * w / 8, 0, (i + 1) * w / 8 - i * w / 8, barsH), bars[i]);
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, Qt::black);
    g.setColorAt(1, Qt::white);
    p.fillRect(QRect(0, barsH, w, h - barsH), g);
    p.setPen(QPen(QColor(255, 128, 0), std::max(2, w / 160)));
    p.drawLine(0, h, w, 0);
    return img;
}

enum class ValueType { boolean, number, text };

// The type each key of the shared suite is stored with; a key given on the command line is
// stored the same way, so "000000" stays a colour and not the number 0.
std::optional<ValueType> keyType(const QString& key) {
    static const char* const booleans[] = {
        keys::overlayImageEnabled, keys::isOverlayFullScreen, keys::overlayBorderEnabled, keys::fancyModeEnabled,
        keys::lowerThirdEnabled, keys::lowerThirdTextShadowEnabled, keys::lowerThirdGoogleMeetSafeArea,
        keys::lowerThirdAlwaysScroll, keys::lowerThirdPreviewFrozen, keys::weatherEnabled, keys::nowPlayingEnabled,
        keys::rssFeedEnabled, keys::lowerThirdVideoTitleEnabled, keys::videoCameraPiPEnabled,
        keys::libraryAllItemsExpanded};
    static const char* const numbers[] = {keys::overlayWidthFraction, keys::lowerThirdBarOpacity,
                                          keys::lowerThirdScrollSpeed, keys::videoCameraPiPWidthFraction,
                                          keys::videoPlaybackVolume};
    static const char* const texts[] = {
        keys::overlayPlacement, keys::overlayBorderColorHex, keys::selectedCameraUniqueID, keys::videoEffect,
        keys::lowerThirdText, keys::lowerThirdBarColorHex, keys::lowerThirdTextColorHex,
        keys::lowerThirdTextAlignment, keys::weatherZipCode, keys::rssFeedURL, keys::lowerThirdVideoTitleText,
        keys::weatherDisplayText, keys::nowPlayingDisplayText, keys::rssFeedDisplayText,
        keys::videoCameraPiPPlacement, keys::libraryCollapsedFolderIDs};
    for (const char* k : booleans) if (key == QLatin1String(k)) return ValueType::boolean;
    for (const char* k : numbers) if (key == QLatin1String(k)) return ValueType::number;
    for (const char* k : texts) if (key == QLatin1String(k)) return ValueType::text;
    return std::nullopt;
}

// "key=value" as the key's stored type; a message when it cannot be.
std::optional<std::pair<QString, QVariant>> parseSetting(const QString& arg, QString* why) {
    const int eq = arg.indexOf('=');
    if (eq <= 0) {
        *why = QStringLiteral("--set wants key=value, got \"%1\"").arg(arg);
        return std::nullopt;
    }
    const QString key = arg.left(eq), text = arg.mid(eq + 1);
    const auto type = keyType(key);
    if (!type) {
        *why = QStringLiteral("unknown settings key \"%1\"").arg(key);
        return std::nullopt;
    }
    switch (*type) {
    case ValueType::boolean:
        if (text == "true" || text == "1" || text == "yes") return std::pair{key, QVariant(true)};
        if (text == "false" || text == "0" || text == "no") return std::pair{key, QVariant(false)};
        *why = QStringLiteral("%1 wants true or false, got \"%2\"").arg(key, text);
        return std::nullopt;
    case ValueType::number: {
        bool ok = false;
        const double d = text.toDouble(&ok);
        if (!ok || !std::isfinite(d)) {
            *why = QStringLiteral("%1 wants a number, got \"%2\"").arg(key, text);
            return std::nullopt;
        }
        return std::pair{key, QVariant(d)};
    }
    case ValueType::text: break;
    }
    if (key == QLatin1String(keys::overlayPlacement) || key == QLatin1String(keys::videoCameraPiPPlacement)) {
        if (!overlayPlacementFromRaw(text.toStdString())) {
            *why = QStringLiteral("%1 wants topLeft, topRight, bottomLeft or bottomRight, got \"%2\"").arg(key, text);
            return std::nullopt;
        }
    } else if (key == QLatin1String(keys::videoEffect)) {
        if (!videoEffectFromRaw(text.toStdString())) {
            *why = QStringLiteral("unknown effect \"%1\"").arg(text);
            return std::nullopt;
        }
    } else if (key == QLatin1String(keys::lowerThirdTextAlignment)) {
        if (!textAlignmentFromRaw(text.toStdString())) {
            *why = QStringLiteral("%1 wants leading, center or trailing, got \"%2\"").arg(key, text);
            return std::nullopt;
        }
    }
    return std::pair{key, QVariant(text)};
}

// Settings given on the command line go to a private copy of the configuration directory so the
// user's stored settings stay untouched.
bool applyOverrides(const std::vector<std::pair<QString, QVariant>>& overrides, QTemporaryDir& dir) {
    if (overrides.empty()) return true;
    if (!dir.isValid()) {
        std::fprintf(stderr, "ostrela-render: cannot create a temporary settings directory\n");
        return false;
    }
    const QString from = QString::fromStdString(configDirectory());
    for (const char* name : {kSuiteName, kStandardStoreName}) {
        QString file = QString::fromUtf8(name) + ".json";
        if (QFile::exists(from + "/" + file)) QFile::copy(from + "/" + file, dir.path() + "/" + file);
    }
    qputenv("OSTRELA_CONFIG_DIR", dir.path().toUtf8());
    SettingsStore::resetForTesting();
    SettingsStore* suite = SettingsStore::suite();
    if (!suite) {
        std::fprintf(stderr, "ostrela-render: cannot open the settings suite\n");
        return false;
    }
    for (const auto& [key, value] : overrides) suite->set(key.toStdString(), value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();

    QString input, videoPath, output, overlayPath;
    int synthW = 1280, synthH = 720;
    bool haveTime = false;
    double t = 0;
    double videoPosition = 0;
    long benchFrames = 0;
    long cycleFrames = 0;
    std::vector<std::pair<QString, QVariant>> overrides;

    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto next = [&](QString* v) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "ostrela-render: %s needs a value\n", qPrintable(a));
                return false;
            }
            *v = args[++i];
            return true;
        };
        QString v;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("ostrela-render %s\n", OSTRELA_VERSION);
            return 0;
        } else if (a == "--synthetic") {
            if (!next(&v)) return 2;
            QStringList wh = v.split('x');
            bool ok1 = false, ok2 = false;
            if (wh.size() == 2) {
                synthW = wh[0].toInt(&ok1);
                synthH = wh[1].toInt(&ok2);
            }
            if (!ok1 || !ok2 || synthW <= 0 || synthH <= 0 || synthW > 16384 || synthH > 16384) {
                std::fprintf(stderr, "ostrela-render: --synthetic wants WIDTHxHEIGHT (1 to 16384), got \"%s\"\n", qPrintable(v));
                return 2;
            }
            input.clear();
        } else if (a == "--video") {
            if (!next(&videoPath)) return 2;
        } else if (a == "--position") {
            if (!next(&v)) return 2;
            bool ok = false;
            videoPosition = v.toDouble(&ok);
            if (!ok || !std::isfinite(videoPosition) || videoPosition < 0) {
                std::fprintf(stderr, "ostrela-render: --position wants seconds from 0 on, got \"%s\"\n", qPrintable(v));
                return 2;
            }
        } else if (a == "--effect") {
            if (!next(&v)) return 2;
            if (!videoEffectFromRaw(v.toStdString())) {
                std::fprintf(stderr, "ostrela-render: unknown effect \"%s\"; one of:", qPrintable(v));
                for (const auto& e : effects::effectTable()) std::fprintf(stderr, " %s", e.rawValue);
                std::fprintf(stderr, "\n");
                return 2;
            }
            overrides.emplace_back(QString::fromUtf8(keys::videoEffect), v);
        } else if (a == "--set") {
            if (!next(&v)) return 2;
            QString why;
            auto setting = parseSetting(v, &why);
            if (!setting) {
                std::fprintf(stderr, "ostrela-render: %s\n", qPrintable(why));
                return 2;
            }
            overrides.push_back(*setting);
        } else if (a == "--overlay") {
            if (!next(&overlayPath)) return 2;
        } else if (a == "--time") {
            if (!next(&v)) return 2;
            bool ok = false;
            t = v.toDouble(&ok);
            if (!ok || !std::isfinite(t)) {
                std::fprintf(stderr, "ostrela-render: --time wants a number of seconds, got \"%s\"\n", qPrintable(v));
                return 2;
            }
            haveTime = true;
        } else if (a == "-o" || a == "--output") {
            if (!next(&output)) return 2;
        } else if (a == "--bench") {
            if (!next(&v)) return 2;
            bool ok = false;
            benchFrames = v.toLong(&ok);
            if (!ok || benchFrames <= 0 || benchFrames > 10'000'000) {
                std::fprintf(stderr, "ostrela-render: --bench wants a frame count, got \"%s\"\n", qPrintable(v));
                return 2;
            }
        } else if (a == "--cycle") {
            if (!next(&v)) return 2;
            bool ok = false;
            cycleFrames = v.toLong(&ok);
            if (!ok || cycleFrames <= 0 || cycleFrames > 100'000) {
                std::fprintf(stderr, "ostrela-render: --cycle wants a frame count, got \"%s\"\n", qPrintable(v));
                return 2;
            }
            // The effect is switched in a private copy of the settings.
            overrides.emplace_back(QString::fromUtf8(keys::videoEffect), QStringLiteral("none"));
        } else if (a.startsWith('-')) {
            std::fprintf(stderr, "ostrela-render: unknown option \"%s\"\n", qPrintable(a));
            usage(stderr);
            return 2;
        } else {
            input = a;
        }
    }
    if (output.isEmpty() && benchFrames == 0 && cycleFrames == 0) {
        std::fprintf(stderr, "ostrela-render: nothing to do: give -o FILE or --bench N\n");
        usage(stderr);
        return 2;
    }
    if (!output.isEmpty() && !output.endsWith(".png", Qt::CaseInsensitive) && !output.endsWith(".raw", Qt::CaseInsensitive)) {
        std::fprintf(stderr, "ostrela-render: the output must end in .png or .raw\n");
        return 2;
    }

    auto load = [](const QString& path, QImage* img) {
        QImageReader reader(path);
        reader.setAutoTransform(true);
        *img = reader.read();
        if (img->isNull()) {
            std::fprintf(stderr, "ostrela-render: cannot read \"%s\": %s\n", qPrintable(path), qPrintable(reader.errorString()));
            return false;
        }
        *img = img->convertToFormat(QImage::Format_ARGB32_Premultiplied);
        return true;
    };
    QImage camera, video;
    if (!input.isEmpty()) {
        if (!load(input, &camera)) return 1;
    } else {
        camera = syntheticFrame(synthW, synthH);
        if (camera.isNull()) {
            std::fprintf(stderr, "ostrela-render: cannot allocate a %dx%d frame\n", synthW, synthH);
            return 1;
        }
    }
    if (!videoPath.isEmpty()) {
        // A still image stands for the video frame as it is; anything else is decoded as a video.
        if (QImageReader(videoPath).canRead()) {
            if (!load(videoPath, &video)) return 1;
        } else {
            VideoDecoder decoder;
            QString why;
            if (!decoder.open(videoPath, &why)) {
                std::fprintf(stderr, "ostrela-render: cannot read \"%s\": %s\n", qPrintable(videoPath), qPrintable(why));
                return 1;
            }
            auto decoded = decoder.frameAt(videoPosition);
            if (!decoded) {
                std::fprintf(stderr, "ostrela-render: \"%s\" has no frame at %g s\n", qPrintable(videoPath), videoPosition);
                return 1;
            }
            video = decoded->image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        }
    }

    QTemporaryDir settingsDir;
    if (!applyOverrides(overrides, settingsDir)) return 1;
    // The overlay goes into a private container through the controller, which stores it as the
    // application would (converted to PNG); the user's own "overlay.png" stays untouched.
    QTemporaryDir containerDir;
    if (!overlayPath.isEmpty()) {
        if (!containerDir.isValid()) {
            std::fprintf(stderr, "ostrela-render: cannot create a temporary container directory\n");
            return 1;
        }
        qputenv("OSTRELA_CONTAINER_DIR", containerDir.path().toUtf8());
        OverlayController overlay;
        if (!overlay.setImage(overlayPath)) {
            std::fprintf(stderr, "ostrela-render: cannot use \"%s\" as the overlay: %s\n", qPrintable(overlayPath),
                         qPrintable(overlay.lastError()));
            return 1;
        }
    }
    if (!haveTime) t = frameTimeNow();

    std::vector<uint8_t> frame(kFrameBytes, 0);
    FrameComposer composer;
    composer.setBarTextSource([] { return lowerThirdBarText(); });
    const QImage* videoFrame = video.isNull() ? nullptr : &video;

    if (cycleFrames > 0) {
        double ft = t;
        auto run = [&](VideoEffect effect, const char* name) {
            settings::setVideoEffect(effect);
            // The first frame after the switch is what a user sees when picking the look.
            double first = 0;
            for (long i = 0; i < cycleFrames; ++i, ft += 1.0 / 30.0) {
                const auto start = std::chrono::steady_clock::now();
                composer.render(camera, videoFrame, ft, frame.data());
                if (i == 0) first = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            }
            const auto [rss, hwm] = residentMb();
            std::printf("after %-15s resident %7.1f MB, peak %7.1f MB, tile scratch %6.1f MB, stored pictures %6.1f MB, first frame %6.1f ms\n",
                        name, rss, hwm, double(composer.renderer().arenaBytes()) / (1024.0 * 1024.0),
                        double(engine::pooledPixelBytes()) / (1024.0 * 1024.0), first);
        };
        for (const auto& e : effects::effectTable()) run(e.effect, e.rawValue);
        run(VideoEffect::none, "none");
        std::fflush(stdout);
        if (benchFrames == 0 && output.isEmpty()) return 0;
    }

    if (benchFrames > 0) {
        std::vector<double> ms;
        ms.reserve(size_t(benchFrames));
        const double cpu0 = processCpuMs();
        for (long i = 0; i < benchFrames; ++i) {
            auto start = std::chrono::steady_clock::now();
            composer.render(camera, videoFrame, t + double(i) / 30.0, frame.data());
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        const double cpuPerFrame = (processCpuMs() - cpu0) / double(benchFrames);
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        auto pct = [&](double p) { return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))]; };
        // The first frame is the look's first in this process: what a user sees when picking it.
        std::printf("effect %s, %ld frames of %dx%d input on %d threads, %s: median %.3f ms, p95 %.3f ms, CPU %.3f ms per frame, "
                    "first frame %.3f ms\n",
                    rawValue(composer.lastEffect()), benchFrames, camera.width(), camera.height(),
                    composer.renderer().threadCount(), engine::simd::targetName(), pct(0.5), pct(0.95), cpuPerFrame, ms.front());
    } else {
        composer.render(camera, videoFrame, t, frame.data());
    }

    if (!output.isEmpty()) {
        if (output.endsWith(".raw", Qt::CaseInsensitive)) {
            QFile f(output);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                f.write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size())) != qint64(frame.size())) {
                std::fprintf(stderr, "ostrela-render: cannot write \"%s\": %s\n", qPrintable(output), qPrintable(f.errorString()));
                return 1;
            }
        } else {
            QImage out(frame.data(), kFrameWidth, kFrameHeight, kFrameStride, QImage::Format_ARGB32_Premultiplied);
            if (!out.save(output, "PNG")) {
                std::fprintf(stderr, "ostrela-render: cannot write \"%s\"\n", qPrintable(output));
                return 1;
            }
        }
    }
    return 0;
}
