#include "extension/CameraReachability.h"

#include "extension/ExtensionManager.h"
#include "extension/LinuxExtensionPlatform.h"
#include "pipeline/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ostrela {

namespace {

CameraReachabilityNote shown(const QString& why, CameraReachabilityNote::Action action, const QString& lastFailure) {
    CameraReachabilityNote note;
    note.visible = true;
    note.text = QString::fromUtf8(reachability::kPrefix) + why;
    note.action = action;
    note.actionTitle = QString::fromUtf8(action == CameraReachabilityNote::Action::activate ? reachability::kActivate
                                                                                          : reachability::kHelp);
    if (!lastFailure.isEmpty()) note.detail = QString::fromUtf8(reachability::kLastFailurePrefix) + lastFailure;
    return note;
}

bool nameIsOstrela(const QString& sysfsRoot, const QString& device) {
    const QString node = device.section(QLatin1Char('/'), -1);
    if (!node.startsWith(QLatin1String("video"))) return false;
    QFile f(sysfsRoot + QStringLiteral("/class/video4linux/") + node + QStringLiteral("/name"));
    return f.open(QIODevice::ReadOnly) && f.read(256).trimmed() == "Ostrela";
}

}  // namespace

CameraReachabilityNote cameraReachabilityNote(const CameraReachabilityFacts& f) {
    using Action = CameraReachabilityNote::Action;
    // Whatever is wrong, the request under way is what will change it.
    if (f.requestPending) return {};
    if (f.programLive) {
        if (f.status.route == "loopback" && !f.statusDeviceIsOstrela)
            return shown(QString::fromUtf8(reachability::kDeviceGone), Action::activate, f.lastFailure);
        if (f.status.reachable) return {};
        QString why = QString::fromStdString(f.status.message).trimmed();
        if (why.isEmpty()) why = QString::fromUtf8(reachability::kNotReady);
        else if (!why.endsWith(QLatin1Char('.'))) why += QLatin1Char('.');
        return shown(why, Action::help, f.lastFailure);
    }
    switch (f.service) {
    case CameraServiceState::unchecked:
    case CameraServiceState::active:  // the program is starting, or says nothing; no verdict
        return {};
    case CameraServiceState::notInstalled:
        return shown(QString::fromUtf8(reachability::kNotSetUp), Action::activate, f.lastFailure);
    case CameraServiceState::restarting:
        // The program ends as soon as it starts: without a device it has nowhere to publish.
        if (f.ostrelaDevice.isEmpty())
            return shown(QString::fromUtf8(reachability::kNoCamera), Action::activate, f.lastFailure);
        return shown(QString::fromUtf8(reachability::kKeepsStopping), Action::help, f.lastFailure);
    case CameraServiceState::inactive:
    case CameraServiceState::unknown:
        return shown(QString::fromUtf8(reachability::kNotRunning), Action::activate, f.lastFailure);
    }
    return {};
}

CameraReachabilityMonitor::CameraReachabilityMonitor(ExtensionManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {
    const QString sysfs = qEnvironmentVariable("OSTRELA_SYSFS_ROOT");
    sysfsRoot_ = sysfs.isEmpty() ? QStringLiteral("/sys") : sysfs;
    timer_.setInterval(reachability::kCheckIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &CameraReachabilityMonitor::check);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] {
        // A replaced file is a new inode: watch the path afresh.
        watcher_.removePath(statusPath_);
        check();
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        // The directory also changes with every frame; only the status file's arrival matters.
        if (QFileInfo::exists(statusPath_) != statusFileSeen_) check();
    });
    if (manager_) {
        connect(manager_, &ExtensionManager::cameraServiceStateChanged, this, &CameraReachabilityMonitor::check);
        connect(manager_, &ExtensionManager::requestPendingChanged, this, &CameraReachabilityMonitor::check);
        connect(manager_, &ExtensionManager::statusTextChanged, this, &CameraReachabilityMonitor::check);
    }
}

CameraReachabilityMonitor::~CameraReachabilityMonitor() = default;

void CameraReachabilityMonitor::start() {
    if (started_) {
        check();
        return;
    }
    started_ = true;
    // The directory is made here if need be, so its watch can begin before the camera program's.
    (void)containerDirectory();
    statusPath_ = QString::fromStdString(containerDirectoryPath()) + QLatin1Char('/') +
                  QLatin1String(camera::kCameraStatusFileName);
    timer_.start();
    askAboutService();
    check();
}

void CameraReachabilityMonitor::askAboutService() {
    if (!manager_) return;
    lastServiceQuestion_.start();
    manager_->refreshCameraServiceState();
}

void CameraReachabilityMonitor::watch() {
    statusFileSeen_ = QFileInfo::exists(statusPath_);
    const QString dir = QFileInfo(statusPath_).absolutePath();
    if (statusFileSeen_) {
        // While the program runs only its file is watched, so frames wake nothing.
        if (!watcher_.files().contains(statusPath_)) watcher_.addPath(statusPath_);
        if (watcher_.directories().contains(dir)) watcher_.removePath(dir);
    } else {
        if (!watcher_.directories().contains(dir) && QFileInfo(dir).isDir()) watcher_.addPath(dir);
        // It may have arrived between the look and the watch.
        statusFileSeen_ = QFileInfo::exists(statusPath_);
        if (statusFileSeen_ && !watcher_.files().contains(statusPath_)) watcher_.addPath(statusPath_);
    }
}

void CameraReachabilityMonitor::check() {
    if (!started_) return;
    watch();
    const bool wasLive = facts_.programLive;
    CameraReachabilityFacts f;
    if (const std::optional<camera::CameraOutputStatus> status = camera::readCameraStatus()) {
        f.programLive = camera::cameraStatusIsLive(*status);
        if (f.programLive) f.status = *status;
    }
    f.statusDeviceIsOstrela = f.programLive && nameIsOstrela(sysfsRoot_, QString::fromStdString(f.status.device));
    f.ostrelaDevice = findOstrelaDeviceInSysfs(sysfsRoot_);
    if (manager_) {
        f.service = manager_->cameraServiceState();
        f.requestPending = manager_->isRequestPending();
        f.lastFailure = manager_->lastFailure();
    }
    facts_ = f;
    // Rarely: when the program went away, and now and then while it stays away with a service
    // that should be running it.
    if (!f.programLive && manager_ && !f.requestPending) {
        const bool serviceShouldRun =
            f.service == CameraServiceState::active || f.service == CameraServiceState::restarting;
        if (wasLive || (serviceShouldRun && lastServiceQuestion_.isValid() &&
                        lastServiceQuestion_.elapsed() >= reachability::kServiceRecheckMs))
            askAboutService();
    }
    const CameraReachabilityNote note = cameraReachabilityNote(facts_);
    if (note == note_) return;
    note_ = note;
    emit noteChanged();
}

void CameraReachabilityMonitor::fix() {
    switch (note_.action) {
    case CameraReachabilityNote::Action::activate:
        if (manager_) manager_->activate();
        break;
    case CameraReachabilityNote::Action::help:
        ExtensionManager::openExtensionSettings();
        break;
    case CameraReachabilityNote::Action::none:
        break;
    }
}

}  // namespace ostrela
