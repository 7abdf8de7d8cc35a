#pragma once
// Publishes the frames as a PipeWire Video/Source node named "Ostrela", for systems without the
// v4l2loopback module and for sandboxed clients (browsers through the camera portal) that reach
// cameras through PipeWire only.
#include "extension/camera/FrameSinks.h"

#include <memory>
#include <string>

namespace ostrela::camera {

class PipeWireSink : public FrameSink {
public:
    // Connects to the PipeWire daemon of this session and creates the node; `error()` says why not.
    // Once published, a lost daemon (restart, crash) is reconnected in the background and the node
    // published again under the same name.
    explicit PipeWireSink(int fps);
    ~PipeWireSink() override;
    // False when the first connection failed; a later loss keeps the sink usable.
    bool ok() const;
    const std::string& error() const { return error_; }
    // Frames go out only while a client takes them; without one, or while the daemon is away, they
    // are dropped. Never waits for the daemon.
    bool write(const uint8_t* bgra) override;

    // True while the node is published; false while reconnecting.
    bool connected() const;
    // One line for whoever shows the camera's state: "published", "streaming to a client",
    // "reconnecting to PipeWire (…)", or why the sink failed.
    std::string status() const;
    // Empty while clients can pick the camera, else one sentence for the user saying why not.
    std::string unreachableReason() const override;
    // How many times the node was published again after a lost connection.
    int reconnections() const;

    // False when this build has no PipeWire support.
    static bool available();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

}  // namespace ostrela::camera
