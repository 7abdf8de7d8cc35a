#pragma once
// Video4Linux2 capture: devices are the capture-capable /dev/video* nodes, in device-number order.
// Linux has no camera prompt: a node the user may not open is the "denied" case.
#include "pipeline/capture/CaptureDevice.h"

#include <string>

namespace ostrela::capture {

// What probing one /dev/videoN node found.
struct V4L2NodeProbe {
    std::string path;
    int openErrno = 0;     // 0 when it opened
    bool capture = false;  // single-planar capture with streaming
    QString card;          // the driver's device name
};

// Authorized when some openable capture node is not our own virtual camera, or when no node was
// refused; denied when nodes were refused for lack of permission and nothing usable is left.
CaptureAuthorization authorizationFromProbes(const std::vector<V4L2NodeProbe>& probes);

// /dev/videoN paths under `devRoot`, sorted by N.
std::vector<std::string> listVideoNodes(const std::string& devRoot);

// A name for the node that survives unplugging and reboots: the udev by-id link when there is
// one, else USB vendor:product:serial from sysfs, else vendor:product with the USB port path,
// else the driver's bus info. Each variant ends with the node's interface index.
QString v4l2UniqueID(const std::string& devRoot, const std::string& sysRoot, const std::string& nodePath,
                     const QString& busInfo, const QString& card);

class V4L2Backend : public CaptureBackend {
public:
    explicit V4L2Backend(std::string devRoot = "/dev", std::string sysRoot = "/sys");

    CaptureAuthorization authorizationStatus() override;
    std::vector<CaptureDeviceInfo> discoverDevices() override;
    std::unique_ptr<CaptureStream> openDevice(const CaptureDeviceInfo& device, QString* errorDescription) override;

    // The formats a node offers that the converter understands, in the driver's order.
    static std::vector<CaptureFormat> enumerateFormats(int fd);

private:
    std::vector<V4L2NodeProbe> probeNodes();
    std::string devRoot_;
    std::string sysRoot_;
};

}  // namespace ostrela::capture
