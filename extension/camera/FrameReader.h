#pragma once
// The camera program's side of the shared frame buffer: attaches read-only, notices new
// generations, and copies frames without ever faulting when the writer recreates or shrinks
// "frame.raw" underneath it.
#include "pipeline/FrameBuffer.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ostrela::camera {

class FrameReader {
public:
    FrameReader();
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The current state record; none while "frame_state.bin" is missing or malformed.
    std::optional<FrameState> state() const;

    // Copies the current pixels into dst (kFrameBytes). Re-attaches when "frame.raw" was
    // replaced or resized. False when no complete buffer can be read right now.
    bool copyFrame(uint8_t* dst);

    bool attached() const { return map_ != nullptr; }

private:
    bool attachIfNeeded();
    void detach();

    const uint8_t* map_ = nullptr;
    uint64_t dev_ = 0, ino_ = 0;
};

}  // namespace ostrela::camera
