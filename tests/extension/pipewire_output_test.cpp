// The camera program's PipeWire output, seen by a PipeWire client, with pipewire and wireplumber
// run by the test in a private runtime directory.
#include "extension/camera/PipeWireSink.h"
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

#include <csignal>

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
        if (daemons_.processId() > 0) ::kill(-pid_t(daemons_.processId()), SIGTERM);
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

}  // namespace
