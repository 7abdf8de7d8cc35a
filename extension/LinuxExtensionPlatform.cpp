#include "extension/LinuxExtensionPlatform.h"

#include "extension/ExtensionManager.h"
#include "pipeline/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSysInfo>
#include <QTimer>

namespace ostrela {

namespace {

QString envOr(const char* name, const QString& fallback) {
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

QString lastLine(const QString& text) {
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (!it->trimmed().isEmpty()) return it->trimmed();
    return {};
}

// A path or value as one systemd argument: specifiers and variables escaped, quoted when needed.
QString systemdQuote(const QString& value) {
    QString escaped = value;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%")).replace(QLatin1Char('$'), QStringLiteral("$$"));
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+=,:@-]+$"));
    if (plain.match(escaped).hasMatch()) return escaped;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString readSmallFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.read(1 << 16));
}

bool fileMentionsModule(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    return f.readAll().contains("/v4l2loopback.ko");
}

// A module file below `dir` (DKMS puts it under updates/ or extra/).
bool treeHasModule(const QString& dir) {
    QDirIterator it(dir, {QStringLiteral("v4l2loopback.ko*")}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext();
}

ExtensionVersion shippedVersion() {
    ExtensionVersion v{QStringLiteral(OSTRELA_VERSION), QStringLiteral(OSTRELA_VERSION)};
    for (const EmbeddedExtensionInfo& info : ExtensionManager::embeddedExtensions()) {
        if (info.bundleIdentifier != QLatin1String(kCameraExtensionIdentifier)) continue;
        const QJsonObject manifest =
            QJsonDocument::fromJson(readSmallFile(info.path + QStringLiteral("/manifest.json")).toUtf8()).object();
        const QJsonValue s = manifest.value(QStringLiteral("CFBundleShortVersionString"));
        const QJsonValue b = manifest.value(QStringLiteral("CFBundleVersion"));
        if (s.isString()) v.shortVersion = s.toString();
        if (b.isString()) v.bundleVersion = b.toString();
        break;
    }
    return v;
}

}  // namespace

LinuxExtensionPlatformConfig LinuxExtensionPlatformConfig::fromEnvironment() {
    LinuxExtensionPlatformConfig c;
    c.sysfsRoot = envOr("OSTRELA_SYSFS_ROOT", QStringLiteral("/sys"));
    c.procRoot = envOr("OSTRELA_PROC_ROOT", QStringLiteral("/proc"));
    c.modulesRoot = envOr("OSTRELA_MODULES_ROOT", QStringLiteral("/lib/modules"));
    c.sourcesRoot = envOr("OSTRELA_SOURCES_ROOT", QStringLiteral("/usr/src"));
    c.kernelRelease = envOr("OSTRELA_KERNEL_RELEASE", QSysInfo::kernelVersion());
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome)) configHome = QDir::homePath() + QStringLiteral("/.config");
    c.unitDirectory = envOr("OSTRELA_SYSTEMD_USER_DIR", configHome + QStringLiteral("/systemd/user"));
    c.stateFile = QString::fromStdString(dataDirectory()) + QStringLiteral("/camera-extension.json");
    c.cameraProgram =
        envOr("OSTRELA_CAMERA_PROGRAM", QCoreApplication::applicationDirPath() + QStringLiteral("/ostrela-camera"));
    c.version = shippedVersion();
    return c;
}

std::optional<ExtensionVersion> installedServiceVersion(const QString& unitPath) {
    QFile f(unitPath);
    if (!f.exists()) return std::nullopt;
    ExtensionVersion v;
    if (!f.open(QIODevice::ReadOnly)) return v;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1String("X-Ostrela-Version=")))
            v.shortVersion = line.mid(18).trimmed();
        else if (line.startsWith(QLatin1String("X-Ostrela-Build=")))
            v.bundleVersion = line.mid(16).trimmed();
    }
    return v;
}

