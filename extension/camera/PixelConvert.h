#pragma once
// Conversions from the shared buffer's BGRA to the formats video-call clients take from a camera.
// BT.601 limited range, the convention of webcams and of YUV4MPEG2 readers.
#include <cstdint>

namespace ostrela::camera {

// YUYV 4:2:2 packed, 2 bytes per pixel.
void bgraToYuyv(const uint8_t* bgra, int bgraStride, uint8_t* yuyv, int yuyvStride, int width, int height);
// I420 planar: Y (width×height), then U and V (each (width/2)×(height/2)), contiguous in `out`.
void bgraToI420(const uint8_t* bgra, int bgraStride, uint8_t* out, int width, int height);

inline constexpr int i420Size(int width, int height) { return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2); }

}  // namespace ostrela::camera
