#pragma once
// The shared frame buffer: "frame.raw" (1280×720 BGRA8, premultiplied, top row first, no header)
// and "frame_state.bin" (16 bytes little-endian: u64 generation, f64 publication time in seconds
// since 1970), both in the container directory. The camera program reads them; every byte is fixed.
#include "pipeline/FrameClock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrela {

inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 720;
inline constexpr int kFrameStride = kFrameWidth * 4;
inline constexpr size_t kFrameBytes = size_t(kFrameStride) * kFrameHeight;  // 3,686,400
inline constexpr size_t kFrameStateBytes = 16;
inline constexpr const char kFrameFileName[] = "frame.raw";
inline constexpr const char kFrameStateFileName[] = "frame_state.bin";

struct FrameState {
    uint64_t generation = 0;
    double timestamp = 0;  // seconds since 1970-01-01 00:00:00 UTC
    bool operator==(const FrameState&) const = default;
};

std::array<uint8_t, kFrameStateBytes> encodeFrameState(const FrameState& state);
FrameState decodeFrameState(const uint8_t* bytes);

// Maps "frame.raw". With create = true (the writer): opens or creates it with mode 0600, sets its
// length to kFrameBytes and maps it read-write shared. With create = false (the reader): opens an
// existing file read-only and maps it read-only. Null on any failure. The mapping is never unmapped.
//
// Another program may cut the file short or put a new one in its place while it is mapped. An
// access past the end of the file would raise SIGBUS; instead, the fault swaps anonymous memory in
// under the whole mapping (so the access completes, into memory nobody else sees) and is counted.
// refreshFrameBuffer then maps the file at the same address again.
uint8_t* openFrameBuffer(bool create);

// Maps the current "frame.raw" at `mapping` again when the file was replaced, resized or faulted.
// The writer's side also recreates a missing file and restores its length. True when `mapping`
// shows the file now; false when it cannot (its contents are then private until the next refresh).
bool refreshFrameBuffer(const uint8_t* mapping);

// How many faults the mapping has absorbed so far; a change across a copy means the copy is not whole.
uint64_t frameBufferFaults(const uint8_t* mapping);

// Replaces "frame_state.bin" atomically with (generation, now). Errors are ignored.
void writeFrameState(uint64_t generation);
// Same with an explicit time, for tests and tools.
bool writeFrameState(const FrameState& state);

// Reads the state record; none when missing or not exactly 16 bytes.
std::optional<FrameState> readFrameState();

}  // namespace ostrela
