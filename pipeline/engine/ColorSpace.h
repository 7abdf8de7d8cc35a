#pragma once
// Conversions between 8-bit premultiplied sRGB (BGRA in memory) and the engine's working space,
// linear premultiplied float RGBA. Both directions use tables; an opaque 8-bit value survives a
// decode and encode unchanged.
#include <cstdint>

namespace ostrela::engine::color {

double srgbToLinear(double v);
double linearToSRGB(double v);

// Decodes n BGRA8 premultiplied pixels into RGBA linear premultiplied floats.
void decodeRow(const uint8_t* bgra, int n, float* rgba);
// Encodes n RGBA linear premultiplied floats into BGRA8 premultiplied (rounded, clamped).
void encodeRow(const float* rgba, int n, uint8_t* bgra);

// The 8-bit code of one linear component (0…1, clamped).
uint8_t encodeComponent(float linear);
float decodeComponent(uint8_t code);

}  // namespace ostrela::engine::color
