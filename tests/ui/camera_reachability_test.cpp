// The main window's word on whether other apps can see the "Ostrela" camera: the view model's note
// from the camera program's status file (written here with this test's own pid for a live
// program), a fake sysfs and the scripted service manager, and the row under the camera bar.
#include "extension/CameraReachability.h"
#include "extension/ExtensionManager.h"
#include "extension/camera/CameraStatus.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

using namespace ostrela;

namespace {

const QString kNotRunning = QStringLiteral("Other apps can't see the Ostrela camera: the camera service isn't running.");
const QString kNotSetUp = QStringLiteral("Other apps can't see the Ostrela camera: the camera service isn't set up.");
const QString kNoCamera =
    QStringLiteral("Other apps can't see the Ostrela camera: no loopback device and no PipeWire camera.");
const QString kKeepsStopping =
    QStringLiteral("Other apps can't see the Ostrela camera: the camera service keeps stopping.");
const QString kDeviceGone = QStringLiteral("Other apps can't see the Ostrela camera: its loopback device is gone.");

// The pid of a process that has ended.
qint64 deadPid() {
    QProcess p;
    p.start(QStringLiteral("/bin/true"), {});
    p.waitForFinished(20000);
    return p.processId() > 0 ? p.processId() : 999999999;
}

class CameraReachabilityTest : public ::testing::Test {
protected:
    CameraReachabilityTest() : fx(env) {
        qputenv("OSTRELA_SYSFS_ROOT", sys.path().toUtf8());
        QDir().mkpath(sys.path() + "/class/video4linux");
        // No first-launch activation in the way: each test says what the manager is doing.
        settings::setHasAttemptedInitialActivation(true);
        settings::setHasSeenOnboarding(true);
    }
    ~CameraReachabilityTest() override { qunsetenv("OSTRELA_SYSFS_ROOT"); }

    std::unique_ptr<ContentViewModel> makeModel() {
        ContentViewModel::Dependencies d;
        d.extensionManager = fx.app->extensionManager();
        d.captureBackend = fx.app->captureBackend();
        auto model = std::make_unique<ContentViewModel>(d);
        // Only the file watch may bring a change within a wait here.
        model->cameraReachabilityMonitor()->setRecheckInterval(3600 * 1000);
        return model;
    }
    void device(const QString& node, const QString& name) {
        QDir().mkpath(sys.path() + "/class/video4linux/" + node);
        QFile f(sys.path() + "/class/video4linux/" + node + "/name");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write((name + "\n").toUtf8());
    }
    QString statusPath() const {
        return QString::fromStdString(env.containerDir()) + QStringLiteral("/camera_status.json");
    }
    // The camera program's status as it writes it: atomically, with its pid.
    void writeStatus(const QString& route, const QString& device, bool reachable, const QString& message,
                     qint64 pid = QCoreApplication::applicationPid()) {
        QDir().mkpath(QString::fromStdString(env.containerDir()));
        QSaveFile f(statusPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{"route", route},
                                          {"device", device},
                                          {"reachable", reachable},
                                          {"message", message},
                                          {"pid", double(pid)},
                                          {"updated", 1.0e9}})
                    .toJson(QJsonDocument::Compact));
        ASSERT_TRUE(f.commit());
    }
    // Waits for the file watch to bring the note to `text` (empty: hidden).
    bool noteBecomes(ContentViewModel& model, const QString& text) {
        return QTest::qWaitFor(
            [&] {
                const CameraReachabilityNote n = model.cameraReachability();
                return text.isEmpty() ? !n.visible : (n.visible && n.text == text);
            },
            20000);
    }

    test::ScopedTestEnv env;
    QTemporaryDir sys;
    test::AppFixture fx;
};

}  // namespace

TEST_F(CameraReachabilityTest, NothingIsSaidBeforeTheFirstAppearance) {
    fx.platform->setCameraServiceState(CameraServiceState::inactive);
    auto model = makeModel();
    EXPECT_FALSE(model->cameraReachability().visible);
    EXPECT_EQ(fx.platform->serviceQueries(), 0);
    model->appear();
    EXPECT_EQ(fx.platform->serviceQueries(), 1);
    EXPECT_TRUE(model->cameraReachability().visible);
}

