// The Linux registration driven through the extension manager, with stand-in scripts for pkexec,
// v4l2loopback-ctl, modprobe and systemctl that record their arguments and act on a fake sysfs.
// The real setup helper runs under the stand-in pkexec and writes the module's files below a
// fake /etc.
#include "extension/ExtensionManager.h"
#include "extension/LinuxExtensionPlatform.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <optional>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
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
const QString kLoadLine = QStringLiteral("v4l2loopback\n");
const QString kOptionsLine = QStringLiteral("options v4l2loopback card_label=\"Ostrela\" exclusive_caps=1\n");

// What v4l2loopback-ctl --help prints: 0.13 and later (a program with dynamic devices) and
// Debian 12's 0.12.7 (a shell script without them).
const QString kCtlHelp013 = QStringLiteral(
    "usage: v4l2loopback-ctl [general commands]\n\n"
    " general commands\n"
    "\t-v/--version      : print version and exit\n"
    "\t-h/-?/--help      : print this help and exit\n\n"
    "\tv4l2loopback-ctl add {<args>} [<device>]\n"
    "\tv4l2loopback-ctl delete <device>\n"
    "\tv4l2loopback-ctl query <device>\n");
const QString kCtlHelp012 = QStringLiteral(
    "Usage:\n"
    "    /usr/bin/v4l2loopback-ctl [command] [args]\n\n"
    "Commands:\n"
    "     set-fps <FPS> /dev/videoX  Set device fps (if format is already\n"
    "                                negotiated).\n\n"
    "     set-timeout-image <IMAGE> /dev/videoX  Set timeout on device, and \n"
    "                                            optionally the placeholder picture,\n"
    "                                            instead of default null frame.\n\n"
    "     set-caps <CAPS> /dev/videoX  Fix format for the device (using GStreamer\n"
    "                                  caps), so it will be maintained until reset,\n"
    "                                  regardless of future readers/writers.\n\n"
    "Options:\n"
    "    FPS      frames per second, either as integer ('30') or fraction ('50/2')\n"
    "    IMAGE    image file (\"no-input.png\"), or 'videotestsrc'\n"
    "    CAPS     GStreamer caps (\"video/x-raw, format=UYVY, width=640, height=480\"),\n"
    "             or 'any'\n"
    "    /dev/videoX  the v4l2-loopback device file you want to act on\n");
const QString kApproval =
    QStringLiteral("Awaiting approval in the desktop's authentication dialog");

class LinuxPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        root = tmp.path();
        tools = root + "/tools";
        sys = root + "/sys";
        QDir().mkpath(sys + "/class/video4linux");
        qputenv("OSTRELA_TOOL_PATH", tools.toUtf8());
        // Where the helper, run directly by the stand-in pkexec, writes and looks.
        etc = root + "/etc";
        qputenv("OSTRELA_SYSCONF_ROOT", etc.toUtf8());
        qputenv("OSTRELA_SYSFS_ROOT", sys.toUtf8());
        // Where a package would have put the module's files (never the machine's own /usr/lib).
        vendor = root + "/usr/lib";
        qputenv("OSTRELA_PACKAGE_CONF_ROOT", vendor.toUtf8());
        // The unit passes these through to the camera; keep the expected file independent of the caller.
        savedDataHome = qgetenv("XDG_DATA_HOME");
        qunsetenv("XDG_DATA_HOME");
        const QString log = root + "/calls.log";
        // Each script records "name args" and acts on the fake sysfs. Devices the module made
        // carry a "loopback" mark, so unloading it takes them away.
        writeText(tools + "/pkexec",
                  "#!/bin/sh\necho \"pkexec $*\" >> '" + log + "'\n"
                  "if [ -f '" + root + "/pkexec.exit' ]; then exit $(cat '" + root + "/pkexec.exit'); fi\n"
                  "exec \"$@\"\n", true);
        writeText(root + "/ctl-help", kCtlHelp013);
        writeText(tools + "/v4l2loopback-ctl",
                  "#!/bin/sh\necho \"v4l2loopback-ctl $*\" >> '" + log + "'\n"
                  "case \"$1\" in\n"
                  "  --help) cat '" + root + "/ctl-help'; exit 1 ;;\n"
                  "  add) mkdir -p '" + sys + "/class/video4linux/video7' && echo Ostrela > '" + sys +
                      "/class/video4linux/video7/name' && echo /dev/video7 ;;\n"
                  "  delete) rm -rf \"" + sys + "/class/video4linux/${2#/dev/}\" ;;\n"
                  "esac\n", true);
        writeText(tools + "/modprobe",
                  "#!/bin/sh\necho \"modprobe $*\" >> '" + log + "'\n"
                  "if [ \"$1\" = -r ]; then\n"
                  "  if [ -f '" + root + "/modprobe-r.fail' ]; then echo 'modprobe: FATAL: Module v4l2loopback is in use.' >&2; exit 1; fi\n"
                  "  for d in '" + sys + "'/class/video4linux/*; do [ -f \"$d/loopback\" ] && rm -rf \"$d\"; done\n"
                  "  rm -rf '" + sys + "/module/v4l2loopback'; exit 0\n"
                  "fi\n"
                  "if [ -f '" + root + "/modprobe.fail' ]; then echo 'modprobe: ERROR: could not insert' >&2; exit 1; fi\n"
                  "[ -d '" + sys + "/module/v4l2loopback' ] && exit 0\n"
                  "mkdir -p '" + sys + "/module/v4l2loopback' '" + sys + "/class/video4linux/video3'\n"
                  "echo 0 > '" + sys + "/module/v4l2loopback/refcnt'\n"
                  "touch '" + sys + "/class/video4linux/video3/loopback'\n"
                  "echo Ostrela > '" + sys + "/class/video4linux/video3/name'\n", true);
        writeText(tools + "/systemctl",
                  "#!/bin/sh\necho \"systemctl $*\" >> '" + log + "'\n"
                  "state=active; [ -f '" + root + "/service.state' ] && state=$(cat '" + root + "/service.state')\n"
                  "if [ \"$2\" = show ] && [ \"$3\" = --property=ActiveState ]; then echo $state; exit 0; fi\n"
                  "if [ \"$2\" = show ]; then echo 4242; exit 0; fi\n"
                  "if [ \"$2\" = is-active ]; then echo $state; [ $state = active ]; exit $?; fi\n"
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
        config.packageConfRoot = vendor;
        config.kernelRelease = "6.1.0-21-amd64";
        config.unitDirectory = root + "/config/systemd/user";
        config.stateFile = root + "/data/camera-extension.json";
        config.cameraProgram = camera;
        config.setupHelper = QStringLiteral(OSTRELA_BINARY_DIR "/ostrela-camera-setup");
        config.version = {"0.2.0", "20"};
        config.serviceSettleMs = 0;
        config.deviceWaitMs = 300;
    }
    void TearDown() override {
        qunsetenv("OSTRELA_TOOL_PATH");
        qunsetenv("OSTRELA_SYSCONF_ROOT");
        qunsetenv("OSTRELA_SYSFS_ROOT");
        qunsetenv("OSTRELA_PACKAGE_CONF_ROOT");
        if (!savedDataHome.isEmpty()) qputenv("XDG_DATA_HOME", savedDataHome);
        QLocale::setDefault(QLocale::system());
    }

    // The module and its control device for dynamic devices; `users` is its reference count.
    void loadModule(bool controlDevice, int users = 0) {
        writeText(sys + "/module/v4l2loopback/refcnt", QString::number(users) + "\n");
        if (controlDevice) QDir().mkpath(sys + "/class/misc/v4l2loopback");
    }
    // A device the loaded module made with another label.
    void moduleDevice(const QString& node, const QString& name) {
        writeText(sys + "/class/video4linux/" + node + "/name", name + "\n");
        writeText(sys + "/class/video4linux/" + node + "/loopback", "");
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

    // What the tools were asked, in order; the manager's questions about the service after each
    // request (asked beside the requests, at no fixed point) are left out unless `all`.
    QStringList calls(bool all = false) const {
        QStringList out;
        for (QString line : readText(root + "/calls.log").split('\n', Qt::SkipEmptyParts)) {
            if (!all && line.contains("--property=ActiveState")) continue;
            out << line.replace(tools + "/", "<tools>/").replace(config.setupHelper, "<setup>");
        }
        return out;
    }
    int privilegedCalls() const { return calls().filter(QRegularExpression("^pkexec ")).size(); }
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
    QString loadFile() const { return etc + "/modules-load.d/ostrela.conf"; }
    QString optionsFile() const { return etc + "/modprobe.d/ostrela.conf"; }
    // The files the Debian package installs.
    void installPackageFiles() {
        writeText(vendor + "/modules-load.d/ostrela.conf", kLoadLine);
        writeText(vendor + "/modprobe.d/ostrela.conf", kOptionsLine);
    }
    // Every file below the fake /etc, relative to it.
    QStringList etcFiles() const {
        QStringList out;
        QDirIterator it(etc, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) out << it.next().mid(etc.size() + 1);
        out.sort();
        return out;
    }
    QJsonObject record() const { return QJsonDocument::fromJson(readText(config.stateFile).toUtf8()).object(); }

    QTemporaryDir tmp;
    test::ScopedTestEnv env;
    QString root, tools, sys, etc, vendor, camera;
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
    EXPECT_EQ(calls(), QStringList({"v4l2loopback-ctl --help", "pkexec <setup> add",
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
    // The same authorised step wrote what makes the device again after a restart.
    EXPECT_EQ(etcFiles(), (QStringList{"modprobe.d/ostrela.conf", "modules-load.d/ostrela.conf"}));
    EXPECT_EQ(readText(loadFile()), kLoadLine);
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);
    EXPECT_EQ(QFileInfo(optionsFile()).permissions() & (QFile::ReadOther | QFile::WriteOther),
              QFile::Permissions(QFile::ReadOther));
    EXPECT_EQ(record().value("createdDevice").toString(), "/dev/video7");
    EXPECT_EQ(record().value("createdBy").toString(), "v4l2loopback-ctl");
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray({loadFile(), optionsFile()}));
}

TEST_F(LinuxPlatformTest, LoadsTheModuleWithTheOstrelaLabelWhenItIsNotLoaded) {
    installModuleFor(config.kernelRelease);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls(), QStringList({"pkexec <setup> load", "modprobe v4l2loopback card_label=Ostrela exclusive_caps=1"}) +
                           kServiceCalls);
    EXPECT_EQ(privilegedCalls(), 1);
    EXPECT_EQ(readText(loadFile()), kLoadLine);
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);
    EXPECT_EQ(record().value("createdDevice").toString(), "/dev/video3");
    EXPECT_EQ(record().value("createdBy").toString(), "modprobe");
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray({loadFile(), optionsFile()}));
}

