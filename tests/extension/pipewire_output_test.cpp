// The camera program's PipeWire output, seen by a PipeWire client, with pipewire and wireplumber
// run by the test in a private runtime directory.
#include "extension/camera/PipeWireSink.h"
#include "pipeline/FrameBuffer.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef OSTRELA_HAVE_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#endif

using namespace ostrela;
using ostrela::camera::PipeWireSink;

namespace {

class PipeWireSession {
public:
    explicit PipeWireSession(const QString& dir) : dir_(dir) {
        env_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR"}) env_.insert(name, dir);
        env_.insert("XDG_CONFIG_HOME", dir + "/config");
        env_.insert("XDG_STATE_HOME", dir + "/state");
        env_.remove("DISPLAY");
        env_.remove("DBUS_SESSION_BUS_ADDRESS");
        // A session of its own, so ending it ends the daemons with it.
        daemons_.setProcessEnvironment(env_);
        daemons_.setProgram("setsid");
        daemons_.setArguments({"dbus-run-session", "--", "sh", "-c",
                               "pipewire & sleep 0.5; wireplumber & wait"});
        daemons_.setProcessChannelMode(QProcess::MergedChannels);
        daemons_.start();
    }
    ~PipeWireSession() {
        const pid_t group = pid_t(daemons_.processId());
        if (group > 0) {
            ::kill(-group, SIGTERM);
            // Every daemon of the group gone before the runtime directory is removed.
            if (!QTest::qWaitFor([&] { return ::kill(-group, 0) != 0; }, 5000)) ::kill(-group, SIGKILL);
        }
        daemons_.waitForFinished(5000);
    }
    bool up() {
        return QTest::qWaitFor([&] { return QFileInfo::exists(dir_ + "/pipewire-0"); }, 10000);
    }
    const QProcessEnvironment& env() const { return env_; }
    // The nodes a client sees, by node name.
    QJsonObject nodeProps(const QString& name) {
        QProcess dump;
        dump.setProcessEnvironment(env_);
        dump.start("pw-dump", {});
        if (!dump.waitForFinished(10000)) return {};
        for (const QJsonValue& v : QJsonDocument::fromJson(dump.readAllStandardOutput()).array()) {
            const QJsonObject o = v.toObject();
            if (o.value("type").toString() != "PipeWire:Interface:Node") continue;
            const QJsonObject info = o.value("info").toObject();
            if (info.value("props").toObject().value("node.name").toString() == name) return info;
        }
        return {};
    }

private:
    QString dir_;
    QProcessEnvironment env_;
    QProcess daemons_;
};

TEST(PipeWireOutput, CameraProgramPublishesAnOstrelaVideoSource) {
    if (!PipeWireSink::available()) GTEST_SKIP() << "built without PipeWire";
    for (const char* tool : {"pipewire", "wireplumber", "pw-dump", "dbus-run-session", "setsid"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    test::ScopedTestEnv env;
    QTemporaryDir runtime;
    PipeWireSession session(runtime.path());
    ASSERT_TRUE(session.up()) << "pipewire did not start";

    QProcess camera;
    QProcessEnvironment cameraEnv = session.env();
    cameraEnv.insert("OSTRELA_CONTAINER_DIR", QString::fromStdString(env.containerDir()));
    camera.setProcessEnvironment(cameraEnv);
    camera.setProcessChannelMode(QProcess::MergedChannels);
    camera.start(QString::fromStdString(test::programPath("ostrela-camera")), {"--pipewire", "--seconds", "30"});
    ASSERT_TRUE(camera.waitForStarted(5000));

    QJsonObject node;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(node = session.nodeProps("Ostrela")).isEmpty(); }, 15000))
        << camera.readAll().toStdString();
    const QJsonObject props = node.value("props").toObject();
    EXPECT_EQ(props.value("media.class").toString(), "Video/Source");
    EXPECT_EQ(props.value("node.description").toString(), "Ostrela");
    EXPECT_EQ(props.value("media.role").toString(), "Camera");
    const QJsonArray formats = node.value("params").toObject().value("EnumFormat").toArray();
    ASSERT_EQ(formats.size(), 1);
    const QJsonObject format = formats[0].toObject();
    EXPECT_EQ(format.value("mediaSubtype").toString(), "raw");
    EXPECT_EQ(format.value("size").toObject().value("width").toInt(), 1280);
    EXPECT_EQ(format.value("size").toObject().value("height").toInt(), 720);
    const QJsonObject choices = format.value("format").toObject();
    EXPECT_EQ(choices.value("default").toString(), "YUY2");
    EXPECT_EQ(choices.value("alt2").toString(), "BGRx");

