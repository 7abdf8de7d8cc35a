// The Linux registration driven through the extension manager, with stand-in scripts for pkexec,
// v4l2loopback-ctl, modprobe and systemctl that record their arguments and act on a fake sysfs.
#include "extension/ExtensionManager.h"
#include "extension/LinuxExtensionPlatform.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// Readable failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

using namespace ostrela;

namespace {

void writeText(const QString& path, const QString& text, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
    f.close();
    if (executable) f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

QString readText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

const QString kId = QStringLiteral("com.morwick.Ostrela.CameraExtension");
const QString kApproval =
    QStringLiteral("Awaiting approval in System Settings \u2192 General \u2192 Login Items & Extensions");

class LinuxPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        root = tmp.path();
        tools = root + "/tools";
        sys = root + "/sys";
        QDir().mkpath(sys + "/class/video4linux");
        qputenv("OSTRELA_TOOL_PATH", tools.toUtf8());
        // The unit passes these through to the camera; keep the expected file independent of the caller.
        savedDataHome = qgetenv("XDG_DATA_HOME");
        qunsetenv("XDG_DATA_HOME");
        const QString log = root + "/calls.log";
        // Each script records "name args" and acts on the fake sysfs.
        writeText(tools + "/pkexec",
                  "#!/bin/sh\necho \"pkexec $*\" >> '" + log + "'\n"
                  "if [ -f '" + root + "/pkexec.exit' ]; then exit $(cat '" + root + "/pkexec.exit'); fi\n"
                  "exec \"$@\"\n", true);
        writeText(tools + "/v4l2loopback-ctl",
                  "#!/bin/sh\necho \"v4l2loopback-ctl $*\" >> '" + log + "'\n"
                  "case \"$1\" in\n"
                  "  add) mkdir -p '" + sys + "/class/video4linux/video7' && echo Ostrela > '" + sys +
                      "/class/video4linux/video7/name' && echo /dev/video7 ;;\n"
                  "  delete) rm -rf '" + sys + "/class/video4linux/video7' ;;\n"
                  "esac\n", true);
        writeText(tools + "/modprobe",
                  "#!/bin/sh\necho \"modprobe $*\" >> '" + log + "'\n"
                  "if [ \"$1\" = -r ]; then rm -rf '" + sys + "/class/video4linux/video3' '" + sys +
                      "/module/v4l2loopback'; exit 0; fi\n"
                  "if [ -f '" + root + "/modprobe.fail' ]; then echo 'modprobe: ERROR: could not insert' >&2; exit 1; fi\n"
                  "mkdir -p '" + sys + "/module/v4l2loopback' '" + sys + "/class/video4linux/video3'\n"
                  "echo Ostrela > '" + sys + "/class/video4linux/video3/name'\n", true);
        writeText(tools + "/systemctl",
                  "#!/bin/sh\necho \"systemctl $*\" >> '" + log + "'\n"
                  "if [ \"$2\" = show ]; then echo 4242; exit 0; fi\n"
                  "if [ \"$2\" = is-active ]; then\n"
                  "  state=active; [ -f '" + root + "/service.state' ] && state=$(cat '" + root + "/service.state')\n"
                  "  echo $state; [ $state = active ]; exit $?\n"
                  "fi\n"
                  "if [ -f \"" + root + "/systemctl-$2.exit\" ]; then echo \"Failed to $2 unit\" >&2; exit $(cat \"" + root +
                      "/systemctl-$2.exit\"); fi\n", true);
        // A path with a space, as in a home-built copy.
        camera = root + "/My Apps/ostrela-camera";
        writeText(camera, "#!/bin/sh\nexit 0\n", true);

        config.sysfsRoot = sys;
        // The camera service's process, holding whichever device a test makes.
        config.procRoot = root + "/proc";
        QDir().mkpath(config.procRoot + "/4242/fd");
        QFile::link("/dev/null", config.procRoot + "/4242/fd/0");
        for (int n : {0, 2, 3, 7})
            QFile::link(QString("/dev/video%1").arg(n), config.procRoot + QString("/4242/fd/%1").arg(10 + n));
        config.modulesRoot = root + "/modules";
        config.sourcesRoot = root + "/src";
        config.kernelRelease = "6.1.0-21-amd64";
        config.unitDirectory = root + "/config/systemd/user";
        config.stateFile = root + "/data/camera-extension.json";
        config.cameraProgram = camera;
        config.version = {"0.2.0", "20"};
        config.serviceSettleMs = 0;
        config.deviceWaitMs = 300;
    }
    void TearDown() override {
        qunsetenv("OSTRELA_TOOL_PATH");
        if (!savedDataHome.isEmpty()) qputenv("XDG_DATA_HOME", savedDataHome);
        QLocale::setDefault(QLocale::system());
    }

