#include "extension/ExtensionManager.h"

#include "pipeline/Paths.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTime>
#include <QUrl>

#include <utility>

namespace ostrela {

namespace {

const QString kApprovalText =
    QStringLiteral("Awaiting approval in the desktop's authentication dialog");

std::function<void()>& settingsOpener() {
    static std::function<void()> opener;
    return opener;
}

// The locale's time with seconds and without a time zone ("3:04:05 PM" in English).
QString timeStamp() {
    QLocale locale;
    QString format = locale.timeFormat(QLocale::LongFormat);
    // Drop the zone field and the separator before it.
    format.remove(QRegularExpression(QStringLiteral("[\\s\\x{202F}\\x{00A0}]*\\bt+\\b")));
    format = format.trimmed();
    if (!format.contains(QLatin1Char('s'))) format = locale.timeFormat(QLocale::ShortFormat);
    return locale.toString(QTime::currentTime(), format);
}

}  // namespace

ExtensionManager::ExtensionManager(QObject* parent) : ExtensionManager(createSystemExtensionPlatform(), parent) {}

ExtensionManager::ExtensionManager(std::shared_ptr<ExtensionPlatform> platform, QObject* parent)
    : QObject(parent), platform_(std::move(platform)) {}

ExtensionManager::~ExtensionManager() = default;

void ExtensionManager::activate() {
    appendLog(QStringLiteral("Submitting activation request for ") + QLatin1String(kCameraExtensionIdentifier));
    if (platform_) {
        if (pendingRequests_++ == 0) emit requestPendingChanged(true);
        platform_->submitActivation(QLatin1String(kCameraExtensionIdentifier), makeCallbacks());
    }
    setStatusText(QStringLiteral("Activation requested\u2026"));
}

void ExtensionManager::deactivate(const QString& identifier) {
    appendLog(QStringLiteral("Submitting deactivation request for ") + identifier);
    if (platform_) {
        if (pendingRequests_++ == 0) emit requestPendingChanged(true);
        platform_->submitDeactivation(identifier, makeCallbacks());
    }
    setStatusText(QStringLiteral("Deactivation requested\u2026"));
}

void ExtensionManager::requestEnded(bool endedBefore) {
    if (!endedBefore && pendingRequests_ > 0 && --pendingRequests_ == 0) emit requestPendingChanged(false);
    // A request may have installed, started or removed the service.
    refreshCameraServiceState();
}

void ExtensionManager::refreshCameraServiceState() {
    if (!platform_) return;
    // One question at a time; a refresh asked meanwhile asks once more afterwards.
    if (serviceQueryRunning_) {
        serviceQueryAgain_ = true;
        return;
    }
    serviceQueryRunning_ = true;
    QPointer<ExtensionManager> self(this);
    platform_->queryCameraService([self](CameraServiceState state) {
        if (!self) return;
        self->serviceQueryRunning_ = false;
        if (self->cameraServiceState_ != state) {
            self->cameraServiceState_ = state;
            emit self->cameraServiceStateChanged(state);
        }
        if (self->serviceQueryAgain_) {
            self->serviceQueryAgain_ = false;
            self->refreshCameraServiceState();
        }
    });
}

ExtensionRequestCallbacks ExtensionManager::makeCallbacks() {
    // The platform may outlive us; its callbacks then do nothing.
    QPointer<ExtensionManager> self(this);
    // A request counts as pending until its first end, however many the platform reports.
    auto ended = std::make_shared<bool>(false);
    ExtensionRequestCallbacks callbacks;
    callbacks.replacing = [self](const ExtensionVersion& existing, const ExtensionVersion& replacement) {
        if (self)
            self->appendLog(QStringLiteral("Replacing existing extension %1 (%2) with %3 (%4)")
                                .arg(existing.shortVersion, existing.bundleVersion, replacement.shortVersion,
                                     replacement.bundleVersion));
        return ReplacementAction::replace;
    };
    callbacks.needsUserApproval = [self] {
        if (!self) return;
        self->setStatusText(kApprovalText);
        self->setAwaitingApproval(true);
        self->appendLog(kApprovalText);
    };
    callbacks.finished = [self, ended](int result) {
        if (!self) return;
        QString text;
        if (result == 0) text = QStringLiteral("Request completed");
        else if (result == 1) text = QStringLiteral("Request will complete after reboot");
        else text = QStringLiteral("Request finished with result ") + QString::number(result);
        self->lastFailure_.clear();
        self->setStatusText(text);
        self->setAwaitingApproval(false);
        self->appendLog(text);
        self->requestEnded(std::exchange(*ended, true));
    };
    callbacks.failed = [self, ended](const ExtensionRequestError& error) {
        if (!self) return;
        const QString text = QStringLiteral("Request failed: ") + error.description;
        self->lastFailure_ = error.description;
        self->setStatusText(text);
        self->setAwaitingApproval(false);
        self->appendLog(text + QStringLiteral(" [") + error.domain + QLatin1Char(' ') + QString::number(error.code) +
                        QLatin1Char(']'));
        self->requestEnded(std::exchange(*ended, true));
    };
    return callbacks;
}

void ExtensionManager::setStatusText(const QString& text) {
    if (statusText_ == text) return;
    statusText_ = text;
    emit statusTextChanged(statusText_);
}

void ExtensionManager::setAwaitingApproval(bool awaiting) {
    if (isAwaitingApproval_ == awaiting) return;
    isAwaitingApproval_ = awaiting;
    emit isAwaitingApprovalChanged(isAwaitingApproval_);
}

void ExtensionManager::appendLog(const QString& message) {
    logLines_.append(QLatin1Char('[') + timeStamp() + QStringLiteral("] ") + message);
    emit logLinesChanged(logLines_);
}

void ExtensionManager::setExtensionSettingsOpener(std::function<void()> opener) { settingsOpener() = std::move(opener); }

void ExtensionManager::openExtensionSettings() {
    if (settingsOpener()) {
        settingsOpener()();
        return;
    }
    const QString dir = QString::fromStdString(dataDirectory());
    if (!ensureDirectory(dir.toStdString(), 0700)) return;
    const QString path = dir + QStringLiteral("/camera-troubleshooting.txt");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(troubleshootingText().toUtf8());
    if (!file.commit()) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString ExtensionManager::troubleshootingText() {
    return QStringLiteral(
        "# The Ostrela camera\n"
        "\n"
        "Video-call apps see Ostrela as a camera named \"Ostrela\": a v4l2loopback video device that the "
        "Ostrela camera service feeds with the finished picture.\n"
        "\n"
        "## Install the kernel module\n"
        "\n"
        "Install the v4l2loopback module for your kernel, for example on Debian or Ubuntu:\n"
        "\n"
        "    sudo apt install v4l2loopback-dkms v4l2loopback-utils\n"
        "\n"
        "If the module was just built for a newer kernel, restart the computer, then press Activate again.\n"
        "\n"
        "## Approve the request\n"
        "\n"
        "Activating asks for your password in the desktop's authentication dialog, because creating the "
        "camera device needs administrator rights. Enter it and press Authenticate; pressing Cancel leaves the "
        "camera off. Press Activate in Settings \u2192 Advanced to ask again.\n"
        "\n"
        "In the same step Ostrela writes /etc/modules-load.d/ostrela.conf and /etc/modprobe.d/ostrela.conf, so "
        "the camera is there again after a restart. Deactivate removes them.\n"
        "\n"
        "## Still no camera?\n"
        "\n"
        "- Restart the video-call app: most list cameras only when they start.\n"
        "- Chrome and other browsers list the camera only while the Ostrela camera service is running. Check it "
        "with `systemctl --user status ostrela-camera.service`.\n"
        "- Without the module, or for browsers in a sandbox (Flatpak, Snap), the camera service offers \"Ostrela\" "
        "through PipeWire instead; such apps find it when they use the desktop's camera access.\n"
        "- Another program may hold the device; close other virtual-camera programs and press Activate again.\n"
        "- Deactivate, then Activate, starts the registration afresh.\n");
}

QString ExtensionManager::embeddedExtensionsDirectory() {
    const QString overridden = qEnvironmentVariable("OSTRELA_EXTENSIONS_DIR");
    if (!overridden.isEmpty()) return overridden;
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString installed = QDir::cleanPath(programDir + QStringLiteral("/../lib/ostrela/extensions"));
    if (QFileInfo(installed).isDir()) return installed;
    return programDir + QStringLiteral("/extensions");
}

QList<EmbeddedExtensionInfo> ExtensionManager::embeddedExtensions() {
    return embeddedExtensions(embeddedExtensionsDirectory());
}

QList<EmbeddedExtensionInfo> ExtensionManager::embeddedExtensions(const QString& directory) {
    QList<EmbeddedExtensionInfo> found;
    QDir dir(directory);
    if (!dir.exists()) return found;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.suffix() != QLatin1String("extension")) continue;
        EmbeddedExtensionInfo info;
        info.path = entry.absoluteFilePath();
        QFile manifest(info.path + QStringLiteral("/manifest.json"));
        if (manifest.open(QIODevice::ReadOnly)) {
            const QJsonDocument doc = QJsonDocument::fromJson(manifest.read(1 << 20));
            if (doc.isObject()) {
                const QJsonObject root = doc.object();
                const QJsonValue id = root.value(QStringLiteral("CFBundleIdentifier"));
                if (id.isString()) info.bundleIdentifier = id.toString();
                const QJsonValue cmio = root.value(QStringLiteral("CMIOExtension"));
                if (cmio.isObject()) {
                    const QJsonValue service = cmio.toObject().value(QStringLiteral("CMIOExtensionMachServiceName"));
                    if (service.isString()) info.machServiceName = service.toString();
                }
            }
        }
        found.append(info);
    }
    return found;
}

QString ExtensionManager::applicationBundlePath() { return QCoreApplication::applicationFilePath(); }

QString ExtensionManager::applicationBundleIdentifier() { return QStringLiteral("com.morwick.Ostrela"); }

bool ExtensionManager::isInApplicationsFolder() { return isInApplicationsFolder(applicationBundlePath()); }

bool ExtensionManager::isInApplicationsFolder(const QString& path) {
    return path.startsWith(QLatin1String("/usr/")) || path.startsWith(QLatin1String("/opt/"));
}

}  // namespace ostrela