QString cameraServiceUnit(const QString& cameraProgram, const ExtensionVersion& version) {
    QString unit;
    unit += QStringLiteral("[Unit]\n");
    unit += QStringLiteral("Description=Ostrela camera (publishes Ostrela's picture as the camera \"Ostrela\")\n");
    unit += QStringLiteral("X-Ostrela-Version=") + version.shortVersion + QLatin1Char('\n');
    unit += QStringLiteral("X-Ostrela-Build=") + version.bundleVersion + QLatin1Char('\n');
    unit += QStringLiteral("\n[Service]\nType=simple\n");
    // The camera must read the same shared container as the application that installed it.
    for (const char* name : {"OSTRELA_DATA_DIR", "OSTRELA_CONTAINER_DIR", "XDG_DATA_HOME"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            unit += QStringLiteral("Environment=") + systemdQuote(QLatin1String(name) + QLatin1Char('=') + value) +
                    QLatin1Char('\n');
    }
    unit += QStringLiteral("ExecStart=") + systemdQuote(cameraProgram) + QLatin1Char('\n');
    unit += QStringLiteral("Restart=always\nRestartSec=5\n");
    unit += QStringLiteral("\n[Install]\nWantedBy=default.target\n");
    return unit;
}

QString findOstrelaDeviceInSysfs(const QString& sysfsRoot) {
    QDir dir(sysfsRoot + QStringLiteral("/class/video4linux"));
    const QStringList entries =
        dir.entryList({QStringLiteral("video*")}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    // In device-number order, like the camera program's own search.
    QStringList sorted = entries;
    std::sort(sorted.begin(), sorted.end(),
              [](const QString& a, const QString& b) { return a.mid(5).toInt() < b.mid(5).toInt(); });
    for (const QString& entry : sorted) {
        const QString name = readSmallFile(dir.filePath(entry) + QStringLiteral("/name"));
        if (name.trimmed() == QLatin1String("Ostrela")) return QStringLiteral("/dev/") + entry;
    }
    return {};
}

LinuxExtensionPlatform::LinuxExtensionPlatform(LinuxExtensionPlatformConfig config, QObject* parent)
    : QObject(parent), config_(std::move(config)), runner_(this) {}

LinuxExtensionPlatform::~LinuxExtensionPlatform() = default;

QString LinuxExtensionPlatform::unitPath() const {
    return config_.unitDirectory + QLatin1Char('/') + QLatin1String(kCameraServiceName);
}

void LinuxExtensionPlatform::submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) {
    queue_.push_back({true, identifier, std::move(callbacks)});
    if (!busy_) QTimer::singleShot(0, this, &LinuxExtensionPlatform::startNext);
}

void LinuxExtensionPlatform::submitDeactivation(const QString& identifier, ExtensionRequestCallbacks callbacks) {
    queue_.push_back({false, identifier, std::move(callbacks)});
    if (!busy_) QTimer::singleShot(0, this, &LinuxExtensionPlatform::startNext);
}

void LinuxExtensionPlatform::startNext() {
    if (busy_ || queue_.empty()) return;
    busy_ = true;
    deviceOutcome_ = {};
    current_ = std::move(queue_.front());
    queue_.pop_front();
    if (current_.identifier != QLatin1String(kCameraExtensionIdentifier)) {
        fail(ExtensionErrorCode::unknownExtension,
             QStringLiteral("Ostrela ships no camera extension with the identifier \"") + current_.identifier +
                 QStringLiteral("\"."));
        return;
    }
    if (current_.activation)
        activateDevice();
    else
        deactivateService();
}

void LinuxExtensionPlatform::finish(int result) {
    if (takeDeviceOutcome()) return;
    auto callbacks = std::move(current_.callbacks);
    current_ = {};
    busy_ = false;
    if (!queue_.empty()) QTimer::singleShot(0, this, &LinuxExtensionPlatform::startNext);
    if (callbacks.finished) callbacks.finished(result);
}

bool LinuxExtensionPlatform::takeDeviceOutcome() {
    // The device problem outranks however the service step ended.
    if (!deviceOutcome_) return false;
    auto outcome = std::move(deviceOutcome_);
    deviceOutcome_ = {};
    outcome();
    return true;
}

void LinuxExtensionPlatform::fail(int code, const QString& description) {
    if (takeDeviceOutcome()) return;
    auto callbacks = std::move(current_.callbacks);
    current_ = {};
    busy_ = false;
    if (!queue_.empty()) QTimer::singleShot(0, this, &LinuxExtensionPlatform::startNext);
    if (callbacks.failed) callbacks.failed({QLatin1String(kExtensionErrorDomain), code, description});
}

// --- activation -------------------------------------------------------------------------------

bool LinuxExtensionPlatform::moduleLoaded() const {
    return QFileInfo(config_.sysfsRoot + QStringLiteral("/module/v4l2loopback")).isDir();
}

bool LinuxExtensionPlatform::moduleHasControlDevice() const {
    return QFileInfo::exists(config_.sysfsRoot + QStringLiteral("/class/misc/v4l2loopback"));
}

bool LinuxExtensionPlatform::moduleBuiltFor(const QString& release) const {
    const QString dir = config_.modulesRoot + QLatin1Char('/') + release;
    if (fileMentionsModule(dir + QStringLiteral("/modules.dep"))) return true;
    // Built by DKMS but not yet indexed by depmod.
    return treeHasModule(dir + QStringLiteral("/updates")) || treeHasModule(dir + QStringLiteral("/extra"));
}

bool LinuxExtensionPlatform::moduleInstalledElsewhere() const {
    const QStringList releases = QDir(config_.modulesRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& release : releases)
        if (release != config_.kernelRelease && moduleBuiltFor(release)) return true;
    return false;
}

void LinuxExtensionPlatform::activateDevice() {
    const QFileInfo program(config_.cameraProgram);
    if (!program.isFile() || !program.isExecutable()) {
        fail(ExtensionErrorCode::programNotFound,
             QStringLiteral("The camera program was not found at ") + config_.cameraProgram + '.');
        return;
    }
    if (!findOstrelaDeviceInSysfs(config_.sysfsRoot).isEmpty()) {
        installService();
        return;
    }
    // Without a device the camera still reaches PipeWire clients: install the service, then report
    // what keeps the loopback camera away.
    auto withoutDevice = [this](int code, const QString& description) {
        deviceOutcome_ = [this, code, description] { fail(code, description); };
        installService();
    };
    const QString pipewireOnly = QStringLiteral(", so only PipeWire clients see the camera. ");
    if (moduleLoaded()) {
        if (moduleHasControlDevice() && !runner_.findProgram(QStringLiteral("v4l2loopback-ctl")).isEmpty()) {
            createDevice(true);
        } else if (moduleHasControlDevice()) {
            withoutDevice(ExtensionErrorCode::programNotFound,
                          QStringLiteral("The v4l2loopback module is loaded without a camera named \"Ostrela\", and "
                                         "v4l2loopback-ctl is missing to add one") +
                              pipewireOnly + QStringLiteral("Install the package v4l2loopback-utils."));
        } else {
            withoutDevice(ExtensionErrorCode::deviceUnavailable,
                          QStringLiteral("The v4l2loopback module is already loaded without a camera named "
                                         "\"Ostrela\"") +
                              pipewireOnly +
                              QStringLiteral("Close the programs using its cameras, unload it with "
                                             "\"sudo modprobe -r v4l2loopback\", then activate again."));
        }
        return;
    }
    if (moduleBuiltFor(config_.kernelRelease)) {
        createDevice(false);
        return;
    }
    if (moduleInstalledElsewhere()) {
        // Installed for a kernel that is not running yet: the device can be made after a restart.
        deviceOutcome_ = [this] { finish(1); };
        installService();
        return;
    }
    QDir sources(config_.sourcesRoot);
    if (!sources.entryList({QStringLiteral("v4l2loopback-*")}, QDir::Dirs | QDir::NoDotAndDotDot).isEmpty()) {
        withoutDevice(ExtensionErrorCode::moduleNotInstalled,
                      QStringLiteral("The v4l2loopback module is installed but not built for the running kernel ") +
                          config_.kernelRelease + pipewireOnly +
                          QStringLiteral("Install the package linux-headers-%1 so DKMS can build it, then activate "
                                         "again.")
                              .arg(config_.kernelRelease));
        return;
    }
    withoutDevice(ExtensionErrorCode::moduleNotInstalled,
                  QStringLiteral("The v4l2loopback kernel module is not installed") + pipewireOnly +
                      QStringLiteral("Install the package v4l2loopback-dkms, then activate again."));
}

void LinuxExtensionPlatform::runPrivileged(const QString& tool, const QStringList& args, const QString& what,
                                           std::function<void(const CommandResult&)> onSuccess) {
    const QString pkexec = runner_.findProgram(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        fail(ExtensionErrorCode::programNotFound, QStringLiteral("pkexec was not found, so ") + what +
                                                      QStringLiteral(". Install the package pkexec (polkit)."));
        return;
    }
    const QString toolPath = runner_.findProgram(tool);
    if (toolPath.isEmpty()) {
        fail(ExtensionErrorCode::programNotFound, tool + QStringLiteral(" was not found, so ") + what + '.');
        return;
    }
    auto callbacks = current_.callbacks;
    runner_.run(
        pkexec, QStringList{toolPath} + args,
        [this, tool, what, onSuccess](const CommandResult& r) {
            if (!r.started) {
                fail(ExtensionErrorCode::programNotFound, QStringLiteral("pkexec could not be run (") +
                                                              r.standardError + QStringLiteral("), so ") + what + '.');
            } else if (r.exitCode == 0) {
                onSuccess(r);
            } else if (r.exitCode == 126) {
                fail(ExtensionErrorCode::authenticationDismissed,
                     QStringLiteral("The authentication was dismissed, so ") + what + '.');
            } else if (r.exitCode == 127) {
                const QString why = lastLine(r.standardError);
                fail(ExtensionErrorCode::notAuthorized,
                     QStringLiteral("Not authorised") + (why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')') +
                         QStringLiteral(", so ") + what + '.');
            } else {
                const QString why = lastLine(r.standardError);
                fail(ExtensionErrorCode::commandFailed,
                     tool + QStringLiteral(" failed (") +
                         (why.isEmpty() ? QStringLiteral("exit status %1").arg(r.exitCode) : why) +
                         QStringLiteral("), so ") + what + '.');
            }
        },
        0,
        [callbacks] {
            if (callbacks.needsUserApproval) callbacks.needsUserApproval();
        });
}

void LinuxExtensionPlatform::createDevice(bool dynamic) {
    const QString what = QStringLiteral("the camera device was not created");
    if (dynamic) {
        runPrivileged(QStringLiteral("v4l2loopback-ctl"),
                      {QStringLiteral("add"), QStringLiteral("-n"), QStringLiteral("Ostrela"), QStringLiteral("-x"),
                       QStringLiteral("1")},
                      what, [this](const CommandResult& r) {
                          static const QRegularExpression device(QStringLiteral("(/dev/video[0-9]+)"));
                          const auto m = device.match(r.standardOutput);
                          waitForDevice(QStringLiteral("v4l2loopback-ctl"), m.hasMatch() ? m.captured(1) : QString(),
                                        0);
                      });
    } else {
        runPrivileged(
            QStringLiteral("modprobe"),
            {QStringLiteral("v4l2loopback"), QStringLiteral("card_label=Ostrela"), QStringLiteral("exclusive_caps=1")},
            what, [this](const CommandResult&) { waitForDevice(QStringLiteral("modprobe"), QString(), 0); });
    }
}

void LinuxExtensionPlatform::waitForDevice(const QString& createdBy, const QString& reportedDevice, int waitedMs) {
    const QString found = findOstrelaDeviceInSysfs(config_.sysfsRoot);
    if (!found.isEmpty()) {
        writeDeviceRecord({reportedDevice.isEmpty() ? found : reportedDevice, createdBy});
        installService();
        return;
    }
    if (waitedMs >= config_.deviceWaitMs) {
        fail(ExtensionErrorCode::deviceUnavailable,
             createdBy + QStringLiteral(" succeeded, but no camera named \"Ostrela\" appeared."));
        return;
    }
    const int step = 100;
    QTimer::singleShot(step, this, [this, createdBy, reportedDevice, waitedMs, step] {
        waitForDevice(createdBy, reportedDevice, waitedMs + step);
    });
}

void LinuxExtensionPlatform::systemctl(const QStringList& args, std::function<void(const CommandResult&)> next) {
    const QString program = runner_.findProgram(QStringLiteral("systemctl"));
    if (program.isEmpty()) {
        fail(ExtensionErrorCode::programNotFound,
             QStringLiteral("systemctl was not found; the camera service needs systemd."));
        return;
    }
    runner_.run(
        program, QStringList{QStringLiteral("--user")} + args,
        [this, args, next](const CommandResult& r) {
            if (r.started && !r.timedOut && r.exitCode >= 0) {
                next(r);
                return;
            }
            QString why = r.timedOut ? QStringLiteral("no answer") : lastLine(r.standardError);
            fail(ExtensionErrorCode::serviceFailed,
                 QStringLiteral("systemctl --user ") + args.join(' ') + QStringLiteral(" failed") +
                     (why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')') + '.');
        },
        config_.systemctlTimeoutMs);
}

void LinuxExtensionPlatform::installService() {
    const QString path = unitPath();
    const std::optional<ExtensionVersion> installed = installedServiceVersion(path);
    if (installed && (installed->shortVersion != config_.version.shortVersion ||
                      installed->bundleVersion != config_.version.bundleVersion)) {
        ExtensionVersion existing = *installed;
        if (existing.shortVersion.isEmpty()) existing.shortVersion = QStringLiteral("unknown");
        if (existing.bundleVersion.isEmpty()) existing.bundleVersion = QStringLiteral("unknown");
        if (current_.callbacks.replacing &&
            current_.callbacks.replacing(existing, config_.version) != ReplacementAction::replace) {
            fail(ExtensionErrorCode::replacementDeclined, QStringLiteral("The installed camera service was kept."));
            return;
        }
    }
    QDir().mkpath(config_.unitDirectory);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(cameraServiceUnit(config_.cameraProgram, config_.version).toUtf8()) < 0 || !file.commit()) {
        fail(ExtensionErrorCode::serviceFailed, QStringLiteral("The camera service could not be written to ") + path +
                                                    QStringLiteral(" (") + file.errorString() + QStringLiteral(")."));
        return;
    }
    auto failUnlessZero = [this](const CommandResult& r, const QString& step) {
        if (r.exitCode == 0) return false;
        const QString why = lastLine(r.standardError);
        fail(ExtensionErrorCode::serviceFailed, QStringLiteral("systemctl --user ") + step + QStringLiteral(" failed") +
                                                    (why.isEmpty() ? QStringLiteral(" (exit status %1)").arg(r.exitCode)
                                                                   : QStringLiteral(" (") + why + ')') +
                                                    '.');
        return true;
    };
    const QString unit = QLatin1String(kCameraServiceName);
    systemctl({QStringLiteral("daemon-reload")}, [=, this](const CommandResult& r) {
        if (failUnlessZero(r, QStringLiteral("daemon-reload"))) return;
        systemctl({QStringLiteral("enable"), unit}, [=, this](const CommandResult& r) {
            if (failUnlessZero(r, QStringLiteral("enable ") + unit)) return;
            systemctl({QStringLiteral("restart"), unit}, [=, this](const CommandResult& r) {
                if (failUnlessZero(r, QStringLiteral("restart ") + unit)) return;
                // A program that dies at once is restarted by systemd; give it time to show that.
                QTimer::singleShot(config_.serviceSettleMs, this, [this] { checkServiceRunning(); });
            });
        });
    });
}

