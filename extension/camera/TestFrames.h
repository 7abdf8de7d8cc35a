#pragma once
// Moving colour bars with a frame counter, drawn straight into a 1280×720 BGRA buffer.
#include <cstdint>

namespace ostrela::camera {

// The eight bar colours, left to right (opaque BGRA as 0xAARRGGBB).
inline constexpr uint32_t kTestBarColors[8] = {0xFFFFFFFF, 0xFFFFFF00, 0xFF00FFFF, 0xFF00FF00,
                                               0xFFFF00FF, 0xFFFF0000, 0xFF0000FF, 0xFF000000};

// Bars shifted left by `frame` × 8 pixels, a counter box in the top left reading `frame`.
void drawTestFrame(uint8_t* bgra, uint64_t frame);

}  // namespace ostrela::camera
