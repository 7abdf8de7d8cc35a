#include "effects/Kernels.h"

#include <cmath>

namespace ostrela::effects {

const char* const kOldTVWaveSource =
    "kernel vec2 oldTVWave(float amplitude, float frequency, float phase) {\n\tvec2 d = destCoord();\n\treturn "
    "vec2(d.x + amplitude * sin(d.y * frequency + phase), d.y);\n}";
const char* const kVHSWaveSource =
    "kernel vec2 vhsWave(float amp1, float freq1, float phase1, float amp2, float freq2, float phase2) {\n\tvec2 d "
    "= destCoord();\n\tfloat dx = amp1 * sin(d.y * freq1 + phase1) + amp2 * sin(d.y * freq2 + phase2);\n\treturn "
    "vec2(d.x + dx, d.y);\n}";
const char* const kThermalMapSource =
    "kernel vec4 thermalMap(__sample s) {\n\tfloat lum = dot(s.rgb, vec3(0.299, 0.587, 0.114));\n\tvec3 "
    "color;\n\tif (lum < 0.25) {\n\t\tcolor = mix(vec3(0.0, 0.0, 0.25), vec3(0.0, 0.1, 1.0), lum / 0.25);\n\t} "
    "else if (lum < 0.5) {\n\t\tcolor = mix(vec3(0.0, 0.1, 1.0), vec3(0.0, 1.0, 0.4), (lum - 0.25) / "
    "0.25);\n\t} else if (lum < 0.75) {\n\t\tcolor = mix(vec3(0.0, 1.0, 0.4), vec3(1.0, 0.95, 0.0), (lum - 0.5) "
    "/ 0.25);\n\t} else {\n\t\tcolor = mix(vec3(1.0, 0.95, 0.0), vec3(1.0, 0.05, 0.0), (lum - 0.75) / "
    "0.25);\n\t}\n\treturn vec4(color, s.a);\n}";
const char* const kDreamRippleSource =
    "kernel vec2 dreamRipple(float amplitude, float time) {\n\tvec2 d = destCoord();\n\tfloat dx = amplitude * "
    "sin(d.y * 0.015 + time * 0.6);\n\tfloat dy = amplitude * sin(d.x * 0.013 + time * 0.5);\n\treturn vec2(d.x "
    "+ dx, d.y + dy);\n}";

Vec2 OldTVWaveKernel::map(Vec2 d) const { return {d.x + amplitude_ * std::sin(d.y * frequency_ + phase_), d.y}; }

void OldTVWaveKernel::mapRow(int x0, int y, int n, float* sx, float* sy) const {
    const float dy = float(y) + 0.5f;
    const float dx = amplitude_ * std::sin(dy * frequency_ + phase_);  // constant along the row
    for (int i = 0; i < n; ++i) {
        sx[i] = (float(x0 + i) + 0.5f) + dx;
        sy[i] = dy;
    }
}

Vec2 VHSWaveKernel::map(Vec2 d) const {
    float dx = a1_ * std::sin(d.y * f1_ + p1_) + a2_ * std::sin(d.y * f2_ + p2_);
    return {d.x + dx, d.y};
}

void VHSWaveKernel::mapRow(int x0, int y, int n, float* sx, float* sy) const {
    const float dy = float(y) + 0.5f;
    const float dx = a1_ * std::sin(dy * f1_ + p1_) + a2_ * std::sin(dy * f2_ + p2_);
    for (int i = 0; i < n; ++i) {
        sx[i] = (float(x0 + i) + 0.5f) + dx;
        sy[i] = dy;
    }
}

Vec2 DreamRippleKernel::map(Vec2 d) const {
    float dx = amplitude_ * std::sin(d.y * 0.015f + time_ * 0.6f);
    float dy = amplitude_ * std::sin(d.x * 0.013f + time_ * 0.5f);
    return {d.x + dx, d.y + dy};
}

void DreamRippleKernel::mapRow(int x0, int y, int n, float* sx, float* sy) const {
    const float py = float(y) + 0.5f;
    const float dx = amplitude_ * std::sin(py * 0.015f + time_ * 0.6f);
    for (int i = 0; i < n; ++i) {
        const float px = float(x0 + i) + 0.5f;
        sx[i] = px + dx;
        sy[i] = py + amplitude_ * std::sin(px * 0.013f + time_ * 0.5f);
    }
}

engine::Rect DreamRippleKernel::roi(const engine::Rect& dest) const {
    double m = std::ceil(std::abs(double(amplitude_)));
    return dest.insetBy(-m, -m);
}

namespace {
inline float mixf(float a, float b, float t) { return a + (b - a) * t; }
}  // namespace

void thermalPalette(float lum, float* rgb) {
    struct C { float r, g, b; };
    auto mix = [](C a, C b, float t) { return C{mixf(a.r, b.r, t), mixf(a.g, b.g, t), mixf(a.b, b.b, t)}; };
    C color;
    if (lum < 0.25f)
        color = mix({0.0f, 0.0f, 0.25f}, {0.0f, 0.1f, 1.0f}, lum / 0.25f);
    else if (lum < 0.5f)
        color = mix({0.0f, 0.1f, 1.0f}, {0.0f, 1.0f, 0.4f}, (lum - 0.25f) / 0.25f);
    else if (lum < 0.75f)
        color = mix({0.0f, 1.0f, 0.4f}, {1.0f, 0.95f, 0.0f}, (lum - 0.5f) / 0.25f);
    else
        color = mix({1.0f, 0.95f, 0.0f}, {1.0f, 0.05f, 0.0f}, (lum - 0.75f) / 0.25f);
    rgb[0] = color.r;
    rgb[1] = color.g;
    rgb[2] = color.b;
}

Vec4 thermalMap(Vec4 s) {
    float rgb[3];
    thermalPalette(s.r * 0.299f + s.g * 0.587f + s.b * 0.114f, rgb);
    return {rgb[0], rgb[1], rgb[2], s.a};
}

engine::Image applyWarp(const engine::Image& image, engine::WarpKernelPtr kernel) {
    if (image.isNull() || !kernel) return image;
    return image.clampedToExtent().warped(std::move(kernel), image.extent());
}

}  // namespace ostrela::effects
