#pragma once
// Whether call apps can reach the "Ostrela" camera right now, and what to tell the user when they
// cannot. Learnt from what is known already: the camera program's status file in the container
// (watched, not polled), the extension manager's word on the camera service (asked at start,
// after a request ends and when the camera program goes away) and the loopback device's name in
// sysfs. A cheap re-check every few seconds notices a camera program that died without a word.
#include "extension/ExtensionPlatform.h"
#include "extension/camera/CameraStatus.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace ostrela {

class ExtensionManager;

namespace reachability {
inline constexpr const char kPrefix[] = "Other apps can't see the Ostrela camera: ";
inline constexpr const char kNotSetUp[] = "the camera service isn't set up.";
inline constexpr const char kNotRunning[] = "the camera service isn't running.";
inline constexpr const char kNoCamera[] = "no loopback device and no PipeWire camera.";
inline constexpr const char kKeepsStopping[] = "the camera service keeps stopping.";
inline constexpr const char kDeviceGone[] = "its loopback device is gone.";
inline constexpr const char kNotReady[] = "the camera isn't ready.";
inline constexpr const char kActivate[] = "Activate";
inline constexpr const char kHelp[] = "Help";
inline constexpr const char kLastFailurePrefix[] = "Last activation: ";
inline constexpr int kCheckIntervalMs = 5000;
inline constexpr int kServiceRecheckMs = 30000;
}  // namespace reachability

struct CameraReachabilityNote {
    enum class Action { none, activate, help };
    bool visible = false;
    QString text;         // one line
    Action action = Action::none;
    QString actionTitle;  // "Activate" or "Help"
    QString detail;       // why the last request failed, when it did
    bool operator==(const CameraReachabilityNote&) const = default;
};

struct CameraReachabilityFacts {
    bool programLive = false;              // a running camera program wrote the status
    camera::CameraOutputStatus status;     // its status, when live
    bool statusDeviceIsOstrela = false;    // the status's device is named "Ostrela" in sysfs
    QString ostrelaDevice;                 // any video device named "Ostrela"; empty when none
    CameraServiceState service = CameraServiceState::unchecked;
    bool requestPending = false;           // an activation or deactivation is under way
    QString lastFailure;                   // of the last request; empty when it did not fail
};

// The note for those facts: hidden while the camera can be reached, while a request is under way
// and while nothing is known yet.
CameraReachabilityNote cameraReachabilityNote(const CameraReachabilityFacts& facts);

class CameraReachabilityMonitor : public QObject {
    Q_OBJECT
public:
    // `manager` may be null: the service is then never asked about.
    explicit CameraReachabilityMonitor(ExtensionManager* manager, QObject* parent = nullptr);
    ~CameraReachabilityMonitor() override;

    // Starts watching and asks about the service; later calls only check again.
    void start();
    bool isStarted() const { return started_; }
    // Gathers the facts now and updates the note.
    void check();

    // How often the cheap re-check runs (reachability::kCheckIntervalMs); tests that want the file
    // watch alone to act set it far out.
    void setRecheckInterval(int ms) { timer_.setInterval(ms); }

    const CameraReachabilityNote& note() const { return note_; }
    const CameraReachabilityFacts& facts() const { return facts_; }
    // Carries out the note's action: the manager's activate, or the camera help.
    void fix();

signals:
    void noteChanged();

private:
    void watch();
    void askAboutService();

    QPointer<ExtensionManager> manager_;
    QString sysfsRoot_;
    QString statusPath_;
    QFileSystemWatcher watcher_;
    QTimer timer_;
    QElapsedTimer lastServiceQuestion_;
    CameraReachabilityFacts facts_;
    CameraReachabilityNote note_;
    bool started_ = false;
    bool statusFileSeen_ = false;
};

}  // namespace ostrela