    camera.terminate();
    ASSERT_TRUE(camera.waitForFinished(10000));
    EXPECT_EQ(camera.exitCode(), 0) << camera.readAll().toStdString();
    // Gone with its producer.
    EXPECT_TRUE(QTest::qWaitFor([&] { return session.nodeProps("Ostrela").isEmpty(); }, 10000));
}

#ifdef OSTRELA_HAVE_PIPEWIRE

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
                if (spa_format_video_raw_parse(param, &info) >= 0) static_cast<Consumer*>(data)->format_ = info.format;
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
    uint32_t format() const { return format_.load(); }
    // Luma at a pixel of the last frame; -1 before any.
    int lumaAt(int x, int y) {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t at = size_t(y) * stride_ + size_t(x) * 2;
        return at < last_.size() ? last_[at] : -1;
    }

private:
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::atomic<int> frames_{0};
    std::atomic<uint32_t> format_{0};
    std::mutex mutex_;
    std::vector<uint8_t> last_;
    uint32_t stride_ = 0;
};

TEST(PipeWireOutput, AClientReceivesThePublishedFrames) {
    for (const char* tool : {"pipewire", "wireplumber", "dbus-run-session", "setsid"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    test::ScopedTestEnv env;
    // A frame of solid red (BGRA), announced with a fresh time stamp whenever we look.
    uint8_t* frame = openFrameBuffer(true);
    ASSERT_NE(frame, nullptr);
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        frame[i] = 0; frame[i + 1] = 0; frame[i + 2] = 255; frame[i + 3] = 255;
    }
    uint64_t generation = 0;
    auto publish = [&] { writeFrameState(FrameState{++generation, wallClockSeconds()}); };
    publish();

    QTemporaryDir runtime;
    PipeWireSession session(runtime.path());
    ASSERT_TRUE(session.up()) << "pipewire did not start";
    QProcess camera;
    QProcessEnvironment cameraEnv = session.env();
    cameraEnv.insert("OSTRELA_CONTAINER_DIR", QString::fromStdString(env.containerDir()));
    camera.setProcessEnvironment(cameraEnv);
    camera.setProcessChannelMode(QProcess::MergedChannels);
    camera.start(QString::fromStdString(test::programPath("ostrela-camera")), {"--pipewire", "--seconds", "60"});
    ASSERT_TRUE(camera.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !session.nodeProps("Ostrela").isEmpty(); }, 15000));

    Consumer consumer(runtime.path());
    // Red in BT.601 limited range: Y = 16 + 65.481 = 81.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            publish();
            return consumer.frames() >= 3 && std::abs(consumer.lumaAt(640, 360) - 81) <= 2;
        },
        20000))
        << "frames " << consumer.frames() << ", luma " << consumer.lumaAt(640, 360) << "\n"
        << camera.readAll().toStdString();
    EXPECT_EQ(consumer.format(), uint32_t(SPA_VIDEO_FORMAT_YUY2));
    EXPECT_NEAR(consumer.lumaAt(0, 0), 81, 2);
    EXPECT_NEAR(consumer.lumaAt(1279, 719), 81, 2);
    camera.terminate();
    camera.waitForFinished(10000);
}

#endif

}  // namespace
