#pragma once
// The camera program's side of the shared frame buffer: attaches read-only, and copies a frame
// only when it can tell the copy is whole.
#include "pipeline/FrameBuffer.h"

#include <cstdint>
#include <optional>

namespace ostrela::camera {

class FrameReader {
public:
    FrameReader() = default;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The current state record; none while "frame_state.bin" is missing or malformed.
    std::optional<FrameState> state() const;

    // Copies the pixels that `announced` stands for into dst (kFrameBytes). True only when the copy
    // is whole: "frame.raw" had its full size, nothing faulted, and the state record read after the
    // copy is still `announced` (the writer overwrites pixels in place, so a newer record means the
    // copy may mix two frames).
    bool copyFrame(uint8_t* dst, const FrameState& announced);

    bool attached() const { return map_ != nullptr; }

private:
    uint8_t* map_ = nullptr;  // never unmapped: refreshed in place when the file changes
};

}  // namespace ostrela::camera