// Debian 12: v4l2loopback 0.12.7, whose v4l2loopback-ctl is a script without "add".
TEST_F(LinuxPlatformTest, ReloadsAModuleWithoutDynamicDevicesWhenNothingUsesIt) {
    loadModule(true);
    moduleDevice("video0", "Dummy video device (0x0000)");
    writeText(root + "/ctl-help", kCtlHelp012);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls(), QStringList({"v4l2loopback-ctl --help", "pkexec <setup> reload", "modprobe -r v4l2loopback",
                                    "modprobe v4l2loopback card_label=Ostrela exclusive_caps=1"}) +
                           kServiceCalls);
    EXPECT_EQ(privilegedCalls(), 1);
    EXPECT_FALSE(QFile::exists(sys + "/class/video4linux/video0"));
    EXPECT_EQ(readText(sys + "/class/video4linux/video3/name"), "Ostrela\n");
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);
    EXPECT_EQ(record().value("createdBy").toString(), "modprobe");
}

TEST_F(LinuxPlatformTest, AModuleOlderThanDynamicDevicesIsNotAskedToAdd) {
    loadModule(true);
    writeText(sys + "/module/v4l2loopback/version", "0.12.5\n");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().mid(0, 2), (QStringList{"pkexec <setup> reload", "modprobe -r v4l2loopback"}));

    // 0.13 says so too, and gets a device added.
    QFile::remove(root + "/calls.log");
    QDir(sys).removeRecursively();
    loadModule(true);
    writeText(sys + "/module/v4l2loopback/version", "0.13.2\n");
    run(true);
    EXPECT_EQ(calls().mid(0, 2), (QStringList{"v4l2loopback-ctl --help", "pkexec <setup> add"}));
}