    // The module and its control device for dynamic devices.
    void loadModule(bool controlDevice) {
        QDir().mkpath(sys + "/module/v4l2loopback");
        if (controlDevice) QDir().mkpath(sys + "/class/misc/v4l2loopback");
    }
    void installModuleFor(const QString& release) {
        writeText(config.modulesRoot + "/" + release + "/modules.dep",
                  "kernel/drivers/media/usb/uvc/uvcvideo.ko:\nupdates/dkms/v4l2loopback.ko:\n");
    }
    void presentDevice(const QString& node) { writeText(sys + "/class/video4linux/" + node + "/name", "Ostrela\n"); }

    // Runs one request to its end through a fresh manager and platform.
    void run(bool activation) {
        if (!manager) {
            platform = std::make_shared<LinuxExtensionPlatform>(config);
            manager = std::make_unique<ExtensionManager>(platform);
        }
        const qsizetype before = manager->logLines().size();
        if (activation) manager->activate();
        else manager->deactivate(kId);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return manager->statusText().startsWith("Request") && manager->logLines().size() > before + 1;
            },
            20000))
            << manager->statusText().toStdString();
    }

    QStringList calls() const {
        QStringList out = readText(root + "/calls.log").split('\n', Qt::SkipEmptyParts);
        for (QString& line : out) line.replace(tools + "/", "<tools>/");
        return out;
    }
    QStringList messages() const {
        static const QRegularExpression stamp(QStringLiteral("^\\[\\d{1,2}:\\d{2}:\\d{2}[ \\x{202F}](AM|PM)\\] "));
        QStringList out;
        for (QString line : manager->logLines()) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            out << line.remove(stamp);
        }
        return out;
    }
    QString unitFile() const { return config.unitDirectory + "/ostrela-camera.service"; }

    QTemporaryDir tmp;
    test::ScopedTestEnv env;
    QString root, tools, sys, camera;
    QByteArray savedDataHome;
    LinuxExtensionPlatformConfig config;
    std::shared_ptr<LinuxExtensionPlatform> platform;
    std::unique_ptr<ExtensionManager> manager;
};

const QStringList kServiceCalls = {
    "systemctl --user daemon-reload",
    "systemctl --user enable ostrela-camera.service",
    "systemctl --user restart ostrela-camera.service",
    "systemctl --user is-active ostrela-camera.service",
    "systemctl --user show -p MainPID --value ostrela-camera.service",
};

