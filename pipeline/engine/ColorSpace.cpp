#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ostrela::engine::color {

double srgbToLinear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSRGB(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

namespace {
// 16-bit linear index: the step (1.5e-5) is far finer than the darkest sRGB code step (3e-4), so
// every opaque 8-bit value survives decode → encode exactly.
constexpr int kEncodeSize = 65536;

struct Tables {
    float decode[256];
    uint8_t encode[kEncodeSize];
    Tables() {
        for (int i = 0; i < 256; ++i) decode[i] = float(srgbToLinear(i / 255.0));
        for (int i = 0; i < kEncodeSize; ++i)
            encode[i] = uint8_t(std::lrint(linearToSRGB(double(i) / (kEncodeSize - 1)) * 255.0));
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

inline int encodeIndex(float v) {
    // Clamp first: NaN goes to 0 through the comparison order.
    float c = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    return int(c * float(kEncodeSize - 1) + 0.5f);
}
}  // namespace

uint8_t encodeComponent(float linear) { return tables().encode[encodeIndex(linear)]; }
float decodeComponent(uint8_t code) { return tables().decode[code]; }

void decodeRowScalar(const uint8_t* bgra, int n, float* rgba);

void decodeRow(const uint8_t* bgra, int n, float* rgba) {
    const Tables& t = tables();
    int i = 0;
    while (i < n) {
        i += kernels::decodeOpaqueRun(bgra + 4 * i, n - i, t.decode, rgba + 4 * i);
        if (i >= n) break;
        // A run that is not wholly opaque (or the row's tail): a few pixels through the full rule.
        const int k = std::min(16, n - i);
        decodeRowScalar(bgra + 4 * i, k, rgba + 4 * i);
        i += k;
    }
}

void decodeRowScalar(const uint8_t* bgra, int n, float* rgba) {
    const Tables& t = tables();
    for (int i = 0; i < n; ++i) {
        const uint8_t* p = bgra + 4 * i;
        float* o = rgba + 4 * i;
        unsigned a = p[3];
        if (a == 255) {
            o[0] = t.decode[p[2]];
            o[1] = t.decode[p[1]];
            o[2] = t.decode[p[0]];
            o[3] = 1.0f;
        } else if (a == 0) {
            o[0] = o[1] = o[2] = o[3] = 0.0f;
        } else {
            // Decode the unpremultiplied colour, then premultiply in linear light.
            float af = float(a) * (1.0f / 255.0f);
            auto un = [a](unsigned c) { return std::min(255u, (c * 255u + a / 2) / a); };
            o[0] = t.decode[un(p[2])] * af;
            o[1] = t.decode[un(p[1])] * af;
            o[2] = t.decode[un(p[0])] * af;
            o[3] = af;
        }
    }
}

void encodeRowTable(const float* rgba, int n, uint8_t* bgra);

namespace {
constexpr float kOpaqueAlpha = 254.5f / 255.0f;
}  // namespace

// Every pixel through the curve; translucent pixels are then redone by the table path, so each
// pixel's code depends on its own value only (tiles of any width agree).
void encodeRow(const float* rgba, int n, uint8_t* bgra) {
    if (!kernels::encodeOpaqueRow(rgba, n, bgra)) return;
    for (int k = 0; k < n; ++k)
        if (!(rgba[4 * k + 3] >= kOpaqueAlpha)) encodeRowTable(rgba + 4 * k, 1, bgra + 4 * k);
}

void encodeRowTable(const float* rgba, int n, uint8_t* bgra) {
    const Tables& t = tables();
    for (int i = 0; i < n; ++i) {
        const float* p = rgba + 4 * i;
        uint8_t* o = bgra + 4 * i;
        float a = p[3];
        if (a >= 1.0f) {
            o[0] = t.encode[encodeIndex(p[2])];
            o[1] = t.encode[encodeIndex(p[1])];
            o[2] = t.encode[encodeIndex(p[0])];
            o[3] = 255;
        } else if (!(a > 0.5f / 255.0f)) {
            o[0] = o[1] = o[2] = o[3] = 0;
        } else {
            unsigned a8 = unsigned(a * 255.0f + 0.5f);
            float inv = 1.0f / a;
            auto pre = [a8](unsigned c) { return uint8_t((c * a8 + 127u) / 255u); };
            o[0] = pre(t.encode[encodeIndex(p[2] * inv)]);
            o[1] = pre(t.encode[encodeIndex(p[1] * inv)]);
            o[2] = pre(t.encode[encodeIndex(p[0] * inv)]);
            o[3] = uint8_t(a8);
        }
    }
}

}  // namespace ostrela::engine::color
