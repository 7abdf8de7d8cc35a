#pragma once
// Dream Sequence's glow, bloom and colour fringe (steps 5–7) as a few passes over stored
// pictures, with both blurs kept on the half-resolution grid the engine's blur uses for them.
#include "pipeline/engine/Image.h"

namespace ostrela::effects::dream {

// C from the stored graded picture G: the glow (σ 5.5, brightened, 32 % over G), the bloom
// (σ 6, screened at 45 %) and the fringe by `offset` pixels. The blurs' grids are reduced and
// blurred exactly as the engine's blur does it; the glow's brightening runs on the reduced grid
// before its bilinear expansion instead of after it (a smooth curve, so the two differ by far
// less than a level). The full-resolution glow, halo and bloomed picture are read inside the
// passes that use them and never stored. Null where G is not stored. Where `echo` (the previous
// frame's C) is stored, `withEcho` receives step 8 as well: echo at 16 % over C, made in the same
// pass; otherwise it is left empty.
engine::Image glowBloomFringe(const engine::Image& G, double offset, const engine::Rect& extent, const engine::Image& echo,
                              engine::Image& withEcho);

}  // namespace ostrela::effects::dream
