#pragma once
// Flame's row kernels for the embers, written once with Highway and dispatched to the best vector
// target (see pipeline/engine/SimdTargets.h). Pixels are linear premultiplied RGBA floats.
#include <cstddef>
#include <cstdint>

#include "pipeline/engine/Image.h"

namespace ostrela::effects::flamek {

// colorControls with saturation 1 on one unpremultiplied encoded channel: e' = contrast·e + bias.
struct Tone {
    float contrast, bias;
};

// The embers' tone on a channel: zero up to u0, `top` from u1, the tone's curve between.
struct EmberTone {
    float u0, u1, top;
    Tone tone;
};
// One toned row of the embers, planar (four planes `sw` apart, written from t on), from two moved
// noise rows h0, h1 (n interleaved pixels each) mixed by wy.
void emberToneRow(const float* h0, const float* h1, float wy, int n, const EmberTone& tone, float* t, size_t sw);
// The vertical pass of the embers' blur for one row: rows[k] are the planar rows k − R … k + R, w
// the R + 1 weights from the centre out; `floats` floats.
void emberBlurDown(const float* const* rows, const float* w, int R, size_t floats, float* v);
// The horizontal pass over the planar row V (planes `sw` apart, readable to 2R + 15 floats past
// n + R in each), the false colour (`ember` at alpha × luminance) and the fade k, for n output
// pixels at o.
void emberColourRow(const float* V, size_t sw, const float* w, int R, int n, const float* ember, float k, float* o);

}  // namespace ostrela::effects::flamek
