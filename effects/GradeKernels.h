#pragma once
// The colour-grade shortcuts' table reads, written once with Highway and dispatched to the best
// vector target (see pipeline/engine/SimdTargets.h).
#include <cstdint>

namespace ostrela::effects::grade {

// n premultiplied pixels in place through a table of `steps` + 1 RGBA entries indexed by the
// square root of the unpremultiplied value: red alone picks the entry, or (perChannel) each
// channel its own, where opaque pixels with every channel below `blackBelow` give black.
void rampTableRow(float* p, int n, const float* table, int steps, bool perChannel, float blackBelow);
// n pixels in place through a table of `steps` + 2 RGB entries indexed by luminance
// (0.299, 0.587, 0.114), alpha kept. Pixels whose luminance is outside 0…1 are left as they are:
// their indices go to `outside` (count returned).
int thermalTableRow(float* p, int n, const float* table, int steps, int* outside);

}  // namespace ostrela::effects::grade
