// The loopback writer's failure paths that need no v4l2loopback module; the module itself is
// exercised in the Debian guest (tests/guest).
#include "extension/camera/FrameSinks.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <string>

using namespace ostrela::camera;

TEST(LoopbackSink, AMissingDeviceIsNamedWithTheReason) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/video7";
    LoopbackSink sink(path, LoopbackFormat::yuyv, 30);
    EXPECT_FALSE(sink.ok());
    EXPECT_EQ(sink.error(), "cannot open " + path + ": No such file or directory");
    std::vector<uint8_t> frame(1280 * 720 * 4);
    EXPECT_FALSE(sink.write(frame.data()));
}

TEST(LoopbackSink, SomethingThatIsNoVideoDeviceIsTurnedAway) {
    LoopbackSink sink("/dev/null", LoopbackFormat::i420, 30);
    EXPECT_FALSE(sink.ok());
    EXPECT_EQ(sink.error(), "/dev/null is not a video device");
}

TEST(LoopbackDevices, FilesNamedLikeVideoNodesAreNotDevices) {
    QTemporaryDir dir;
    for (const char* name : {"video0", "video1", "videox", "video01"})
        std::ofstream(dir.path().toStdString() + "/" + name) << "Ostrela";
    EXPECT_TRUE(listVideoDevices(dir.path().toStdString()).empty());
    EXPECT_EQ(findOstrelaLoopbackDevice(dir.path().toStdString()), "");
}