TEST(V4l2loopbackCtl, AddIsFoundOnlyWhereItIsACommand) {
    EXPECT_TRUE(v4l2loopbackCtlOffersAdd(kCtlHelp013));
    EXPECT_TRUE(v4l2loopbackCtlOffersAdd("Usage:\n  add [-n NAME] [-x 0|1] [DEVICE]\n  delete DEVICE\n"));
    EXPECT_TRUE(v4l2loopbackCtlOffersAdd(" adding devices ('add')\n"));
    EXPECT_FALSE(v4l2loopbackCtlOffersAdd(kCtlHelp012));
    EXPECT_FALSE(v4l2loopbackCtlOffersAdd("you can add a device with modprobe\n"));
    EXPECT_FALSE(v4l2loopbackCtlOffersAdd(""));
}

TEST_F(LinuxPlatformTest, AnExistingDeviceNeedsNoApproval) {
    loadModule(true);
    presentDevice("video2");
    run(true);
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, "Request completed"}));
    EXPECT_EQ(calls(), kServiceCalls);
    EXPECT_FALSE(QFile::exists(config.stateFile));  // not ours to remove later
    EXPECT_TRUE(etcFiles().isEmpty());
}

TEST_F(LinuxPlatformTest, RefusedAuthenticationFailsAndLeavesNothingBehind) {
    loadModule(true);
    writeText(root + "/pkexec.exit", "126");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The authentication was dismissed, so the camera device was not created.");
    EXPECT_FALSE(manager->isAwaitingApproval());
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, kApproval,
                                       "Request failed: The authentication was dismissed, so the camera device was "
                                       "not created. [OstrelaExtensionErrorDomain 11]"}));
    EXPECT_EQ(calls(), (QStringList{"v4l2loopback-ctl --help", "pkexec <setup> add"}));
    EXPECT_FALSE(QFile::exists(unitFile()));
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(config.stateFile));

    writeText(root + "/pkexec.exit", "127");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: Not authorised, so the camera device was not created.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 13]"));
    EXPECT_TRUE(etcFiles().isEmpty());
}

TEST_F(LinuxPlatformTest, FailingModprobeReportsItsMessageAndTakesTheFilesBack) {
    installModuleFor(config.kernelRelease);
    writeText(root + "/modprobe.fail", "");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: modprobe failed (modprobe: ERROR: could not insert), so the "
                                     "camera device was not created.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 7]"));
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(config.stateFile));

    // A module in use cannot be loaded again: the same, with the old files of someone else kept.
    QFile::remove(root + "/modprobe.fail");
    writeText(root + "/modprobe-r.fail", "");
    writeText(etc + "/modprobe.d/ostrela.conf", "options v4l2loopback devices=2\n");
    loadModule(false);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: modprobe failed (modprobe: FATAL: Module v4l2loopback is in "
                                     "use.), so the camera device was not created.");
    EXPECT_EQ(etcFiles(), QStringList{"modprobe.d/ostrela.conf"});
    EXPECT_EQ(readText(optionsFile()), "options v4l2loopback devices=2\n");
}

TEST_F(LinuxPlatformTest, FilesAlreadyInPlaceAreUsedAndKept) {
    // As a package installs them: our lines, not ours to remove.
    writeText(loadFile(), kLoadLine);
    writeText(optionsFile(), kOptionsLine);
    installModuleFor(config.kernelRelease);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray());
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <setup> remove --unload", "modprobe -r v4l2loopback"}));
    EXPECT_EQ(readText(loadFile()), kLoadLine);
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);
}

// Installed from the package: the module loaded at boot with the package's options made the device.
TEST_F(LinuxPlatformTest, TheDeviceThePackageSetUpIsUsedAsItIs) {
    installPackageFiles();
    installModuleFor(config.kernelRelease);
    loadModule(false);
    moduleDevice("video0", "Ostrela");
    run(true);
    EXPECT_EQ(messages(), (QStringList{"Submitting activation request for " + kId, "Request completed"}));
    EXPECT_EQ(calls(), kServiceCalls);
    EXPECT_EQ(privilegedCalls(), 0);
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(config.stateFile));
    // Nothing of it is ours to take away.
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(privilegedCalls(), 0);
    EXPECT_EQ(readText(vendor + "/modprobe.d/ostrela.conf"), kOptionsLine);
    EXPECT_TRUE(QFile::exists(sys + "/class/video4linux/video0/name"));
}

