#include "pipeline/capture/V4L2Backend.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

using namespace ostrela::capture;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p, const std::string& content = "") {
    fs::create_directories(p.parent_path());
    ostrela::test::writeFile(p.string(), content);
}

// A USB camera as sysfs shows it: class/video4linux/<node>/device → the interface directory,
// whose parent (the USB device, named after its port) carries the identity.
void fakeUsbNode(const fs::path& sys, const std::string& node, const std::string& port, const std::string& serial,
                 const std::string& index = "0") {
    fs::path usbDev = sys / "devices/pci0000:00/0000:00:14.0/usb1" / port;
    fs::path iface = usbDev / (port + ":1.0");
    fs::create_directories(iface);
    touch(usbDev / "idVendor", "046d\n");
    touch(usbDev / "idProduct", "0825\n");
    if (!serial.empty()) touch(usbDev / "serial", serial + "\n");
    fs::path classDir = sys / "class/video4linux" / node;
    fs::create_directories(classDir);
    touch(classDir / "index", index + "\n");
    fs::create_symlink(iface, classDir / "device");
}

}  // namespace

TEST(V4L2Discovery, NodesAreOrderedByNumber) {
    QTemporaryDir dir;
    fs::path dev = dir.path().toStdString();
    for (const char* n : {"video10", "video2", "video0", "videoX", "video", "vbi0", "video1a"}) touch(dev / n);
    auto nodes = listVideoNodes(dev.string());
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(fs::path(nodes[0]).filename(), "video0");
    EXPECT_EQ(fs::path(nodes[1]).filename(), "video2");
    EXPECT_EQ(fs::path(nodes[2]).filename(), "video10");
    EXPECT_TRUE(listVideoNodes(dev.string() + "/missing").empty());
}

TEST(V4L2Discovery, UnreadableNodesAreTheDeniedCase) {
    auto probe = [](int err, bool capture, const char* card) { return V4L2NodeProbe{"/dev/videoN", err, capture, card}; };
    EXPECT_EQ(authorizationFromProbes({}), CaptureAuthorization::authorized);
    EXPECT_EQ(authorizationFromProbes({probe(EACCES, false, "")}), CaptureAuthorization::denied);
    EXPECT_EQ(authorizationFromProbes({probe(EPERM, false, ""), probe(EACCES, false, "")}), CaptureAuthorization::denied);
    // Our own virtual camera being readable does not make the refused webcam usable.
    EXPECT_EQ(authorizationFromProbes({probe(0, true, "Ostrela"), probe(EACCES, false, "")}), CaptureAuthorization::denied);
    // Metadata nodes (not capture) do not count either.
    EXPECT_EQ(authorizationFromProbes({probe(0, false, "Webcam"), probe(EACCES, false, "")}), CaptureAuthorization::denied);
    EXPECT_EQ(authorizationFromProbes({probe(EACCES, false, ""), probe(0, true, "Webcam")}), CaptureAuthorization::authorized);
    // Busy or vanished nodes are not a permission problem.
    EXPECT_EQ(authorizationFromProbes({probe(EBUSY, false, ""), probe(ENOENT, false, "")}), CaptureAuthorization::authorized);
}

TEST(V4L2Discovery, UniqueIdSurvivesReplugging) {
    QTemporaryDir dir;
    fs::path root = dir.path().toStdString();
    fs::path dev = root / "dev", sys = root / "sys";
    touch(dev / "video0");
    touch(dev / "video4");
    touch(dev / "video6");
    touch(dev / "video8");

    // With a udev by-id link, that name is the identity.
    fs::create_directories(dev / "v4l/by-id");
    fs::create_symlink("../../video0", dev / "v4l/by-id/usb-046d_C270_HD_WEBCAM_2D4AA0-video-index0");
    EXPECT_EQ(v4l2UniqueID(dev, sys, (dev / "video0").string(), "usb-0000:00:14.0-1", "C270 HD WEBCAM"),
              "usb-046d_C270_HD_WEBCAM_2D4AA0-video-index0");

    // Without one: vendor, product and serial, wherever the camera is plugged in.
    fakeUsbNode(sys, "video4", "1-2", "2D4AA0");
    fakeUsbNode(sys, "video6", "3-1", "2D4AA0");
    QString a = v4l2UniqueID(dev, sys, (dev / "video4").string(), "usb-0000:00:14.0-2", "C270");
    QString b = v4l2UniqueID(dev, sys, (dev / "video6").string(), "usb-0000:00:14.0-7", "C270");
    EXPECT_EQ(a, "usb-046d:0825-2D4AA0-index0");
    EXPECT_EQ(a, b);

    // No serial: the port tells two identical cameras apart.
    fakeUsbNode(sys, "video8", "1-4.2", "", "1");
    EXPECT_EQ(v4l2UniqueID(dev, sys, (dev / "video8").string(), "usb-x", "C270"), "usb-046d:0825-port1-4.2-index1");

    // Not USB at all: the driver's bus info.
    EXPECT_EQ(v4l2UniqueID(dev, sys, (dev / "video10").string(), "platform:v4l2loopback-000", "Ostrela"),
              "v4l2-platform:v4l2loopback-000-Ostrela-index0");
}

TEST(V4L2Discovery, NodesThatAreNotDevicesAreSkipped) {
    QTemporaryDir dir;
    fs::path dev = dir.path().toStdString();
    touch(dev / "video0", "not a device");
    V4L2Backend backend(dev.string(), dev.string() + "/sys");
    EXPECT_TRUE(backend.discoverDevices().empty());
    EXPECT_EQ(backend.authorizationStatus(), CaptureAuthorization::authorized);
    QString error;
    EXPECT_EQ(backend.openDevice({"Cam", "id", QString::fromStdString((dev / "video0").string()), {}}, &error), nullptr);
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_EQ(backend.openDevice({"Cam", "id", QString::fromStdString((dev / "gone").string()), {}}, &error), nullptr);
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(ENOENT)));
}
