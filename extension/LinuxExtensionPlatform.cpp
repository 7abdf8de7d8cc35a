#include "extension/LinuxExtensionPlatform.h"

#include "extension/ExtensionManager.h"
#include "pipeline/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
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
    c.packageConfRoot = envOr("OSTRELA_PACKAGE_CONF_ROOT", QStringLiteral("/usr/lib"));
    c.kernelRelease = envOr("OSTRELA_KERNEL_RELEASE", QSysInfo::kernelVersion());
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome)) configHome = QDir::homePath() + QStringLiteral("/.config");
    c.unitDirectory = envOr("OSTRELA_SYSTEMD_USER_DIR", configHome + QStringLiteral("/systemd/user"));
    c.stateFile = QString::fromStdString(dataDirectory()) + QStringLiteral("/camera-extension.json");
    c.cameraProgram =
        envOr("OSTRELA_CAMERA_PROGRAM", QCoreApplication::applicationDirPath() + QStringLiteral("/ostrela-camera"));
    c.setupHelper = ostrelaSetupHelperPath();
    c.version = shippedVersion();
    return c;
}

QString ostrelaSetupHelperPath() {
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString installed =
        QDir::cleanPath(programDir + QStringLiteral("/../lib/ostrela/") + QLatin1String(kSetupHelperName));
    if (QFileInfo(installed).isFile()) return installed;
    return programDir + QLatin1Char('/') + QLatin1String(kSetupHelperName);
}

