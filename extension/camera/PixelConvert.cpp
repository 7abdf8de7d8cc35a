#include "extension/camera/PixelConvert.h"

#include <libyuv/convert_from_argb.h>

namespace ostrela::camera {

// libyuv's "ARGB" is B, G, R, A in memory order: exactly the buffer's layout.
void bgraToYuyv(const uint8_t* bgra, int bgraStride, uint8_t* yuyv, int yuyvStride, int width, int height) {
    libyuv::ARGBToYUY2(bgra, bgraStride, yuyv, yuyvStride, width, height);
}

void bgraToI420(const uint8_t* bgra, int bgraStride, uint8_t* out, int width, int height) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    uint8_t* y = out;
    uint8_t* u = y + width * height;
    uint8_t* v = u + cw * ch;
    libyuv::ARGBToI420(bgra, bgraStride, y, width, u, cw, v, cw, width, height);
}

}  // namespace ostrela::camera
