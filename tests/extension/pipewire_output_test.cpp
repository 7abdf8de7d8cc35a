// The camera program's PipeWire output, seen by PipeWire clients (a client of our own, pw-dump,
// pw-cli, GStreamer), with pipewire and wireplumber run by the test in a private session.
#include "extension/camera/CameraStatus.h"
#include "extension/camera/PipeWireSink.h"
#include "pipeline/FrameBuffer.h"
#include "tests/extension/ColourBars.h"
#include "tests/extension/PipeWireTestSession.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#ifdef OSTRELA_HAVE_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#endif

using namespace ostrela;
using ostrela::camera::PipeWireSink;
using ostrela::test::PipeWireTestSession;

namespace {

#define REQUIRE_PROGRAMS(...)                                                                            \
    do {                                                                                                 \
        const QString missingProgram = PipeWireTestSession::missing({__VA_ARGS__});                      \
        if (!missingProgram.isEmpty()) {                                                                 \
            if (PipeWireTestSession::mustNotSkip()) FAIL() << missingProgram.toStdString() << " is not installed"; \
            GTEST_SKIP() << missingProgram.toStdString() << " is not installed";                         \
        }                                                                                                \
    } while (0)

// The camera program (and, when asked, the test-frame writer) in a private session.
struct CameraSetup {
    test::ScopedTestEnv env;
    QTemporaryDir runtime;
    PipeWireTestSession session{runtime.path()};
    QProcess* camera = nullptr;
    QProcess* writer = nullptr;

    QProcessEnvironment containerEnv() const {
        QProcessEnvironment e;
        e.insert("OSTRELA_CONTAINER_DIR", QString::fromStdString(env.containerDir()));
        e.insert("QT_QPA_PLATFORM", "offscreen");
        return e;
    }
    bool start(QString* why) { return session.start(why); }
    QProcess* startCamera(const QStringList& args = {}) {
        camera = session.spawn(QString::fromStdString(test::programPath("ostrela-camera")),
                               QStringList{"--pipewire"} + args, containerEnv());
        return camera;
    }
    // Returns once the writer has published a few frames.
    bool startWriter() {
        writer = session.spawn(QString::fromStdString(test::programPath("ostrela-testframes")), {"--fps", "30"},
                               containerEnv());
        return QTest::qWaitFor(
            [] {
                const auto state = readFrameState();
                return state && state->generation >= 5;
            },
            10000);
    }
    bool nodeAppears(int ms = 15000) {
        return QTest::qWaitFor([&] { return !session.node("Ostrela").isEmpty(); }, ms);
    }
    std::string cameraOutput() { return PipeWireTestSession::output(camera).toStdString(); }
};

// pw-cli's view of the EnumFormat params: per param, the property's short name and the line
// that follows it ("Id 4        (…)", "Rectangle 1280x720", "Choice: …").
std::vector<std::map<QString, QString>> enumFormats(PipeWireTestSession& session, int nodeId) {
    QProcess cli;
    cli.setProcessEnvironment(session.env());
    cli.start("pw-cli", {"enum-params", QString::number(nodeId), "EnumFormat"});
    cli.waitForFinished(10000);
    std::vector<std::map<QString, QString>> result;
    const QStringList lines = QString::fromUtf8(cli.readAllStandardOutput()).split('\n');
    static const QRegularExpression key("Prop: key \\S+:(\\w+) \\(");
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed().startsWith("Object: size")) result.emplace_back();
        const auto m = key.match(lines[i]);
        if (m.hasMatch() && !result.empty() && i + 1 < lines.size())
            result.back()[m.captured(1)] = lines[i + 1].trimmed();
    }
    return result;
}