TEST_F(CameraReachabilityTest, AStoppedServiceOffersActivateAndTheActionActivates) {
    fx.platform->setCameraServiceState(CameraServiceState::inactive);
    auto model = makeModel();
    QSignalSpy changed(model.get(), &ContentViewModel::cameraReachabilityChanged);
    model->appear();
    CameraReachabilityNote note = model->cameraReachability();
    EXPECT_TRUE(note.visible);
    EXPECT_EQ(note.text, kNotRunning);
    EXPECT_EQ(note.action, CameraReachabilityNote::Action::activate);
    EXPECT_EQ(note.actionTitle, "Activate");
    EXPECT_EQ(note.detail, "");
    EXPECT_EQ(changed.count(), 1);

    model->fixCameraReachability();
    ASSERT_EQ(fx.platform->requests().size(), 1u);
    EXPECT_EQ(fx.platform->requests()[0].kind, ScriptedExtensionPlatform::Kind::activation);
    // The request under way is the fix; the note waits for its end.
    EXPECT_FALSE(model->cameraReachability().visible);

    // It failed: the note is back with the reason, and the service was asked again.
    fx.platform->playFailed({"OstrelaExtensionErrorDomain", 2,
                             "The v4l2loopback kernel module is not installed, so only PipeWire clients see the camera."});
    EXPECT_EQ(fx.platform->serviceQueries(), 2);
    note = model->cameraReachability();
    EXPECT_TRUE(note.visible);
    EXPECT_EQ(note.text, kNotRunning);
    EXPECT_EQ(note.detail, "Last activation: The v4l2loopback kernel module is not installed, so only PipeWire "
                           "clients see the camera.");

    // Activated: the service runs and its camera program reports the camera reachable.
    fx.platform->setCameraServiceState(CameraServiceState::active);
    model->fixCameraReachability();
    writeStatus("pipewire", "", true, "");
    fx.platform->playFinished(0);
    EXPECT_FALSE(model->cameraReachability().visible);
}

TEST_F(CameraReachabilityTest, ServiceStatesWithoutACameraProgram) {
    auto model = makeModel();
    fx.platform->setCameraServiceState(CameraServiceState::notInstalled);
    model->appear();
    EXPECT_EQ(model->cameraReachability().text, kNotSetUp);
    EXPECT_EQ(model->cameraReachability().action, CameraReachabilityNote::Action::activate);

    // Restarting over and over: without a device it has nowhere to publish; with one it is
    // something the help explains.
    fx.platform->setCameraServiceState(CameraServiceState::restarting);
    fx.app->extensionManager()->refreshCameraServiceState();
    EXPECT_EQ(model->cameraReachability().text, kNoCamera);
    EXPECT_EQ(model->cameraReachability().action, CameraReachabilityNote::Action::activate);
    device("video4", "Ostrela");
    model->cameraReachabilityMonitor()->check();
    EXPECT_EQ(model->cameraReachability().text, kKeepsStopping);
    EXPECT_EQ(model->cameraReachability().action, CameraReachabilityNote::Action::help);
    EXPECT_EQ(model->cameraReachability().actionTitle, "Help");
    int opened = 0;
    ExtensionManager::setExtensionSettingsOpener([&] { ++opened; });
    model->fixCameraReachability();
    ExtensionManager::setExtensionSettingsOpener({});
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(fx.platform->requests().empty());

    // Running but not yet heard from: no verdict.
    fx.platform->setCameraServiceState(CameraServiceState::active);
    fx.app->extensionManager()->refreshCameraServiceState();
    EXPECT_FALSE(model->cameraReachability().visible);

    // No service manager to ask, and no camera program: not running, as far as anyone can tell.
    fx.platform->setCameraServiceState(CameraServiceState::unknown);
    fx.app->extensionManager()->refreshCameraServiceState();
    EXPECT_EQ(model->cameraReachability().text, kNotRunning);
}

