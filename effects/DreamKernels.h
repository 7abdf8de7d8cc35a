#pragma once
// Dream Sequence's lights in one pass.
#include "pipeline/engine/Image.h"

#include <array>
#include <vector>

namespace ostrela::effects::dream {

// A radial light as filters::radialGradient draws it (colours premultiplied linear), with a
// transparent outer colour so nothing beyond radius r1 is touched.
struct Light {
    double cx, cy, r0, r1;
    std::array<float, 4> inner, outer;
};
// `under` with each light screened over it in one pass; each light only over its bounding square.
engine::Image screenLights(const engine::Image& under, std::vector<Light> lights, const engine::Rect& extent);

}  // namespace ostrela::effects::dream