void LinuxExtensionPlatform::checkServiceRunning() {
    const QString unit = QLatin1String(kCameraServiceName);
    systemctl({QStringLiteral("is-active"), unit}, [this, unit](const CommandResult& r) {
        const QString state = r.standardOutput.trimmed();
        if (r.exitCode == 0 && state == QLatin1String("active")) {
            checkServiceHoldsDevice();
            return;
        }
        fail(ExtensionErrorCode::serviceFailed, QStringLiteral("The camera service did not start (") +
                                                    (state.isEmpty() ? QStringLiteral("not running") : state) +
                                                    QStringLiteral("); see \"journalctl --user -u ") + unit +
                                                    QStringLiteral("\"."));
    });
}

// With exclusive_caps a second producer cannot attach; the camera would then run without the
// device, so another program would be what call apps see as "Ostrela".
void LinuxExtensionPlatform::checkServiceHoldsDevice() {
    const QString device = findOstrelaDeviceInSysfs(config_.sysfsRoot);
    const QString unit = QLatin1String(kCameraServiceName);
    if (device.isEmpty()) {
        finish(0);
        return;
    }
    systemctl(
        {QStringLiteral("show"), QStringLiteral("-p"), QStringLiteral("MainPID"), QStringLiteral("--value"), unit},
        [this, device](const CommandResult& r) {
            const int pid = r.standardOutput.trimmed().toInt();
            QDir fds(config_.procRoot + QStringLiteral("/%1/fd").arg(pid));
            const QStringList entries = fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
            // Nothing to look at (no such process or no permission): no verdict.
            if (pid <= 0 || entries.isEmpty()) {
                finish(0);
                return;
            }
            for (const QString& fd : entries)
                if (QFile::symLinkTarget(fds.filePath(fd)) == device) {
                    finish(0);
                    return;
                }
            fail(ExtensionErrorCode::deviceUnavailable,
                 QStringLiteral("The camera \"Ostrela\" (") + device +
                     QStringLiteral(") is in use by another program, so the Ostrela camera "
                                    "service could not attach to it. Close the other "
                                    "program, then activate again."));
        });
}

