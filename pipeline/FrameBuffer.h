#pragma once
// The shared frame buffer: "frame.raw" (1280×720 BGRA8, premultiplied, top row first, no header)
// and "frame_state.bin" (16 bytes little-endian: u64 generation, f64 publication time in seconds
// since 1970), both in the container directory. The camera program reads them; every byte is fixed.
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
uint8_t* openFrameBuffer(bool create);

// Replaces "frame_state.bin" atomically with (generation, now). Errors are ignored.
void writeFrameState(uint64_t generation);
// Same with an explicit time, for tests and tools.
bool writeFrameState(const FrameState& state);

// Reads the state record; none when missing or not exactly 16 bytes.
std::optional<FrameState> readFrameState();

// Wall-clock seconds since 1970.
double wallClockSeconds();

}  // namespace ostrela
