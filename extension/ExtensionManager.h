#pragma once
// Registers the "Ostrela" camera with the system and keeps a status line and a user-visible,
// time-stamped log of every step. Also finds the camera extension shipped with the application
// for the diagnostics of the settings window.
#include "extension/ExtensionPlatform.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace ostrela {

inline constexpr const char* kCameraExtensionIdentifier = "com.morwick.Ostrela.CameraExtension";

// One camera extension shipped beside the application: a directory "<name>.extension" holding a
// "manifest.json" with "CFBundleIdentifier" and "CMIOExtension" → "CMIOExtensionMachServiceName".
struct EmbeddedExtensionInfo {
    QString path;
    std::optional<QString> bundleIdentifier;
    std::optional<QString> machServiceName;
};

class ExtensionManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QStringList logLines READ logLines NOTIFY logLinesChanged)
    Q_PROPERTY(bool isAwaitingApproval READ isAwaitingApproval NOTIFY isAwaitingApprovalChanged)

public:
    // Uses the platform of this machine.
    explicit ExtensionManager(QObject* parent = nullptr);
    // Uses `platform` (tests and the windows' previews pass a double).
    explicit ExtensionManager(std::shared_ptr<ExtensionPlatform> platform, QObject* parent = nullptr);
    ~ExtensionManager() override;

    QString statusText() const { return statusText_; }
    QStringList logLines() const { return logLines_; }
    bool isAwaitingApproval() const { return isAwaitingApproval_; }

    Q_INVOKABLE void activate();
    Q_INVOKABLE void deactivate(const QString& identifier);

    // True from a request's submission until its finish or failure.
    bool isRequestPending() const { return pendingRequests_ > 0; }
    // The description of the last request's failure; empty when it did not fail.
    QString lastFailure() const { return lastFailure_; }
    // What the service manager said about the camera service when last asked. Asked by
    // refreshCameraServiceState and after every request ends; never per frame.
    CameraServiceState cameraServiceState() const { return cameraServiceState_; }
    void refreshCameraServiceState();

    // Opens the camera troubleshooting help (installing v4l2loopback, approving the request).
    // Needs no manager. The application installs the opener that shows its help window; without
    // one the help text is written to a file and opened with the desktop's viewer.
    static void openExtensionSettings();
    static void setExtensionSettingsOpener(std::function<void()> opener);
    // The markdown text of that help.
    static QString troubleshootingText();

    // Camera extensions shipped with the application, in listing order; empty when the
    // directory cannot be listed.
    static QList<EmbeddedExtensionInfo> embeddedExtensions();
    static QList<EmbeddedExtensionInfo> embeddedExtensions(const QString& directory);
    // Where embeddedExtensions() looks: $OSTRELA_EXTENSIONS_DIR, else
    // <program dir>/../lib/ostrela/extensions when it exists, else <program dir>/extensions.
    static QString embeddedExtensionsDirectory();

    // The running program's path ("Program path" in the diagnostics).
    static QString applicationBundlePath();
    // The application's identifier, "com.morwick.Ostrela".
    static QString applicationBundleIdentifier();
    // True when the program is installed system-wide: its path starts with "/usr/" or "/opt/".
    static bool isInApplicationsFolder();
    static bool isInApplicationsFolder(const QString& path);

signals:
    void statusTextChanged(const QString& statusText);
    void logLinesChanged(const QStringList& logLines);
    void isAwaitingApprovalChanged(bool isAwaitingApproval);
    void requestPendingChanged(bool pending);
    void cameraServiceStateChanged(CameraServiceState state);

private:
    ExtensionRequestCallbacks makeCallbacks();
    void setStatusText(const QString& text);
    void setAwaitingApproval(bool awaiting);
    void appendLog(const QString& message);
    void requestEnded(bool endedBefore);

    std::shared_ptr<ExtensionPlatform> platform_;
    QString statusText_ = QStringLiteral("Idle");
    QStringList logLines_;
    bool isAwaitingApproval_ = false;
    int pendingRequests_ = 0;
    QString lastFailure_;
    CameraServiceState cameraServiceState_ = CameraServiceState::unchecked;
    bool serviceQueryRunning_ = false;
    bool serviceQueryAgain_ = false;
};

}  // namespace ostrela