// --- deactivation -----------------------------------------------------------------------------

void LinuxExtensionPlatform::deactivateService() {
    const QString path = unitPath();
    const QString unit = QLatin1String(kCameraServiceName);
    if (!QFileInfo::exists(path)) {
        removeDevice();
        return;
    }
    if (runner_.findProgram(QStringLiteral("systemctl")).isEmpty()) {
        // Without systemd nothing can be running it; the file is all there is.
        QFile::remove(path);
        removeDevice();
        return;
    }
    systemctl({QStringLiteral("stop"), unit}, [=, this](const CommandResult& r) {
        // 5: the unit was not loaded, so there was nothing to stop.
        if (r.exitCode != 0 && r.exitCode != 5) {
            const QString why = lastLine(r.standardError);
            fail(ExtensionErrorCode::serviceFailed, QStringLiteral("The camera service could not be stopped") +
                                                        (why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')') +
                                                        '.');
            return;
        }
        systemctl({QStringLiteral("disable"), unit}, [=, this](const CommandResult&) {
            // A unit that cannot be disabled loses its file below, which removes it all the same.
            if (QFileInfo::exists(path) && !QFile::remove(path)) {
                fail(ExtensionErrorCode::serviceFailed,
                     QStringLiteral("The camera service file ") + path + QStringLiteral(" could not be removed."));
                return;
            }
            systemctl({QStringLiteral("daemon-reload")}, [this](const CommandResult&) { removeDevice(); });
        });
    });
}