// Installed, not restarted yet: the module is loaded now, but no second set of files goes to /etc.
TEST_F(LinuxPlatformTest, PackagedFilesAreNotWrittenAgainWhenTheModuleIsLoadedNow) {
    installPackageFiles();
    installModuleFor(config.kernelRelease);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls(), QStringList({"pkexec <setup> load", "modprobe v4l2loopback card_label=Ostrela exclusive_caps=1"}) +
                           kServiceCalls);
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_EQ(record().value("createdDevice").toString(), "/dev/video3");
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray());
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <setup> remove --unload", "modprobe -r v4l2loopback"}));
    EXPECT_EQ(readText(vendor + "/modules-load.d/ostrela.conf"), kLoadLine);
    EXPECT_EQ(readText(vendor + "/modprobe.d/ostrela.conf"), kOptionsLine);

    // A package file with other content does not count: ours goes to /etc as before.
    writeText(vendor + "/modules-load.d/ostrela.conf", "uvcvideo\n");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(etcFiles(), QStringList{"modules-load.d/ostrela.conf"});
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray({loadFile()}));
}

TEST_F(LinuxPlatformTest, PackagedFilesForTheNextKernelNeedNoAuthorisation) {
    installPackageFiles();
    installModuleFor("6.1.0-22-amd64");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request will complete after reboot");
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
    EXPECT_EQ(privilegedCalls(), 0);
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(config.stateFile));

    // Half a package (no load file) still needs ours.
    QFile::remove(vendor + "/modules-load.d/ostrela.conf");
    QFile::remove(root + "/calls.log");
    run(true);
    EXPECT_EQ(calls().mid(0, 1), QStringList{"pkexec <setup> persist"});
    EXPECT_EQ(etcFiles(), QStringList{"modules-load.d/ostrela.conf"});
}

TEST_F(LinuxPlatformTest, AFileOfTheSameNameWithOtherContentIsLeftAlone) {
    writeText(loadFile(), "v4l2loopback\nuvcvideo\n");
    installModuleFor(config.kernelRelease);
    run(true);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(readText(loadFile()), "v4l2loopback\nuvcvideo\n");
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);
    EXPECT_EQ(record().value("wroteFiles").toArray(), QJsonArray({optionsFile()}));
    run(false);
    EXPECT_EQ(etcFiles(), QStringList{"modules-load.d/ostrela.conf"});
    EXPECT_EQ(readText(loadFile()), "v4l2loopback\nuvcvideo\n");
}

TEST_F(LinuxPlatformTest, ModuleBuiltOnlyForAnotherKernelGetsItsFilesAndCompletesAfterReboot) {
    installModuleFor("6.1.0-22-amd64");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request will complete after reboot");
    EXPECT_FALSE(manager->isAwaitingApproval());
    // The camera serves PipeWire clients meanwhile.
    EXPECT_EQ(calls(), QStringList{"pkexec <setup> persist"} + kServiceCalls.mid(0, 4));
    EXPECT_TRUE(QFile::exists(unitFile()));
    EXPECT_EQ(readText(loadFile()), kLoadLine);
    EXPECT_EQ(readText(optionsFile()), kOptionsLine);

    // Deactivated before the restart: only the files go.
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <setup> remove --load-file --options-file"}));
    EXPECT_TRUE(etcFiles().isEmpty());
    EXPECT_FALSE(QFile::exists(config.stateFile));
}

TEST_F(LinuxPlatformTest, MissingModuleSaysWhatToInstall) {
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The v4l2loopback kernel module is not installed, so only "
                                     "PipeWire clients see the camera. Install the package v4l2loopback-dkms, then "
                                     "activate again.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 2]"));
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
    EXPECT_TRUE(QFile::exists(unitFile()));
    EXPECT_TRUE(etcFiles().isEmpty());

    QDir().mkpath(config.sourcesRoot + "/v4l2loopback-0.12.7");
    writeText(root + "/service.state", "failed");  // the module problem still is what is reported
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The v4l2loopback module is installed but not built for the "
                                     "running kernel 6.1.0-21-amd64, so only PipeWire clients see the camera. Install "
                                     "the package linux-headers-6.1.0-21-amd64 so DKMS can build it, then activate "
                                     "again.");
    EXPECT_FALSE(calls().join("\n").contains("pkexec"));
}