// The number of an "Id N (…)" value, -1 for anything else (a choice, a missing property).
int idValue(const std::map<QString, QString>& props, const QString& name) {
    auto it = props.find(name);
    if (it == props.end()) return -1;
    static const QRegularExpression id("^Id (\\d+)\\b");
    const auto m = id.match(it->second);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

TEST(PipeWireOutput, CameraProgramOffersEachFormatFixedInItsOwnParam) {
    if (!PipeWireSink::available()) GTEST_SKIP() << "built without PipeWire";
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon");
    CameraSetup setup;
    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    setup.startCamera();
    QJsonObject node;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(node = setup.session.node("Ostrela")).isEmpty(); }, 15000))
        << setup.cameraOutput();
    const QJsonObject props = node.value("props").toObject();
    EXPECT_EQ(props.value("media.class").toString(), "Video/Source");
    EXPECT_EQ(props.value("node.description").toString(), "Ostrela");
    EXPECT_EQ(props.value("media.role").toString(), "Camera");

    // WebRTC (Chromium, Firefox) drops a camera whose format is a choice: one fixed format per
    // param, YUY2 first.
    const QJsonArray formats = node.value("params").toObject().value("EnumFormat").toArray();
    ASSERT_EQ(formats.size(), 2) << QJsonDocument(formats).toJson().toStdString();
    const char* expected[2] = {"YUY2", "BGRx"};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject f = formats[i].toObject();
        EXPECT_EQ(f.value("mediaType").toString(), "video");
        EXPECT_EQ(f.value("mediaSubtype").toString(), "raw");
        EXPECT_TRUE(f.value("format").isString()) << "param " << i << " offers no fixed format";
        EXPECT_EQ(f.value("format").toString(), expected[i]);
        EXPECT_EQ(f.value("size").toObject().value("width").toInt(), 1280);
        EXPECT_EQ(f.value("size").toObject().value("height").toInt(), 720);
        EXPECT_EQ(f.value("framerate").toObject().value("num").toInt(), 30);
        EXPECT_EQ(f.value("framerate").toObject().value("denom").toInt(), 1);
    }
    EXPECT_TRUE(formats[0].toObject().contains("colorMatrix"));
    EXPECT_TRUE(formats[0].toObject().contains("colorRange"));
    EXPECT_FALSE(formats[1].toObject().contains("colorMatrix"));

#ifdef OSTRELA_HAVE_PIPEWIRE
    // pw-dump of this PipeWire names these values wrongly; pw-cli shows the numbers.
    const auto params = enumFormats(setup.session, node.value("id").toInt());
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(idValue(params[0], "format"), int(SPA_VIDEO_FORMAT_YUY2)) << params[0].at("format").toStdString();
    EXPECT_EQ(idValue(params[1], "format"), int(SPA_VIDEO_FORMAT_BGRx));
    EXPECT_EQ(idValue(params[0], "colorMatrix"), int(SPA_VIDEO_COLOR_MATRIX_BT601));
    EXPECT_EQ(idValue(params[0], "colorRange"), int(SPA_VIDEO_COLOR_RANGE_16_235));
    EXPECT_EQ(params[0].count("framerate") ? params[0].at("framerate") : QString(), "Fraction 30/1");
#endif

    ::kill(pid_t(setup.camera->processId()), SIGTERM);
    ASSERT_TRUE(setup.camera->waitForFinished(10000));
    EXPECT_EQ(setup.camera->exitCode(), 0) << setup.cameraOutput();
    // Gone with its producer.
    EXPECT_TRUE(QTest::qWaitFor([&] { return setup.session.node("Ostrela").isEmpty(); }, 10000));

    // The offered rate is the program's.
    setup.startCamera({"--fps", "25"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(node = setup.session.node("Ostrela")).isEmpty(); }, 15000))
        << setup.cameraOutput();
    for (const QJsonValue& f : node.value("params").toObject().value("EnumFormat").toArray())
        EXPECT_EQ(f.toObject().value("framerate").toObject().value("num").toInt(), 25);
}

