#pragma once
// The operating-system side of registering the camera extension. A request is submitted with a
// set of callbacks; the platform calls them on the main thread as the request progresses, in the
// order a system-extension service would: an optional replacement question, an optional approval
// notice, then exactly one of finished / failed.
#include <QString>

#include <functional>
#include <memory>

namespace ostrela {

// The version of an installed or shipped camera extension.
struct ExtensionVersion {
    QString shortVersion;   // "0.1.0"
    QString bundleVersion;  // build number
};

struct ExtensionRequestError {
    QString domain;
    int code = 0;
    QString description;  // user-readable
};

// Error domain and codes of the requests this platform runs.
inline constexpr const char* kExtensionErrorDomain = "OstrelaExtensionErrorDomain";
struct ExtensionErrorCode {
    enum : int {
        unknownError = 1,
        moduleNotInstalled = 2,      // no v4l2loopback package at all
        programNotFound = 4,         // the camera program or a needed tool is missing
        unknownExtension = 5,        // a request for an identifier we do not ship
        deviceUnavailable = 6,       // the module is there but gives no "Ostrela" device
        commandFailed = 7,           // a privileged step ran and failed
        serviceFailed = 8,           // the camera service could not be installed or did not start
        authenticationDismissed = 11,
        replacementDeclined = 12,
        notAuthorized = 13,
    };
};

enum class ReplacementAction { cancel, replace };

struct ExtensionRequestCallbacks {
    std::function<ReplacementAction(const ExtensionVersion& existing, const ExtensionVersion& replacement)>
        replacing;
    std::function<void()> needsUserApproval;
    // 0: completed; 1: completes after a reboot or a new login.
    std::function<void(int result)> finished;
    std::function<void(const ExtensionRequestError& error)> failed;
};

// What the service manager says about the service that runs the camera program.
enum class CameraServiceState {
    unchecked,     // not asked yet
    unknown,       // could not be asked (no service manager, no answer)
    notInstalled,  // no service file
    inactive,      // installed, stopped or failed
    restarting,    // between two runs: the program keeps ending
    active,
};

class ExtensionPlatform {
public:
    virtual ~ExtensionPlatform() = default;
    virtual void submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) = 0;
    virtual void submitDeactivation(const QString& identifier, ExtensionRequestCallbacks callbacks) = 0;
    // Asks the service manager, without waiting for any request; `done` is called once, on the
    // main thread, possibly before this returns.
    virtual void queryCameraService(std::function<void(CameraServiceState)> done) {
        if (done) done(CameraServiceState::unknown);
    }
};

// The platform of this machine: a v4l2loopback device labelled "Ostrela" and a systemd user
// service running the camera program (LinuxExtensionPlatform.h).
std::shared_ptr<ExtensionPlatform> createSystemExtensionPlatform();

}  // namespace ostrela