TEST_F(LinuxPlatformTest, AddsADynamicDeviceAfterApprovalAndStartsTheService) {
    loadModule(true);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_FALSE(manager->isAwaitingApproval());
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, kApproval, "Request completed"}));
    EXPECT_EQ(calls(), QStringList({"pkexec <tools>/v4l2loopback-ctl add -n Ostrela -x 1",
                                    "v4l2loopback-ctl add -n Ostrela -x 1"}) +
                           kServiceCalls);
    EXPECT_EQ(readText(unitFile()),
              "[Unit]\n"
              "Description=Ostrela camera (publishes Ostrela's picture as the camera \"Ostrela\")\n"
              "X-Ostrela-Version=0.2.0\n"
              "X-Ostrela-Build=20\n"
              "\n[Service]\nType=simple\n"
              "Environment=OSTRELA_DATA_DIR=" + QString::fromStdString(env.dataDir()) + "\n"
              "Environment=OSTRELA_CONTAINER_DIR=" + QString::fromStdString(env.containerDir()) + "\n"
              "ExecStart=\"" + camera + "\"\n"
              "Restart=always\nRestartSec=5\n"
              "\n[Install]\nWantedBy=default.target\n");
    EXPECT_TRUE(readText(config.stateFile).contains("\"/dev/video7\""));
}

TEST_F(LinuxPlatformTest, LoadsTheModuleWithTheOstrelaLabelWhenItIsNotLoaded) {
    installModuleFor(config.kernelRelease);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls(), QStringList({"pkexec <tools>/modprobe v4l2loopback card_label=Ostrela exclusive_caps=1",
                                    "modprobe v4l2loopback card_label=Ostrela exclusive_caps=1"}) +
                           kServiceCalls);
    EXPECT_TRUE(readText(config.stateFile).contains("\"modprobe\""));
}

TEST_F(LinuxPlatformTest, AnExistingDeviceNeedsNoApproval) {
    loadModule(true);
    presentDevice("video2");
    run(true);
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, "Request completed"}));
    EXPECT_EQ(calls(), kServiceCalls);
    EXPECT_FALSE(QFile::exists(config.stateFile));  // not ours to remove later
}

TEST_F(LinuxPlatformTest, RefusedAuthenticationFailsWithoutTouchingTheService) {
    loadModule(true);
    writeText(root + "/pkexec.exit", "126");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The authentication was dismissed, so the camera device was not created.");
    EXPECT_FALSE(manager->isAwaitingApproval());
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, kApproval,
                                       "Request failed: The authentication was dismissed, so the camera device was "
                                       "not created. [OstrelaExtensionErrorDomain 11]"}));
    EXPECT_EQ(calls(), QStringList{"pkexec <tools>/v4l2loopback-ctl add -n Ostrela -x 1"});
    EXPECT_FALSE(QFile::exists(unitFile()));

    writeText(root + "/pkexec.exit", "127");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: Not authorised, so the camera device was not created.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 13]"));
}

TEST_F(LinuxPlatformTest, FailingModprobeReportsItsMessage) {
    installModuleFor(config.kernelRelease);
    writeText(root + "/modprobe.fail", "");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: modprobe failed (modprobe: ERROR: could not insert), so the "
                                     "camera device was not created.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 7]"));
}

TEST_F(LinuxPlatformTest, ModuleBuiltOnlyForAnotherKernelCompletesAfterReboot) {
    installModuleFor("6.1.0-22-amd64");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request will complete after reboot");
    EXPECT_FALSE(manager->isAwaitingApproval());
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));  // the camera serves PipeWire clients meanwhile
    EXPECT_TRUE(QFile::exists(unitFile()));
}

TEST_F(LinuxPlatformTest, MissingModuleSaysWhatToInstall) {
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The v4l2loopback kernel module is not installed, so only "
                                     "PipeWire clients see the camera. Install the package v4l2loopback-dkms, then "
                                     "activate again.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 2]"));
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
    EXPECT_TRUE(QFile::exists(unitFile()));

    QDir().mkpath(config.sourcesRoot + "/v4l2loopback-0.12.7");
    writeText(root + "/service.state", "failed");  // the module problem still is what is reported
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The v4l2loopback module is installed but not built for the "
                                     "running kernel 6.1.0-21-amd64, so only PipeWire clients see the camera. Install "
                                     "the package linux-headers-6.1.0-21-amd64 so DKMS can build it, then activate "
                                     "again.");
    EXPECT_FALSE(calls().join("\n").contains("pkexec"));
}

