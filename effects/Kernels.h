#pragma once
// The four effect kernels, ported from their source texts to the engine: three warp kernels
// (destination pixel centre → source point) and one colour kernel. The formulas are evaluated in
// single precision, as the originals are.
#include "pipeline/engine/Image.h"

namespace ostrela::effects {

struct Vec2 { float x, y; };
struct Vec4 { float r, g, b, a; };

// Source texts of the kernels, kept verbatim: they define the formulas below.
extern const char* const kOldTVWaveSource;
extern const char* const kVHSWaveSource;
extern const char* const kThermalMapSource;
extern const char* const kDreamRippleSource;

// d.x + amplitude·sin(d.y·frequency + phase); reads 14 px beyond each side of the destination.
class OldTVWaveKernel final : public engine::WarpKernel {
public:
    static constexpr double kMargin = 14;
    OldTVWaveKernel(float amplitude, float frequency, float phase) : amplitude_(amplitude), frequency_(frequency), phase_(phase) {}
    Vec2 map(Vec2 d) const;
    void mapRow(int x0, int y, int n, float* sx, float* sy) const override;
    engine::Rect roi(const engine::Rect& dest) const override { return dest.insetBy(-kMargin, 0); }
    bool separable() const override { return true; }  // a row moves across by one distance

private:
    float amplitude_, frequency_, phase_;
};

// Two summed horizontal sines; reads 26 px beyond each side.
class VHSWaveKernel final : public engine::WarpKernel {
public:
    static constexpr double kMargin = 26;
    VHSWaveKernel(float amp1, float freq1, float phase1, float amp2, float freq2, float phase2)
        : a1_(amp1), f1_(freq1), p1_(phase1), a2_(amp2), f2_(freq2), p2_(phase2) {}
    Vec2 map(Vec2 d) const;
    void mapRow(int x0, int y, int n, float* sx, float* sy) const override;
    engine::Rect roi(const engine::Rect& dest) const override { return dest.insetBy(-kMargin, 0); }
    bool separable() const override { return true; }

private:
    float a1_, f1_, p1_, a2_, f2_, p2_;
};

// Two-axis ripple. Its source states no region of interest, so the destination rectangle grown
// by |amplitude| on every side is read (the largest displacement the formula can give).
class DreamRippleKernel final : public engine::WarpKernel {
public:
    DreamRippleKernel(float amplitude, float time) : amplitude_(amplitude), time_(time) {}
    Vec2 map(Vec2 d) const;
    void mapRow(int x0, int y, int n, float* sx, float* sy) const override;
    engine::Rect roi(const engine::Rect& dest) const override;
    bool separable() const override { return true; }

private:
    float amplitude_, time_;
};

// Luminance to the five-stop heat palette, alpha kept.
void thermalPalette(float lum, float* rgb);
Vec4 thermalMap(Vec4 s);
// The palette as a per-pixel step (the engine reads it from a table).
class ThermalMapOp final : public engine::LuminanceMapOp {
public:
    ThermalMapOp() : LuminanceMapOp({0.299f, 0.587f, 0.114f}) {}
    void colourAt(float lum, float* rgb) const override { thermalPalette(lum, rgb); }
};

// A warp applied as the effects apply it: to the image clamped to its extent, with the
// destination extent equal to the image's own.
engine::Image applyWarp(const engine::Image& image, engine::WarpKernelPtr kernel);

}  // namespace ostrela::effects
