#include "pipeline/capture/CameraBackend.h"

#include "pipeline/capture/SyntheticCamera.h"
#include "pipeline/capture/V4L2Backend.h"

namespace ostrela {

using namespace capture;

namespace {
bool isPhysical(const CaptureDeviceInfo& d) { return d.localizedName != QLatin1String("Ostrela"); }
}  // namespace

DesktopCaptureBackend::DesktopCaptureBackend(std::shared_ptr<CaptureBackend> physical, bool syntheticOnly)
    : physical_(physical ? std::move(physical) : std::make_shared<V4L2Backend>()), syntheticOnly_(syntheticOnly) {
    SyntheticCameraSpec spec;
    spec.localizedName = QString::fromLatin1(kSyntheticCameraName);
    spec.uniqueID = QString::fromLatin1(kSyntheticCameraID);
    spec.formats = {{kPixelFormatYUYV, 1280, 720, 30}};
    synthetic_ = std::make_shared<SyntheticCaptureBackend>(std::vector<SyntheticCameraSpec>{spec});
}

DesktopCaptureBackend::~DesktopCaptureBackend() = default;

std::shared_ptr<DesktopCaptureBackend> DesktopCaptureBackend::createDefault() {
    return std::make_shared<DesktopCaptureBackend>(nullptr, qEnvironmentVariable("OSTRELA_SYNTHETIC_CAMERA") == QLatin1String("1"));
}

CaptureAuthorization DesktopCaptureBackend::authorizationStatus() {
    if (syntheticOnly_) return CaptureAuthorization::authorized;
    const CaptureAuthorization real = physical_->authorizationStatus();
    // Without access to any camera node the test pattern still works.
    return real == CaptureAuthorization::authorized ? real : (usedSynthetic_ ? CaptureAuthorization::authorized : real);
}

void DesktopCaptureBackend::requestAccess(std::function<void(bool)> completion) {
    physical_->requestAccess(std::move(completion));
}

std::vector<CaptureDeviceInfo> DesktopCaptureBackend::discoverDevices() {
    std::vector<CaptureDeviceInfo> all;
    bool anyPhysical = false;
    if (!syntheticOnly_) {
        all = physical_->discoverDevices();
        for (const auto& d : all) anyPhysical = anyPhysical || isPhysical(d);
    }
    usedSynthetic_ = !anyPhysical;
    if (!anyPhysical) {
        // Put the pattern first: the engine takes the first physical device unless one is chosen.
        auto synthetic = synthetic_->discoverDevices();
        all.insert(all.begin(), synthetic.begin(), synthetic.end());
    }
    return all;
}

std::unique_ptr<CaptureStream> DesktopCaptureBackend::openDevice(const CaptureDeviceInfo& device, QString* error) {
    if (device.uniqueID == QLatin1String(kSyntheticCameraID)) return synthetic_->openDevice(device, error);
    return physical_->openDevice(device, error);
}

}  // namespace ostrela