#ifdef OSTRELA_HAVE_PIPEWIRE

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A video-call client in miniature: takes YUY2 frames from the node "Ostrela".
class Consumer {
public:
    explicit Consumer(const QString& runtimeDir) {
        pw_init(nullptr, nullptr);
        qputenv("PIPEWIRE_RUNTIME_DIR", runtimeDir.toUtf8());
        loop_ = pw_thread_loop_new("test-consumer", nullptr);
        pw_thread_loop_lock(loop_);
        pw_thread_loop_start(loop_);
        static pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
                if (!param || id != SPA_PARAM_Format) return;
                spa_video_info_raw info{};
                if (spa_format_video_raw_parse(param, &info) < 0) return;
                auto* self = static_cast<Consumer*>(data);
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->info_ = info;
            };
            e.process = [](void* data) {
                auto* self = static_cast<Consumer*>(data);
                pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
                if (!b) return;
                const spa_data& d = b->buffer->datas[0];
                if (d.data && d.chunk->size > 0) {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    const auto* bytes = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
                    self->last_.assign(bytes, bytes + d.chunk->size);
                    self->stride_ = d.chunk->stride;
                    self->arrivals_.push_back(monotonicNs());
                    ++self->frames_;
                }
                pw_stream_queue_buffer(self->stream_, b);
            };
            return e;
        }();
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_TARGET_OBJECT, "Ostrela",
                                                 nullptr);
        stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "test-consumer", props, &events, this);
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle size = SPA_RECTANGLE(1280u, 720u);
        spa_fraction rate = SPA_FRACTION(30u, 1u);
        const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
        pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        pw_thread_loop_unlock(loop_);
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    ~Consumer() {
        pw_thread_loop_lock(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }
    int frames() const { return frames_.load(); }
    spa_video_info_raw format() {
        std::lock_guard<std::mutex> lock(mutex_);
        return info_;
    }
    // Luma at a pixel of the last frame; -1 before any.
    int lumaAt(int x, int y) {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t at = size_t(y) * stride_ + size_t(x) * 2;
        return at < last_.size() ? last_[at] : -1;
    }
    std::vector<int64_t> arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }
    // Waits until `count` more frames than now have come.
    bool getsFrames(int count, int ms = 15000) {
        const int from = frames();
        return QTest::qWaitFor([&] { return frames() >= from + count; }, ms);
    }

private:
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::atomic<int> frames_{0};
    std::mutex mutex_;
    spa_video_info_raw info_{};
    std::vector<uint8_t> last_;
    std::vector<int64_t> arrivals_;
    uint32_t stride_ = 0;
};

TEST(PipeWireOutput, AClientReceivesThePublishedFramesInTheDeclaredColours) {
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon");
    CameraSetup setup;
    // A frame of solid red (BGRA), announced with a fresh time stamp whenever we look.
    uint8_t* frame = openFrameBuffer(true);
    ASSERT_NE(frame, nullptr);
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        frame[i] = 0; frame[i + 1] = 0; frame[i + 2] = 255; frame[i + 3] = 255;
    }
    uint64_t generation = 0;
    auto publish = [&] { writeFrameState(FrameState{++generation, wallClockSeconds()}); };
    publish();

    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    setup.startCamera();
    ASSERT_TRUE(setup.nodeAppears()) << setup.cameraOutput();

    Consumer consumer(setup.runtime.path());
    // Red in BT.601 limited range: Y = 16 + 65.481 = 81.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            publish();
            return consumer.frames() >= 3 && std::abs(consumer.lumaAt(640, 360) - 81) <= 2;
        },
        20000))
        << "frames " << consumer.frames() << ", luma " << consumer.lumaAt(640, 360) << "\n"
        << setup.cameraOutput();
    const spa_video_info_raw format = consumer.format();
    EXPECT_EQ(uint32_t(format.format), uint32_t(SPA_VIDEO_FORMAT_YUY2));
    EXPECT_EQ(format.size.width, 1280u);
    EXPECT_EQ(format.size.height, 720u);
    // What the bytes are, in the format the client was given.
    EXPECT_EQ(uint32_t(format.color_matrix), uint32_t(SPA_VIDEO_COLOR_MATRIX_BT601));
    EXPECT_EQ(uint32_t(format.color_range), uint32_t(SPA_VIDEO_COLOR_RANGE_16_235));
    EXPECT_NEAR(consumer.lumaAt(0, 0), 81, 2);
    EXPECT_NEAR(consumer.lumaAt(1279, 719), 81, 2);
}