TEST_F(CameraReachabilityTest, ALiveCameraProgramDecides) {
    fx.platform->setCameraServiceState(CameraServiceState::notInstalled);  // run by hand: the file decides
    device("video4", "Ostrela");
    writeStatus("loopback", "/dev/video4", true, "");
    auto model = makeModel();
    model->appear();
    EXPECT_FALSE(model->cameraReachability().visible);

    // The device under it went away.
    QDir(sys.path() + "/class/video4linux/video4").removeRecursively();
    device("video4", "Dummy video device (0x0000)");
    model->cameraReachabilityMonitor()->check();
    EXPECT_EQ(model->cameraReachability().text, kDeviceGone);
    EXPECT_EQ(model->cameraReachability().action, CameraReachabilityNote::Action::activate);

    // What the program says when call apps cannot pick it, in its words.
    writeStatus("pipewire", "", false, "no PipeWire session is running");
    ASSERT_TRUE(noteBecomes(*model, "Other apps can't see the Ostrela camera: no PipeWire session is running."));
    EXPECT_EQ(model->cameraReachability().action, CameraReachabilityNote::Action::help);
    writeStatus("pipewire", "", false, "");
    ASSERT_TRUE(noteBecomes(*model, "Other apps can't see the Ostrela camera: the camera isn't ready."));

    // Reachable again: the note goes.
    writeStatus("pipewire", "", true, "");
    ASSERT_TRUE(noteBecomes(*model, ""));
}

TEST_F(CameraReachabilityTest, ADeadOrVanishedCameraProgramIsNoCamera) {
    fx.platform->setCameraServiceState(CameraServiceState::active);
    writeStatus("pipewire", "", true, "");
    auto model = makeModel();
    model->appear();
    EXPECT_FALSE(model->cameraReachability().visible);
    const int asked = fx.platform->serviceQueries();

    // Killed without a word: the file stays with a pid nobody has. The going is what makes the
    // service manager be asked again.
    fx.platform->setCameraServiceState(CameraServiceState::inactive);
    writeStatus("pipewire", "", true, "", deadPid());
    ASSERT_TRUE(noteBecomes(*model, kNotRunning));
    EXPECT_EQ(fx.platform->serviceQueries(), asked + 1);

    // Back, then ended cleanly: the file is removed.
    device("video4", "Ostrela");
    writeStatus("loopback", "/dev/video4", true, "");
    ASSERT_TRUE(noteBecomes(*model, ""));
    fx.platform->setCameraServiceState(CameraServiceState::restarting);
    QFile::remove(statusPath());
    ASSERT_TRUE(noteBecomes(*model, kKeepsStopping));
    EXPECT_EQ(fx.platform->serviceQueries(), asked + 2);
    // And the watch still works once the file is back.
    writeStatus("loopback", "/dev/video4", true, "");
    ASSERT_TRUE(noteBecomes(*model, ""));
}

TEST_F(CameraReachabilityTest, TheRowSitsUnderTheCameraBarAndActivates) {
    fx.platform->setCameraServiceState(CameraServiceState::inactive);
    MainWindow window(fx.app.get());
    window.model()->cameraReachabilityMonitor()->setRecheckInterval(3600 * 1000);
    window.resize(1100, 760);
    window.show();
    QApplication::processEvents();
    auto* row = window.findChild<QWidget*>(QStringLiteral("cameraReachabilityRow"));
    auto* text = window.findChild<QLabel*>(QStringLiteral("cameraReachabilityText"));
    auto* button = window.findChild<QPushButton*>(QStringLiteral("cameraReachabilityButton"));
    auto* cameraButton = window.findChild<QPushButton*>(QStringLiteral("cameraButton"));
    ASSERT_TRUE(row && text && button && cameraButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->isVisible(); }, 20000));
    EXPECT_EQ(text->text(), kNotRunning);
    EXPECT_EQ(button->text(), "Activate");
    // Under the Start/Stop button, in the camera bar, never over it.
    const QRect rowRect(row->mapTo(&window, QPoint(0, 0)), row->size());
    const QRect cameraRect(cameraButton->mapTo(&window, QPoint(0, 0)), cameraButton->size());
    EXPECT_GE(rowRect.top(), cameraRect.bottom());
    EXPECT_FALSE(rowRect.intersects(cameraRect));
    EXPECT_EQ(row->parentWidget()->objectName(), "cameraBar");
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_EQ(fx.platform->requests().size(), 1u);
    EXPECT_EQ(fx.platform->requests()[0].kind, ScriptedExtensionPlatform::Kind::activation);
    EXPECT_FALSE(row->isVisible());

    fx.platform->setCameraServiceState(CameraServiceState::active);
    writeStatus("pipewire", "", true, "");
    fx.platform->playFinished(0);
    EXPECT_FALSE(row->isVisible());
    // Hidden when reachable, back when the program goes.
    QFile::remove(statusPath());
    fx.platform->setCameraServiceState(CameraServiceState::inactive);
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->isVisible(); }, 20000));
    EXPECT_EQ(text->text(), kNotRunning);
}
