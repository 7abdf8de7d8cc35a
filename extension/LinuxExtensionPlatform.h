#pragma once
// Registers the camera on Linux: a v4l2loopback device labelled "Ostrela" (exclusive_caps=1, so
// WebRTC clients list it while a producer is attached) and the systemd user service
// "ostrela-camera.service" that runs the camera program as its producer.
//
// Activation: an existing "Ostrela" device is used as it is. Otherwise one privileged step, the
// setup helper run through pkexec, makes it and writes the two files that make it again at every
// boot ("/etc/modules-load.d/ostrela.conf", "/etc/modprobe.d/ostrela.conf", unless the package
// installed them under /usr/lib already): the module is loaded
// with card_label="Ostrela" exclusive_caps=1 when it is not loaded; a loaded module gets a
// device from `v4l2loopback-ctl add` when it offers dynamic devices (0.13 and later), else it is
// unloaded and loaded again with the options when nothing uses it. A module built only for a
// kernel not yet running gets the files alone (nothing at all when the package has them). Then the user service is written, reloaded,
// enabled, restarted and checked. Where no device can be had the service is installed all the
// same (the camera program then publishes through PipeWire) and the request ends with result 1
// for a module built only for another kernel, else with the failure. What was made is recorded;
// deactivation stops and removes the service, and removes the device and the files only when
// this program made them. Requests run one at a time.
#include "extension/CommandRunner.h"
#include "extension/ExtensionPlatform.h"

#include <QObject>
#include <QString>

#include <deque>
#include <optional>

namespace ostrela {

inline constexpr const char* kCameraServiceName = "ostrela-camera.service";

struct LinuxExtensionPlatformConfig {
    QString sysfsRoot;       // "/sys"; $OSTRELA_SYSFS_ROOT
    QString procRoot;        // "/proc"; $OSTRELA_PROC_ROOT
    QString modulesRoot;     // "/lib/modules"; $OSTRELA_MODULES_ROOT
    QString sourcesRoot;     // "/usr/src" (DKMS sources); $OSTRELA_SOURCES_ROOT
    // Where the Debian package puts the module's load and options files ("/usr/lib"); empty: none.
    QString packageConfRoot;  // $OSTRELA_PACKAGE_CONF_ROOT
    QString kernelRelease;   // the running kernel's release
    QString unitDirectory;   // $OSTRELA_SYSTEMD_USER_DIR, else $XDG_CONFIG_HOME/systemd/user
    QString stateFile;       // what we created, for deactivation: <data dir>/camera-extension.json
    QString cameraProgram;   // $OSTRELA_CAMERA_PROGRAM, else "ostrela-camera" beside this program
    QString setupHelper;     // the privileged helper, ostrelaSetupHelperPath()
    ExtensionVersion version;  // of the camera program shipped with this application
    int serviceSettleMs = 1500;   // how long the started service must survive before it counts as running
    int deviceWaitMs = 5000;      // how long a newly created device may take to appear
    int systemctlTimeoutMs = 30000;

    // Everything from the environment and this installation.
    static LinuxExtensionPlatformConfig fromEnvironment();
};

inline constexpr const char* kSetupHelperName = "ostrela-camera-setup";
// <program dir>/../lib/ostrela/ostrela-camera-setup once installed, else beside the program.
QString ostrelaSetupHelperPath();
// True when a `v4l2loopback-ctl --help` text offers the "add" command (0.13 and later; 0.12's
// shell script has set-fps, set-caps and set-timeout-image only).
bool v4l2loopbackCtlOffersAdd(const QString& helpText);

// Parsed from an installed unit file: the versions it was written by; nullopt when the file is
// absent, empty strings for missing lines.
std::optional<ExtensionVersion> installedServiceVersion(const QString& unitPath);
// The unit file for `cameraProgram`.
QString cameraServiceUnit(const QString& cameraProgram, const ExtensionVersion& version);
// The "/dev/videoN" of the video device whose sysfs name is exactly "Ostrela"; empty when none.
QString findOstrelaDeviceInSysfs(const QString& sysfsRoot);

class LinuxExtensionPlatform : public QObject, public ExtensionPlatform {
    Q_OBJECT
public:
    explicit LinuxExtensionPlatform(LinuxExtensionPlatformConfig config, QObject* parent = nullptr);
    ~LinuxExtensionPlatform() override;

    void submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) override;
    void submitDeactivation(const QString& identifier, ExtensionRequestCallbacks callbacks) override;
    void queryCameraService(std::function<void(CameraServiceState)> done) override;

    const LinuxExtensionPlatformConfig& config() const { return config_; }
    CommandRunner& runner() { return runner_; }
    QString unitPath() const;

private:
    struct Request {
        bool activation = true;
        QString identifier;
        ExtensionRequestCallbacks callbacks;
    };
    void startNext();
    void finish(int result);
    void fail(int code, const QString& description);
    bool takeDeviceOutcome();

    void activateDevice();
    void configureLoadedModule(bool dynamic);
    // Runs the helper's `action` ("load", "reload", "add" or "persist") and records what it made.
    void createDevice(const QString& action);
    void waitForDevice(const QString& reportedDevice, int waitedMs);
    void installService();
    void systemctl(const QStringList& args, std::function<void(const CommandResult&)> next);
    void checkServiceRunning();
    void checkServiceHoldsDevice();

    void deactivateService();
    void removeDevice();

    // The setup helper through pkexec, with the approval notice while it waits and its refusals
    // and failures mapped to failures. `tool` names what the helper runs, for the messages.
    void runPrivileged(const QStringList& helperArgs, const QString& tool, const QString& what,
                       std::function<void(const CommandResult&)> onSuccess);

    bool moduleLoaded() const;
    bool moduleHasControlDevice() const;
    // The loaded module says which version it is and that is older than 0.13.
    bool moduleWithoutDynamicDevices() const;
    // Something holds the loaded module (an open device); unknown counts as used.
    bool moduleInUse() const;
    bool moduleBuiltFor(const QString& release) const;
    bool moduleInstalledElsewhere() const;
    // The package installed both module files with our lines: the device comes at every boot.
    bool packageSetsUpDevice() const;

    struct DeviceRecord {
        QString device;     // "/dev/videoN"; empty when none was made yet (files for the next boot)
        QString createdBy;  // "v4l2loopback-ctl" or "modprobe"
        QStringList files;  // the module's load and options files we wrote
    };
    std::optional<DeviceRecord> readDeviceRecord() const;
    bool writeDeviceRecord(const DeviceRecord& record) const;
    void clearDeviceRecord() const;

    LinuxExtensionPlatformConfig config_;
    CommandRunner runner_;
    std::deque<Request> queue_;
    Request current_;
    DeviceRecord made_;  // what the running activation made, while it waits for the device
    std::function<void()> deviceOutcome_;  // reported once the service step ends, whatever its end
    bool busy_ = false;
};

}  // namespace ostrela
