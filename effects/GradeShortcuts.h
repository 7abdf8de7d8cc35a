#pragma once
// Speed shortcuts for the colour-grade looks. Each gives the pixels of a chain of standard filters
// (up to rounding, measured in bench/effects_grades_bench.cpp) at a fraction of its cost.
#include "pipeline/engine/Image.h"

#include "pipeline/engine/Renderer.h"

#include <array>
#include <functional>
#include <vector>

namespace ostrela::effects::shortcuts {

using Chain = engine::Image (*)(const engine::Image&);

// A per-pixel chain whose first step is colour controls, followed by per-channel steps only,
// baked over a ramp of greys. (Chains that start at saturation 0 need none of this: the engine
// reads those over camera pixels through a table of its own.)
struct LumaTable {
    std::vector<float> rgba;  // 1025 entries, the last repeated for the interpolation
};
LumaTable bakeLumaTable(Chain chain);
// chain(image) through the table when the image is plain 8-bit pixels (behind whole-pixel moves
// and crops); otherwise chain(image) itself. `saturation` is that of the chain's first step.
engine::Image lumaChain(const engine::Image& image, const LumaTable& table, Chain chain, float saturation);

// A tone step on float pixels that works per channel (perChannel) or sees a grey picture (red
// picks the entry), baked over linear values evenly spaced in their square root.
engine::PixelOpPtr rampTableOp(Chain chain, bool perChannel);

// `ops` applied to every pixel but those equal to `common`, which get its precomputed result.
engine::PixelOpPtr skipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common);

// Gaussian of `sigma` over an image clamped to its extent, run on a half-resolution grid.
engine::Image blurOnHalfGrid(const engine::Image& clamped, double sigma);

}  // namespace ostrela::effects::shortcuts