TEST(PipeWireOutput, TheCameraIsPublishedAgainAfterPipeWireRestarts) {
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon");
    CameraSetup setup;
    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    ASSERT_TRUE(setup.startWriter()) << PipeWireTestSession::output(setup.writer).toStdString();
    setup.startCamera();
    ASSERT_TRUE(setup.nodeAppears()) << setup.cameraOutput();
    {
        Consumer consumer(setup.runtime.path());
        ASSERT_TRUE(consumer.getsFrames(10)) << setup.cameraOutput();
    }
    // A crash, then a clean stop: the daemon stays away long enough for the first retries to fail.
    for (int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal == SIGKILL ? "pipewire killed" : "pipewire stopped");
        Consumer attached(setup.runtime.path());
        ASSERT_TRUE(attached.getsFrames(10)) << setup.cameraOutput();
        setup.session.stop(setup.session.pipewire(), signal);
        setup.session.stop(setup.session.wireplumber(), SIGTERM);  // it leaves with its daemon anyway
        QTest::qWait(1500);
        ASSERT_EQ(setup.camera->state(), QProcess::Running) << setup.cameraOutput();
        // The application is told why apps cannot see the camera meanwhile.
        std::optional<camera::CameraOutputStatus> status;
        EXPECT_TRUE(QTest::qWaitFor([&] { return (status = camera::readCameraStatus()) && !status->reachable; }, 10000));
        if (status) {
            EXPECT_EQ(status->route, "pipewire");
            const std::string start = "Apps cannot see the camera while PipeWire is away; it comes back by itself (";
            EXPECT_EQ(status->message.substr(0, start.size()), start) << status->message;
        }
        ASSERT_TRUE(setup.session.startPipeWire()) << "pipewire did not start again";
        setup.session.startWirePlumber();
        ASSERT_TRUE(setup.nodeAppears()) << setup.cameraOutput();
        EXPECT_TRUE(QTest::qWaitFor([&] { return (status = camera::readCameraStatus()) && status->reachable; }, 10000))
            << (status ? status->message : std::string("no status"));
        Consumer fresh(setup.runtime.path());
        EXPECT_TRUE(fresh.getsFrames(10)) << setup.cameraOutput();
        EXPECT_EQ(uint32_t(fresh.format().format), uint32_t(SPA_VIDEO_FORMAT_YUY2));
    }
    EXPECT_EQ(setup.camera->state(), QProcess::Running);
    const std::string log = setup.cameraOutput();
    EXPECT_NE(log.find("ostrela-camera: lost the PipeWire camera ("), std::string::npos) << log;
    EXPECT_NE(log.find("ostrela-camera: the PipeWire camera \"Ostrela\" is published again"), std::string::npos) << log;
}

TEST(PipeWireOutput, AnAttachedClientGetsFramesAgainAfterTheSessionManagerRestarts) {
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon");
    CameraSetup setup;
    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    ASSERT_TRUE(setup.startWriter()) << PipeWireTestSession::output(setup.writer).toStdString();
    setup.startCamera();
    ASSERT_TRUE(setup.nodeAppears()) << setup.cameraOutput();
    Consumer attached(setup.runtime.path());
    ASSERT_TRUE(attached.getsFrames(10)) << setup.cameraOutput();
    // Its links go with it, cut under the frames in flight; the new one links the client again.
    for (int signal : {SIGTERM, SIGKILL, SIGTERM, SIGKILL}) {
        setup.session.stop(setup.session.wireplumber(), signal);
        QTest::qWait(300);
        setup.session.startWirePlumber();
        EXPECT_TRUE(attached.getsFrames(15)) << "after wireplumber got signal " << signal << "\n"
                                             << setup.cameraOutput();
    }
    Consumer fresh(setup.runtime.path());
    EXPECT_TRUE(fresh.getsFrames(10)) << setup.cameraOutput();
    EXPECT_EQ(setup.camera->state(), QProcess::Running) << setup.cameraOutput();
}

