#pragma once
// What the camera program tells the application about its output: the route it publishes on,
// whether call apps can pick the camera right now, and why not. The program replaces
// "camera_status.json" in the container atomically whenever that changes and removes it when it
// ends cleanly, so the application learns it from a file watch instead of polling devices.
#include <cstdint>
#include <optional>
#include <string>

namespace ostrela::camera {

inline constexpr const char kCameraStatusFileName[] = "camera_status.json";

struct CameraOutputStatus {
    std::string route;       // "loopback", "pipewire" or "y4m"
    std::string device;      // "/dev/videoN" on the loopback route
    bool reachable = false;  // call apps can list the camera now
    std::string message;     // one line saying why not, when not reachable
    int64_t pid = 0;         // the camera program
    double updated = 0;      // seconds since 1970
    bool operator==(const CameraOutputStatus&) const = default;
};

// Writes the status with this process's pid and the current time. False when it could not be written.
bool writeCameraStatus(CameraOutputStatus status);
// The status last written; none when absent or unreadable.
std::optional<CameraOutputStatus> readCameraStatus();
void removeCameraStatus();
// True when the status was written by a process that is still running.
bool cameraStatusIsLive(const CameraOutputStatus& status);

}  // namespace ostrela::camera
