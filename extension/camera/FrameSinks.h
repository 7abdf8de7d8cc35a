#pragma once
// Where the camera program sends its frames: a v4l2loopback output device (the "Ostrela" camera
// that call apps list) or a YUV4MPEG2 stream for checking the camera path without the module.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ostrela::camera {

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Takes one 1280×720 BGRA frame. False when the sink can no longer accept frames.
    virtual bool write(const uint8_t* bgra) = 0;
    // Whether call apps can pick the camera right now; empty when they can, else why not.
    virtual std::string unreachableReason() const { return {}; }
};

struct LoopbackDevice {
    std::string path;   // "/dev/videoN"
    std::string card;   // card label
    bool output = false;    // announces video output (no producer attached, or exclusive_caps off)
    bool capture = false;   // announces video capture (a producer is attached)
    bool loopback = false;  // driven by v4l2loopback
};

// Video devices with their card labels, in /dev/videoN order.
std::vector<LoopbackDevice> listVideoDevices(const std::string& devDir = "/dev");
// The device labelled exactly "Ostrela": the first that takes output, else a v4l2loopback one that
// announces no output right now (fed by another program, or left so by a producer that wrote
// without streaming), so that opening it says why. Empty when none is labelled "Ostrela".
std::string findOstrelaLoopbackDevice(const std::string& devDir = "/dev");

enum class LoopbackFormat { yuyv, i420 };

// Writes to a v4l2loopback device as a streaming producer: the output format is set and checked,
// streaming is started before the first frame and stopped on close, so the device announces a
// camera while we feed it and takes the next producer after we are gone.
class LoopbackSink : public FrameSink {
public:
    // Opens `device`, sets its output format and starts streaming; on failure `error()` says why.
    LoopbackSink(const std::string& device, LoopbackFormat format, int fps);
    ~LoopbackSink() override;
    LoopbackSink(const LoopbackSink&) = delete;
    LoopbackSink& operator=(const LoopbackSink&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    bool write(const uint8_t* bgra) override;

private:
    void fail(std::string message);

    int fd_ = -1;
    bool streaming_ = false;
    LoopbackFormat format_;
    std::string device_;
    std::vector<uint8_t> buffer_;  // exactly one frame
    std::string error_;
};

class Y4mSink : public FrameSink {
public:
    // "-" writes to standard output.
    Y4mSink(const std::string& path, int fps);
    ~Y4mSink() override;
    bool ok() const { return file_ != nullptr; }
    bool write(const uint8_t* bgra) override;

private:
    FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool headerWritten_ = false;
    int fps_;
    std::vector<uint8_t> buffer_;
};

// The still shown before the first frame and whenever the application stops publishing.
const std::vector<uint8_t>& idlePicture();

}  // namespace ostrela::camera