TEST_F(LinuxPlatformTest, ModuleLoadedWithoutDynamicDevicesIsNotReloaded) {
    loadModule(false);
    presentDevice("video0");
    writeText(sys + "/class/video4linux/video0/name", "OBS Virtual Camera\n");
    run(true);
    EXPECT_TRUE(manager->statusText().startsWith("Request failed: The v4l2loopback module is already loaded without "
                                                 "a camera named \"Ostrela\", so only PipeWire clients see the "
                                                 "camera."));
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 6]"));
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
}

TEST_F(LinuxPlatformTest, ServiceThatDoesNotStayUpFails) {
    presentDevice("video0");
    writeText(root + "/service.state", "activating");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The camera service did not start (activating); see "
                                     "\"journalctl --user -u ostrela-camera.service\".");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 8]"));
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
}

TEST_F(LinuxPlatformTest, DeviceHeldByAnotherProgramFails) {
    presentDevice("video2");
    QFile::remove(config.procRoot + "/4242/fd/12");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The camera \"Ostrela\" (/dev/video2) is in use by another "
                                     "program, so the Ostrela camera service could not attach to it. Close the other "
                                     "program, then activate again.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 6]"));
    EXPECT_EQ(calls(), kServiceCalls);
}

TEST_F(LinuxPlatformTest, UnreachableUserManagerFails) {
    presentDevice("video0");
    writeText(root + "/systemctl-enable.exit", "1");
    run(true);
    EXPECT_EQ(manager->statusText(),
              "Request failed: systemctl --user enable ostrela-camera.service failed (Failed to enable unit).");
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 2));
}

TEST_F(LinuxPlatformTest, MissingToolsAndProgramFailClearly) {
    presentDevice("video0");
    QFile::remove(tools + "/systemctl");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: systemctl was not found; the camera service needs systemd.");

    QFile::remove(sys + "/class/video4linux/video0/name");
    loadModule(true);
    QFile::remove(tools + "/pkexec");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: pkexec was not found, so the camera device was not created. "
                                     "Install the package pkexec (polkit).");

    QFile::remove(camera);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The camera program was not found at " + camera + ".");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 4]"));
    EXPECT_TRUE(calls().isEmpty());
}

TEST_F(LinuxPlatformTest, ReplacingAnOlderServiceLogsBothVersions) {
    presentDevice("video0");
    writeText(unitFile(), "[Unit]\nX-Ostrela-Version=0.1.0\nX-Ostrela-Build=10\n[Service]\nExecStart=/old/ostrela-camera\n");
    run(true);
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId,
                                       "Replacing existing extension 0.1.0 (10) with 0.2.0 (20)", "Request completed"}));
    EXPECT_TRUE(readText(unitFile()).contains("X-Ostrela-Version=0.2.0\nX-Ostrela-Build=20\n"));

    // The same version again is no replacement.
    run(true);
    EXPECT_EQ(messages().mid(3), (QStringList{"Submitting activation request for " + kId, "Request completed"}));

    // A unit without version lines was written by something older.
    writeText(unitFile(), "[Service]\nExecStart=/old/ostrela-camera\n");
    run(true);
    EXPECT_EQ(messages()[6], "Replacing existing extension unknown (unknown) with 0.2.0 (20)");
}

TEST_F(LinuxPlatformTest, DeactivationRemovesTheServiceAndTheDeviceWeAdded) {
    loadModule(true);
    run(true);
    ASSERT_EQ(manager->statusText(), "Request completed");
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(messages().mid(3), (QStringList{"Submitting deactivation request for " + kId, kApproval,
                                              "Request completed"}));
    EXPECT_EQ(calls(), (QStringList{"systemctl --user stop ostrela-camera.service",
                                    "systemctl --user disable ostrela-camera.service",
                                    "systemctl --user daemon-reload",
                                    "pkexec <tools>/v4l2loopback-ctl delete /dev/video7",
                                    "v4l2loopback-ctl delete /dev/video7"}));
    EXPECT_FALSE(QFile::exists(unitFile()));
    EXPECT_FALSE(QFile::exists(config.stateFile));
    EXPECT_FALSE(QFile::exists(sys + "/class/video4linux/video7"));
}