TEST_F(LinuxPlatformTest, ModuleWithoutDynamicDevicesInUseIsNotReloaded) {
    loadModule(false, 2);
    moduleDevice("video0", "OBS Virtual Camera");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The v4l2loopback module is already loaded without a camera "
                                     "named \"Ostrela\", so only PipeWire clients see the camera. Close the programs "
                                     "using its cameras, unload it with \"sudo modprobe -r v4l2loopback\", then "
                                     "activate again.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 6]"));
    EXPECT_EQ(calls(), kServiceCalls.mid(0, 4));
    EXPECT_TRUE(etcFiles().isEmpty());

    // A module that does not say how many use it counts as used.
    QFile::remove(sys + "/module/v4l2loopback/refcnt");
    QFile::remove(root + "/calls.log");
    run(true);
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
    QFile::remove(root + "/calls.log");
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The camera program was not found at " + camera + ".");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 4]"));
    EXPECT_TRUE(calls().isEmpty());
}

TEST_F(LinuxPlatformTest, MissingSetupHelperFailsBeforeAskingForAPassword) {
    installModuleFor(config.kernelRelease);
    config.setupHelper = root + "/nowhere/ostrela-camera-setup";
    run(true);
    EXPECT_EQ(manager->statusText(), "Request failed: The camera setup helper was not found at " + root +
                                         "/nowhere/ostrela-camera-setup, so the camera device was not created.");
    EXPECT_TRUE(manager->logLines().last().endsWith(" [OstrelaExtensionErrorDomain 4]"));
    EXPECT_EQ(privilegedCalls(), 0);
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

TEST_F(LinuxPlatformTest, DeactivationRemovesTheServiceTheDeviceAndTheFilesWeAdded) {
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
                                    "pkexec <setup> remove --delete /dev/video7 --load-file --options-file",
                                    "v4l2loopback-ctl delete /dev/video7"}));
    EXPECT_FALSE(QFile::exists(unitFile()));
    EXPECT_FALSE(QFile::exists(config.stateFile));
    EXPECT_FALSE(QFile::exists(sys + "/class/video4linux/video7"));
    EXPECT_TRUE(etcFiles().isEmpty());
}

TEST_F(LinuxPlatformTest, DeactivationUnloadsOnlyAModuleWeLoaded) {
    installModuleFor(config.kernelRelease);
    run(true);
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <setup> remove --unload --load-file --options-file",
                                           "modprobe -r v4l2loopback"}));
    EXPECT_TRUE(etcFiles().isEmpty());

    // A device someone else made stays.
    presentDevice("video0");
    run(true);
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().size(), 3);
    EXPECT_TRUE(QFile::exists(sys + "/class/video4linux/video0/name"));
}

TEST_F(LinuxPlatformTest, DeactivationThatCannotUnloadStillTakesTheFiles) {
    installModuleFor(config.kernelRelease);
    run(true);
    writeText(root + "/modprobe-r.fail", "");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request failed: modprobe failed (modprobe: FATAL: Module v4l2loopback is in "
                                     "use.), so the camera device was not removed.");
    EXPECT_TRUE(etcFiles().isEmpty());
    // Asked again once the app let go, only the module is left to do.
    QFile::remove(root + "/modprobe-r.fail");
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls(), (QStringList{"pkexec <setup> remove --unload", "modprobe -r v4l2loopback"}));
    EXPECT_FALSE(QFile::exists(config.stateFile));
}

TEST_F(LinuxPlatformTest, DeactivationAfterARestartRemovesTheDeviceOurFilesMade) {
    loadModule(true);
    run(true);
    // After the restart the module loaded at boot with our options: one "Ostrela" at video0.
    QDir(sys + "/class/video4linux/video7").removeRecursively();
    moduleDevice("video0", "Ostrela");
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().mid(3), (QStringList{"pkexec <setup> remove --delete /dev/video0 --load-file --options-file",
                                           "v4l2loopback-ctl delete /dev/video0"}));
    EXPECT_TRUE(etcFiles().isEmpty());
}