bool v4l2loopbackCtlOffersAdd(const QString& helpText) {
    // "add" as a command word: "v4l2loopback-ctl add ...", an indented "add ..." or "('add')".
    static const QRegularExpression add(QStringLiteral("(^[ \\t]*|v4l2loopback-ctl[ \\t]+|['(])add\\b"),
                                        QRegularExpression::MultilineOption);
    return add.match(helpText).hasMatch();
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

void LinuxExtensionPlatform::queryCameraService(std::function<void(CameraServiceState)> done) {
    if (!done) return;
    if (!QFileInfo::exists(unitPath())) {
        done(CameraServiceState::notInstalled);
        return;
    }
    const QString program = runner_.findProgram(QStringLiteral("systemctl"));
    if (program.isEmpty()) {
        done(CameraServiceState::unknown);
        return;
    }
    // Its own process beside any request: a question, not a step of one.
    runner_.run(
        program,
        {QStringLiteral("--user"), QStringLiteral("show"), QStringLiteral("--property=ActiveState"),
         QStringLiteral("--value"), QLatin1String(kCameraServiceName)},
        [done](const CommandResult& r) {
            const QString state = r.standardOutput.trimmed();
            if (!r.started || r.timedOut) done(CameraServiceState::unknown);
            else if (state == QLatin1String("active") || state == QLatin1String("reloading"))
                done(CameraServiceState::active);
            else if (state == QLatin1String("activating")) done(CameraServiceState::restarting);
            else if (state == QLatin1String("inactive") || state == QLatin1String("failed") ||
                     state == QLatin1String("deactivating"))
                done(CameraServiceState::inactive);
            else done(CameraServiceState::unknown);
        },
        5000);
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

bool LinuxExtensionPlatform::moduleWithoutDynamicDevices() const {
    // 0.12 declares no version at all; 0.13 and later do.
    static const QRegularExpression version(QStringLiteral("^(\\d+)\\.(\\d+)"));
    const auto m = version.match(readSmallFile(config_.sysfsRoot + QStringLiteral("/module/v4l2loopback/version")).trimmed());
    if (!m.hasMatch()) return false;
    const int major = m.captured(1).toInt(), minor = m.captured(2).toInt();
    return major == 0 && minor < 13;
}

bool LinuxExtensionPlatform::moduleInUse() const {
    bool ok = false;
    const int users =
        readSmallFile(config_.sysfsRoot + QStringLiteral("/module/v4l2loopback/refcnt")).trimmed().toInt(&ok);
    return !ok || users > 0;
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

bool LinuxExtensionPlatform::packageSetsUpDevice() const {
    if (config_.packageConfRoot.isEmpty()) return false;
    const QString load = readSmallFile(config_.packageConfRoot + QStringLiteral("/modules-load.d/ostrela.conf"));
    const QString options = readSmallFile(config_.packageConfRoot + QStringLiteral("/modprobe.d/ostrela.conf"));
    return load.trimmed() == QLatin1String("v4l2loopback") &&
           options.trimmed() == QLatin1String("options v4l2loopback card_label=\"Ostrela\" exclusive_caps=1");
}

void LinuxExtensionPlatform::activateDevice() {
    made_ = {};
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
    if (moduleLoaded()) {
        const QString ctl = runner_.findProgram(QStringLiteral("v4l2loopback-ctl"));
        if (moduleHasControlDevice() && !ctl.isEmpty() && !moduleWithoutDynamicDevices()) {
            // 0.12's v4l2loopback-ctl is a script without "add"; its help says which one this is.
            runner_.run(
                ctl, {QStringLiteral("--help")},
                [this](const CommandResult& r) {
                    configureLoadedModule(r.started && !r.timedOut &&
                                          v4l2loopbackCtlOffersAdd(r.standardOutput + '\n' + r.standardError));
                },
                5000);
            return;
        }
        configureLoadedModule(false);
        return;
    }
    if (moduleBuiltFor(config_.kernelRelease)) {
        createDevice(QStringLiteral("load"));
        return;
    }
    // Without a device the camera still reaches PipeWire clients: install the service, then report
    // what keeps the loopback camera away.
    auto withoutDevice = [this](int code, const QString& description) {
        deviceOutcome_ = [this, code, description] { fail(code, description); };
        installService();
    };
    const QString pipewireOnly = QStringLiteral(", so only PipeWire clients see the camera. ");
    if (moduleInstalledElsewhere()) {
        // Installed for a kernel that is not running yet: the files make the device at the next
        // start, and the camera serves PipeWire clients meanwhile. The package's files do that
        // already, so nothing needs authorising.
        if (packageSetsUpDevice()) {
            deviceOutcome_ = [this] { finish(1); };
            installService();
            return;
        }
        createDevice(QStringLiteral("persist"));
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

void LinuxExtensionPlatform::configureLoadedModule(bool dynamic) {
    if (dynamic) {
        createDevice(QStringLiteral("add"));
        return;
    }
    // Without dynamic devices the labels are fixed when the module loads: load it again with ours.
    if (!moduleInUse()) {
        createDevice(QStringLiteral("reload"));
        return;
    }
    auto withoutDevice = [this](int code, const QString& description) {
        deviceOutcome_ = [this, code, description] { fail(code, description); };
        installService();
    };
    const QString pipewireOnly = QStringLiteral(", so only PipeWire clients see the camera. ");
    if (moduleHasControlDevice() && runner_.findProgram(QStringLiteral("v4l2loopback-ctl")).isEmpty()) {
        withoutDevice(ExtensionErrorCode::programNotFound,
                      QStringLiteral("The v4l2loopback module is loaded without a camera named \"Ostrela\", and "
                                     "v4l2loopback-ctl is missing to add one") +
                          pipewireOnly + QStringLiteral("Install the package v4l2loopback-utils."));
        return;
    }
    withoutDevice(ExtensionErrorCode::deviceUnavailable,
                  QStringLiteral("The v4l2loopback module is already loaded without a camera named "
                                 "\"Ostrela\"") +
                      pipewireOnly +
                      QStringLiteral("Close the programs using its cameras, unload it with "
                                     "\"sudo modprobe -r v4l2loopback\", then activate again."));
}

void LinuxExtensionPlatform::runPrivileged(const QStringList& helperArgs, const QString& tool, const QString& what,
                                           std::function<void(const CommandResult&)> onSuccess) {
    const QString pkexec = runner_.findProgram(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        fail(ExtensionErrorCode::programNotFound, QStringLiteral("pkexec was not found, so ") + what +
                                                      QStringLiteral(". Install the package pkexec (polkit)."));
        return;
    }
    if (!tool.isEmpty() && runner_.findProgram(tool).isEmpty()) {
        fail(ExtensionErrorCode::programNotFound, tool + QStringLiteral(" was not found, so ") + what + '.');
        return;
    }
    const QFileInfo helper(config_.setupHelper);
    if (!helper.isFile() || !helper.isExecutable()) {
        fail(ExtensionErrorCode::programNotFound, QStringLiteral("The camera setup helper was not found at ") +
                                                      config_.setupHelper + QStringLiteral(", so ") + what + '.');
        return;
    }
    auto callbacks = current_.callbacks;
    runner_.run(
        pkexec, QStringList{helper.absoluteFilePath()} + helperArgs,
        [this, tool, what, onSuccess](const CommandResult& r) {
            const QString why = lastLine(r.standardError);
            if (!r.started) {
                fail(ExtensionErrorCode::programNotFound, QStringLiteral("pkexec could not be run (") +
                                                              r.standardError + QStringLiteral("), so ") + what + '.');
            } else if (r.exitCode == 0) {
                onSuccess(r);
            } else if (r.exitCode == 126) {
                fail(ExtensionErrorCode::authenticationDismissed,
                     QStringLiteral("The authentication was dismissed, so ") + what + '.');
            } else if (r.exitCode == 127) {
                fail(ExtensionErrorCode::notAuthorized,
                     QStringLiteral("Not authorised") + (why.isEmpty() ? QString() : QStringLiteral(" (") + why + ')') +
                         QStringLiteral(", so ") + what + '.');
            } else if (r.exitCode == 1 && !tool.isEmpty()) {
                // The tool's own message is the helper's last line.
                fail(ExtensionErrorCode::commandFailed,
                     tool + QStringLiteral(" failed (") + (why.isEmpty() ? QStringLiteral("exit status 1") : why) +
                         QStringLiteral("), so ") + what + '.');
            } else if (r.exitCode == 3 && !why.isEmpty()) {
                fail(ExtensionErrorCode::programNotFound, why + QStringLiteral(", so ") + what + '.');
            } else if (r.exitCode == 4 && !why.isEmpty()) {
                fail(ExtensionErrorCode::commandFailed, why + QStringLiteral(", so ") + what + '.');
            } else {
                fail(ExtensionErrorCode::commandFailed,
                     QStringLiteral("The camera setup failed (") +
                         (why.isEmpty() ? QStringLiteral("exit status %1").arg(r.exitCode) : why) +
                         QStringLiteral("), so ") + what + '.');
            }
        },
        0,
        [callbacks] {
            if (callbacks.needsUserApproval) callbacks.needsUserApproval();
        });
}

namespace {

// The files the helper reports as "wrote PATH" (or "kept PATH").
QStringList helperFiles(const QString& output, const QString& verb) {
    QStringList files;
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (line.startsWith(verb + QLatin1Char(' '))) files << line.mid(verb.size() + 1).trimmed();
    return files;
}

}  // namespace

void LinuxExtensionPlatform::createDevice(const QString& action) {
    const bool persistOnly = action == QLatin1String("persist");
    const QString what = persistOnly ? QStringLiteral("the camera device was not set up for the next start")
                                     : QStringLiteral("the camera device was not created");
    const QString tool = action == QLatin1String("add") ? QStringLiteral("v4l2loopback-ctl")
                         : persistOnly                  ? QString()
                                                        : QStringLiteral("modprobe");
    runPrivileged({action}, tool, what, [this, action, persistOnly](const CommandResult& r) {
        // Recorded at once, so deactivation finds the files even if the device never shows up.
        made_.createdBy = action == QLatin1String("add") ? QStringLiteral("v4l2loopback-ctl") : QStringLiteral("modprobe");
        made_.files = helperFiles(r.standardOutput, QStringLiteral("wrote"));
        // Files an earlier activation wrote and this one kept stay ours.
        if (const std::optional<DeviceRecord> earlier = readDeviceRecord()) {
            const QStringList kept = helperFiles(r.standardOutput, QStringLiteral("kept"));
            for (const QString& file : earlier->files)
                if (kept.contains(file) && !made_.files.contains(file)) made_.files << file;
        }
        writeDeviceRecord(made_);
        if (persistOnly) {
            deviceOutcome_ = [this] { finish(1); };
            installService();
            return;
        }
        static const QRegularExpression device(QStringLiteral("(/dev/video[0-9]+)"));
        const auto m = device.match(r.standardOutput);
        waitForDevice(m.hasMatch() ? m.captured(1) : QString(), 0);
    });
}

void LinuxExtensionPlatform::waitForDevice(const QString& reportedDevice, int waitedMs) {
    const QString found = findOstrelaDeviceInSysfs(config_.sysfsRoot);
    if (!found.isEmpty()) {
        made_.device = reportedDevice.isEmpty() ? found : reportedDevice;
        writeDeviceRecord(made_);
        installService();
        return;
    }
    if (waitedMs >= config_.deviceWaitMs) {
        fail(ExtensionErrorCode::deviceUnavailable,
             made_.createdBy + QStringLiteral(" succeeded, but no camera named \"Ostrela\" appeared."));
        return;
    }
    const int step = 100;
    QTimer::singleShot(step, this,
                       [this, reportedDevice, waitedMs, step] { waitForDevice(reportedDevice, waitedMs + step); });
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
    auto isOstrela = [this](const QString& device) {
        const QString node = device.section(QLatin1Char('/'), -1);
        return !node.isEmpty() && readSmallFile(config_.sysfsRoot + QStringLiteral("/class/video4linux/") + node +
                                                QStringLiteral("/name"))
                                          .trimmed() == QLatin1String("Ostrela");
    };
    QStringList args{QStringLiteral("remove")};
    QString tool;
    const QString current = findOstrelaDeviceInSysfs(config_.sysfsRoot);
    if (record->createdBy == QLatin1String("v4l2loopback-ctl")) {
        // After a restart our files made the device when the module loaded, maybe under another number.
        const QString target = isOstrela(record->device) ? record->device
                               : record->files.isEmpty() ? QString()
                                                         : current;
        if (!target.isEmpty()) {
            args << QStringLiteral("--delete") << target;
            tool = QStringLiteral("v4l2loopback-ctl");
        }
    } else if (!current.isEmpty() && (isOstrela(record->device) || !record->files.isEmpty())) {
        args << QStringLiteral("--unload");
        tool = QStringLiteral("modprobe");
    }
    // Only the files we wrote, and only while they are there (the helper also checks they hold our line).
    for (const QString& file : record->files) {
        if (!QFileInfo::exists(file)) continue;
        if (file.endsWith(QLatin1String("/modules-load.d/ostrela.conf"))) args << QStringLiteral("--load-file");
        else if (file.endsWith(QLatin1String("/modprobe.d/ostrela.conf"))) args << QStringLiteral("--options-file");
    }
    // Gone already (a restart removes devices made at run time, a user may remove the files): nothing to undo.
    if (args.size() == 1) {
        clearDeviceRecord();
        finish(0);
        return;
    }
    const QString what = tool.isEmpty() ? QStringLiteral("the camera's start-up files were not removed")
                                        : QStringLiteral("the camera device was not removed");
    runPrivileged(args, tool, what, [this](const CommandResult&) {
        clearDeviceRecord();
        finish(0);
    });
}

// --- what we created --------------------------------------------------------------------------

std::optional<LinuxExtensionPlatform::DeviceRecord> LinuxExtensionPlatform::readDeviceRecord() const {
    const QJsonObject o = QJsonDocument::fromJson(readSmallFile(config_.stateFile).toUtf8()).object();
    DeviceRecord record;
    record.device = o.value(QStringLiteral("createdDevice")).toString();
    record.createdBy = o.value(QStringLiteral("createdBy")).toString();
    for (const QJsonValue& v : o.value(QStringLiteral("wroteFiles")).toArray()) {
        const QString file = v.toString();
        if (file.endsWith(QLatin1String("/modules-load.d/ostrela.conf")) ||
            file.endsWith(QLatin1String("/modprobe.d/ostrela.conf")))
            record.files << file;
    }
    static const QRegularExpression valid(QStringLiteral("^/dev/video[0-9]+$"));
    if (!record.device.isEmpty() && !valid.match(record.device).hasMatch()) record.device.clear();
    if (record.createdBy != QLatin1String("v4l2loopback-ctl") && record.createdBy != QLatin1String("modprobe"))
        return std::nullopt;
    if (record.device.isEmpty() && record.files.isEmpty()) return std::nullopt;
    return record;
}

bool LinuxExtensionPlatform::writeDeviceRecord(const DeviceRecord& record) const {
    QDir().mkpath(QFileInfo(config_.stateFile).absolutePath());
    QSaveFile file(config_.stateFile);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QJsonObject o{{QStringLiteral("createdDevice"), record.device},
                  {QStringLiteral("createdBy"), record.createdBy},
                  {QStringLiteral("wroteFiles"), QJsonArray::fromStringList(record.files)}};
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