TEST_F(LinuxPlatformTest, DeactivationUnloadsOnlyAModuleWeLoaded) {
    installModuleFor(config.kernelRelease);
    run(true);
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <tools>/modprobe -r v4l2loopback", "modprobe -r v4l2loopback"}));

    // A device someone else made stays.
    presentDevice("video0");
    run(true);
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().size(), 3);
    EXPECT_TRUE(QFile::exists(sys + "/class/video4linux/video0/name"));
}

TEST_F(LinuxPlatformTest, DeactivationAfterTheDeviceVanishedAsksNothing) {
    loadModule(true);
    run(true);
    QDir(sys + "/class/video4linux/video7").removeRecursively();  // a restart removes it
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().size(), 3);
    EXPECT_FALSE(QFile::exists(config.stateFile));
}

TEST_F(LinuxPlatformTest, UnknownIdentifierIsRefused) {
    platform = std::make_shared<LinuxExtensionPlatform>(config);
    manager = std::make_unique<ExtensionManager>(platform);
    manager->deactivate("org.example.Other");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->statusText().startsWith("Request"); }, 20000));
    EXPECT_EQ(manager->statusText(),
              "Request failed: Ostrela ships no camera extension with the identifier \"org.example.Other\".");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 5]"));
}

TEST_F(LinuxPlatformTest, RequestsRunOneAfterAnother) {
    loadModule(true);
    platform = std::make_shared<LinuxExtensionPlatform>(config);
    manager = std::make_unique<ExtensionManager>(platform);
    manager->activate();
    manager->deactivate(kId);
    EXPECT_EQ(manager->statusText(), "Deactivation requested\u2026");
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages().count("Request completed") == 2; }, 20000));
    const QStringList c = calls();
    ASSERT_EQ(c.size(), 12);
    EXPECT_EQ(c[0], "pkexec <tools>/v4l2loopback-ctl add -n Ostrela -x 1");
    EXPECT_EQ(c[6], "systemctl --user show -p MainPID --value ostrela-camera.service");
    EXPECT_EQ(c[7], "systemctl --user stop ostrela-camera.service");
    EXPECT_EQ(c[11], "v4l2loopback-ctl delete /dev/video7");
}

TEST(CameraServiceUnit, EscapesSpecifiersInThePath) {
    const QString unit = cameraServiceUnit("/home/a%b/$HOME/ostrela-camera", {"1", "2"});
    EXPECT_TRUE(unit.contains("\nExecStart=\"/home/a%%b/$$HOME/ostrela-camera\"\n")) << unit.toStdString();
    const QString quoted = cameraServiceUnit("/home/x/\"q\" dir/ostrela-camera", {"1", "2"});
    EXPECT_TRUE(quoted.contains("\nExecStart=\"/home/x/\\\"q\\\" dir/ostrela-camera\"\n")) << quoted.toStdString();
}

TEST(SysfsDevice, FindsTheOstrelaCardByNumber) {
    QTemporaryDir dir;
    writeText(dir.path() + "/class/video4linux/video10/name", "Ostrela\n");
    writeText(dir.path() + "/class/video4linux/video2/name", "Ostrela\n");
    writeText(dir.path() + "/class/video4linux/video0/name", "Integrated Camera\n");
    writeText(dir.path() + "/class/video4linux/video1/name", "Ostrela 2\n");
    EXPECT_EQ(findOstrelaDeviceInSysfs(dir.path()), "/dev/video2");
    EXPECT_EQ(findOstrelaDeviceInSysfs(dir.path() + "/absent"), "");
}

}  // namespace
