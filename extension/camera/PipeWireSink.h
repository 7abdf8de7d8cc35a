#pragma once
// Publishes the frames as a PipeWire Video/Source node named "Ostrela", for systems without the
// v4l2loopback module and for sandboxed clients that reach cameras through PipeWire only.
#include "extension/camera/FrameSinks.h"

#include <memory>
#include <string>

namespace ostrela::camera {

class PipeWireSink : public FrameSink {
public:
    // Connects to the PipeWire daemon of this session and creates the node; `error()` says why not.
    explicit PipeWireSink(int fps);
    ~PipeWireSink() override;
    bool ok() const;
    const std::string& error() const { return error_; }
    // Frames go out only while a client takes them; without one they are dropped.
    bool write(const uint8_t* bgra) override;

    // False when this build has no PipeWire support.
    static bool available();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

}  // namespace ostrela::camera