TEST_F(LinuxPlatformTest, DeactivationAfterTheDeviceAndFilesVanishedAsksNothing) {
    loadModule(true);
    run(true);
    QDir(sys + "/class/video4linux/video7").removeRecursively();  // gone with the module
    QDir(etc).removeRecursively();                               // and someone removed the files
    QFile::remove(root + "/calls.log");
    run(false);
    EXPECT_EQ(manager->statusText(), "Request completed");
    EXPECT_EQ(calls().size(), 3);
    EXPECT_FALSE(QFile::exists(config.stateFile));
}

TEST_F(LinuxPlatformTest, TheHelperDeletesOnlyTheOstrelaCamera) {
    // Asked directly, as root would: a device that is not "Ostrela" is refused, and so is any path.
    moduleDevice("video0", "OBS Virtual Camera");
    const QString helper = config.setupHelper;
    auto runHelper = [&](const QStringList& args, QString* err) {
        QProcess p;
        p.start(helper, args);
        p.waitForFinished(20000);
        *err = QString::fromUtf8(p.readAllStandardError()).trimmed();
        return p.exitCode();
    };
    QString err;
    EXPECT_EQ(runHelper({"remove", "--delete", "/dev/video0"}, &err), 2);
    EXPECT_EQ(err, "/dev/video0 is not the camera \"Ostrela\"");
    EXPECT_EQ(runHelper({"remove", "--delete", "/dev/../etc/passwd"}, &err), 2);
    EXPECT_EQ(err, "/dev/../etc/passwd is no video device");
    EXPECT_EQ(runHelper({"load", "/etc/passwd"}, &err), 2);
    EXPECT_EQ(runHelper({"format-disk"}, &err), 2);
    EXPECT_TRUE(calls().isEmpty());
    EXPECT_TRUE(QFile::exists(sys + "/class/video4linux/video0/name"));
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
    EXPECT_TRUE(manager->isRequestPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages().count("Request completed") == 2; }, 20000));
    EXPECT_FALSE(manager->isRequestPending());
    // The service state asked after each request is no step of the requests.
    const QStringList c = calls();
    ASSERT_EQ(c.size(), 13);
    EXPECT_EQ(c[0], "v4l2loopback-ctl --help");
    EXPECT_EQ(c[1], "pkexec <setup> add");
    EXPECT_EQ(c[7], "systemctl --user show -p MainPID --value ostrela-camera.service");
    EXPECT_EQ(c[8], "systemctl --user stop ostrela-camera.service");
    EXPECT_EQ(c[11], "pkexec <setup> remove --delete /dev/video7 --load-file --options-file");
    EXPECT_EQ(c[12], "v4l2loopback-ctl delete /dev/video7");
}

TEST_F(LinuxPlatformTest, TheServiceStateComesFromTheServiceManager) {
    platform = std::make_shared<LinuxExtensionPlatform>(config);
    auto ask = [&] {
        std::optional<CameraServiceState> answer;
        platform->queryCameraService([&](CameraServiceState s) { answer = s; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 20000));
        return answer.value_or(CameraServiceState::unchecked);
    };
    EXPECT_EQ(ask(), CameraServiceState::notInstalled);
    EXPECT_TRUE(calls(true).isEmpty());  // no unit file: nothing to ask
    writeText(unitFile(), cameraServiceUnit(camera, config.version));
    EXPECT_EQ(ask(), CameraServiceState::active);
    EXPECT_EQ(calls(true), QStringList{"systemctl --user show --property=ActiveState --value ostrela-camera.service"});
    writeText(root + "/service.state", "activating");
    EXPECT_EQ(ask(), CameraServiceState::restarting);
    writeText(root + "/service.state", "failed");
    EXPECT_EQ(ask(), CameraServiceState::inactive);
    writeText(root + "/service.state", "inactive");
    EXPECT_EQ(ask(), CameraServiceState::inactive);
    QFile::remove(tools + "/systemctl");
    EXPECT_EQ(ask(), CameraServiceState::unknown);
}

TEST_F(LinuxPlatformTest, TheManagerAsksAboutTheServiceAfterEachRequest) {
    presentDevice("video0");
    run(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->cameraServiceState() == CameraServiceState::active; }, 20000));
    writeText(root + "/service.state", "inactive");
    run(false);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return manager->cameraServiceState() == CameraServiceState::notInstalled; }, 20000));
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