void LinuxExtensionPlatform::removeDevice() {
    const std::optional<DeviceRecord> record = readDeviceRecord();
    if (!record) {
        finish(0);
        return;
    }
    // Gone already (a restart removes loopback devices): nothing to undo.
    const QString node = record->device.section(QLatin1Char('/'), -1);
    const QString name =
        readSmallFile(config_.sysfsRoot + QStringLiteral("/class/video4linux/") + node + QStringLiteral("/name"));
    if (name.trimmed() != QLatin1String("Ostrela")) {
        clearDeviceRecord();
        finish(0);
        return;
    }
    const QString what = QStringLiteral("the camera device was not removed");
    auto done = [this](const CommandResult&) {
        clearDeviceRecord();
        finish(0);
    };
    if (record->createdBy == QLatin1String("v4l2loopback-ctl"))
        runPrivileged(QStringLiteral("v4l2loopback-ctl"), {QStringLiteral("delete"), record->device}, what, done);
    else
        runPrivileged(QStringLiteral("modprobe"), {QStringLiteral("-r"), QStringLiteral("v4l2loopback")}, what, done);
}

// --- what we created --------------------------------------------------------------------------

std::optional<LinuxExtensionPlatform::DeviceRecord> LinuxExtensionPlatform::readDeviceRecord() const {
    const QJsonObject o = QJsonDocument::fromJson(readSmallFile(config_.stateFile).toUtf8()).object();
    const QString device = o.value(QStringLiteral("createdDevice")).toString();
    const QString by = o.value(QStringLiteral("createdBy")).toString();
    static const QRegularExpression valid(QStringLiteral("^/dev/video[0-9]+$"));
    if (!valid.match(device).hasMatch() || (by != QLatin1String("v4l2loopback-ctl") && by != QLatin1String("modprobe")))
        return std::nullopt;
    return DeviceRecord{device, by};
}

bool LinuxExtensionPlatform::writeDeviceRecord(const DeviceRecord& record) const {
    QDir().mkpath(QFileInfo(config_.stateFile).absolutePath());
    QSaveFile file(config_.stateFile);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QJsonObject o{{QStringLiteral("createdDevice"), record.device}, {QStringLiteral("createdBy"), record.createdBy}};
    file.write(QJsonDocument(o).toJson());
    return file.commit();
}

void LinuxExtensionPlatform::clearDeviceRecord() const {
    QFile::remove(config_.stateFile);
}

std::shared_ptr<ExtensionPlatform> createSystemExtensionPlatform() {
    return std::make_shared<LinuxExtensionPlatform>(LinuxExtensionPlatformConfig::fromEnvironment());
}

}  // namespace ostrela