TEST(PipeWireOutput, GStreamerShowsTheBarsInTheirColours) {
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon", "gst-launch-1.0",
                     "gst-inspect-1.0");
    for (const char* element : {"pipewiresrc", "capssetter", "videoconvert"}) {
        QProcess inspect;
        inspect.start("gst-inspect-1.0", {element});
        if (!inspect.waitForFinished(30000) || inspect.exitCode() != 0) {
            if (PipeWireTestSession::mustNotSkip()) FAIL() << "GStreamer element " << element << " is not installed";
            GTEST_SKIP() << "GStreamer element " << element << " is not installed";
        }
    }
    CameraSetup setup;
    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    ASSERT_TRUE(setup.startWriter()) << PipeWireTestSession::output(setup.writer).toStdString();
    setup.startCamera();
    QJsonObject node;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(node = setup.session.node("Ostrela")).isEmpty(); }, 15000))
        << setup.cameraOutput();

    // The colours the node declares, in GStreamer's words. Debian 12's pipewiresrc leaves them out
    // of its caps, and GStreamer then takes 720p YUV for BT.709 (yellow comes out 253,236,0), so
    // the reader is told what the node says.
    const auto params = enumFormats(setup.session, node.value("id").toInt());
    ASSERT_FALSE(params.empty());
    QString colorimetry;
    if (idValue(params[0], "colorRange") == int(SPA_VIDEO_COLOR_RANGE_16_235)) {
        if (idValue(params[0], "colorMatrix") == int(SPA_VIDEO_COLOR_MATRIX_BT601)) colorimetry = "bt601";
        if (idValue(params[0], "colorMatrix") == int(SPA_VIDEO_COLOR_MATRIX_BT709)) colorimetry = "bt709";
    }
    ASSERT_FALSE(colorimetry.isEmpty()) << "the YUY2 format declares no colour matrix and range GStreamer knows";

    const QString out = setup.runtime.path() + "/frames.rgb";
    QProcess gst;
    gst.setProcessEnvironment(setup.session.env());
    gst.setProcessChannelMode(QProcess::MergedChannels);
    gst.start("gst-launch-1.0",
              {"-q", "pipewiresrc", "target-object=Ostrela", "num-buffers=5", "!", "video/x-raw,format=YUY2", "!",
               "capssetter", "caps=video/x-raw,colorimetry=" + colorimetry, "!", "videoconvert", "!",
               "video/x-raw,format=RGB,width=1280,height=720", "!", "filesink", "location=" + out});
    const bool finished = gst.waitForFinished(30000);
    if (!finished) gst.kill();
    ASSERT_TRUE(finished) << "gst-launch-1.0 took no frames: " << gst.readAll().toStdString() << setup.cameraOutput();
    ASSERT_EQ(gst.exitCode(), 0) << gst.readAll().toStdString();

    QFile file(out);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    const qsizetype frameBytes = 1280 * 720 * 3;
    ASSERT_EQ(all.size(), 5 * frameBytes);
    // A row below the frame counter box, of the last frame.
    const auto* row = reinterpret_cast<const uint8_t*>(all.constData()) + 4 * frameBytes + 400 * 1280 * 3;
    const auto bars = test::measuredBars(row, 1280, 3);
    for (int bar = 0; bar < 8; ++bar)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(bars[bar][c], test::barColour(bar)[c], 8) << test::barName(bar) << " bar, channel " << "RGB"[c];
}

// Benchmark, run by hand (--gtest_also_run_disabled_tests): the intervals a client sees between
// frames at 30 fps, and the camera program's CPU while it serves that client.
TEST(PipeWireOutputBench, DISABLED_FrameIntervalsAndCpuWithAClient) {
    REQUIRE_PROGRAMS("pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon");
    CameraSetup setup;
    QString why;
    ASSERT_TRUE(setup.start(&why)) << why.toStdString();
    ASSERT_TRUE(setup.startWriter()) << PipeWireTestSession::output(setup.writer).toStdString();
    setup.startCamera();
    ASSERT_TRUE(setup.nodeAppears()) << setup.cameraOutput();
    Consumer consumer(setup.runtime.path());
    ASSERT_TRUE(consumer.getsFrames(30));
    auto cpuTicks = [&] {
        QFile stat(QString("/proc/%1/stat").arg(setup.camera->processId()));
        if (!stat.open(QIODevice::ReadOnly)) return 0LL;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.value(11).toLongLong() + fields.value(12).toLongLong();  // utime + stime
    };
    const long long ticks0 = cpuTicks();
    const int64_t t0 = monotonicNs();
    const size_t from = consumer.arrivals().size();
    QTest::qWait(10000);
    const long long ticks1 = cpuTicks();
    const int64_t t1 = monotonicNs();
    const std::vector<int64_t> arrivals = consumer.arrivals();
    std::vector<double> gaps;
    for (size_t i = from + 1; i < arrivals.size(); ++i) gaps.push_back(double(arrivals[i] - arrivals[i - 1]) / 1e6);
    ASSERT_GT(gaps.size(), 100u);
    std::sort(gaps.begin(), gaps.end());
    auto pick = [&](double q) { return gaps[std::min(gaps.size() - 1, size_t(q * double(gaps.size())))]; };
    const double seconds = double(t1 - t0) / 1e9;
    std::printf("frames %zu in %.1f s; interval ms p50 %.2f p99 %.2f min %.2f max %.2f\n", gaps.size() + 1, seconds,
                pick(0.5), pick(0.99), gaps.front(), gaps.back());
    std::printf("camera program CPU: %.1f ms per second\n",
                double(ticks1 - ticks0) * 1000.0 / double(sysconf(_SC_CLK_TCK)) / seconds);
}

#endif

}  // namespace
