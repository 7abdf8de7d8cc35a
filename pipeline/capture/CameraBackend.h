#pragma once
// The capture service of the desktop program: the machine's V4L2 cameras, and a synthetic test
// pattern camera named "No Camera (Test Pattern)" whenever no physical camera is present, so the
// program can be tried and a show rehearsed on a machine without a webcam. Setting
// OSTRELA_SYNTHETIC_CAMERA=1 offers only the test pattern.
#include "pipeline/capture/CaptureDevice.h"

#include <memory>

namespace ostrela {

inline constexpr const char kSyntheticCameraName[] = "No Camera (Test Pattern)";
inline constexpr const char kSyntheticCameraID[] = "ostrela-test-pattern";

class DesktopCaptureBackend : public capture::CaptureBackend {
public:
    // Null `physical`: V4L2 on this machine.
    explicit DesktopCaptureBackend(std::shared_ptr<capture::CaptureBackend> physical = nullptr, bool syntheticOnly = false);
    ~DesktopCaptureBackend() override;

    static std::shared_ptr<DesktopCaptureBackend> createDefault();

    capture::CaptureAuthorization authorizationStatus() override;
    void requestAccess(std::function<void(bool)> completion) override;
    std::vector<capture::CaptureDeviceInfo> discoverDevices() override;
    std::unique_ptr<capture::CaptureStream> openDevice(const capture::CaptureDeviceInfo& device,
                                                       QString* errorDescription) override;

    // Whether the last discovery found no physical camera and offered the test pattern.
    bool usedSyntheticCamera() const { return usedSynthetic_; }

private:
    std::shared_ptr<capture::CaptureBackend> physical_;
    std::shared_ptr<capture::CaptureBackend> synthetic_;
    bool syntheticOnly_;
    std::atomic<bool> usedSynthetic_{false};
};

}  // namespace ostrela
