#pragma once
// Dream Sequence's glow, bloom and colour fringe (steps 5–7) as a few passes over stored
// pictures, with both blurs kept on the half-resolution grid the engine's blur uses for them.
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Image.h"

#include <memory>
#include <vector>

namespace ostrela::effects::dream {

// C from the stored graded picture G: the glow (σ 5.5, brightened, 32 % over G), the bloom
// (σ 6, screened at 45 %) and the fringe by `offset` pixels. The blurs' grids are reduced and
// blurred exactly as the engine's blur does it; the glow's brightening runs on the reduced grid
// before its bilinear expansion instead of after it (a smooth curve, so the two differ by far
// less than a level). The full-resolution glow, halo and bloomed picture are read inside the
// passes that use them and never stored. Null where G is not stored. Where `echo` (the previous
// frame's C) is stored, `withEcho` receives step 8 as well: echo at 16 % over C, made in the same
// pass; otherwise it is left empty.
// `gridOfG`, when it is G's glow grid (see GridGatherer), is used instead of reducing G again.
// `onEchoTile`, when given, sees each tile of `withEcho` as it is made.
engine::Image glowBloomFringe(const engine::Image& G, double offset, const engine::Rect& extent, const engine::Image& echo,
                              engine::Image& withEcho, const engine::Image& gridOfG = {},
                              const engine::TileWatcher* onEchoTile = nullptr);

// The grid cells the glow reads for a picture of this extent (G transparent beyond it).
engine::IRect glowGrid(const engine::Rect& extent);

// The grid samples (inclusive bounds, as a rectangle) whose bilinear expansion covers the pixels of b.
engine::IRect expansionGrid(const engine::IRect& b);

// A picture's 2×2-reduced grid gathered while the picture is made: pass watcher() to its
// materialisation, then finish() with the made pixels. Cells wholly inside come from the tiles
// as they are made; the rest (the margin) is filled in finish(). Inactive (finish gives a null
// image) when the tiles' rows cannot pair up: an odd top edge or odd tile height.
class GridGatherer {
public:
    GridGatherer(const engine::IRect& bounds, const engine::IRect& grid, int tileRows, bool clampEdges);
    bool active() const { return active_; }
    engine::TileWatcher watcher();
    engine::Image finish(const engine::PixelView& made);

private:
    engine::IRect bounds_, grid_, inner_;
    bool clamp_;
    bool active_ = false;
    std::shared_ptr<engine::PixelStore> pixels_;
};

}  // namespace ostrela::effects::dream
