#include "extension/camera/FrameReader.h"

#include <cstring>

namespace ostrela::camera {

std::optional<FrameState> FrameReader::state() const { return readFrameState(); }

bool FrameReader::copyFrame(uint8_t* dst, const FrameState& announced) {
    if (!map_) map_ = openFrameBuffer(false);
    if (!map_ || !refreshFrameBuffer(map_)) return false;
    const uint64_t faults = frameBufferFaults(map_);
    std::memcpy(dst, map_, kFrameBytes);
    if (frameBufferFaults(map_) != faults) return false;
    const std::optional<FrameState> after = readFrameState();
    return after && *after == announced;
}

}  // namespace ostrela::camera
