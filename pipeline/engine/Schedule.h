#pragma once
// What a look may ask of the renderer beyond its graph: a picture computed once per frame and
// then read like any other image, computed in bands, kept across frames, or two pictures made in
// one pass. Every look's graph gives the same pixels with or without these.
#include "pipeline/engine/Image.h"
#include "pipeline/engine/LargeBuffers.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace ostrela::engine {

// A picture evaluated once into linear float pixels and then read like any other image. Chains
// that sample one picture many times at different places (scaled copies, rotations, a stored
// frame read again next frame) use it so the picture is not re-evaluated for every reader.
// Renders with a renderer shared by every effect object (its own workers and buffer pool; one
// call at a time, callers from other threads wait). It keeps no picture of its own.
// tileRows: rows per tile (taller tiles for passes whose margins each tile evaluates again).
Image materialize(const Image& image, int tileRows = 64);
// The rows per tile materialize uses for a picture `height` rows high when asked for about
// `tileRows`: an even number, giving each worker the same number of tiles of nearly one height.
int balancedTileRows(int height, int tileRows);
bool isMaterialized(const Image& image);
// The same over `over`, a pixel rectangle holding the extent's pixels (the rest transparent), so
// a reader of a margin around the picture (a blur) reads it in place.
Image materializeOver(const Image& image, const IRect& over, int tileRows = 64);
// materializeOver with the margin a Gaussian blur of `sigma` reads around the picture moved by
// up to `move` pixels.
Image materializeForBlur(const Image& image, double sigma, int move);
// The same, with onTile(rect, pixels) called for each tile on the worker that made it, while its
// rows are still in cache (pixels bottom row first, rect.w a row): for results gathered beside.
using TileWatcher = std::function<void(const IRect& rect, const float* pixels)>;
Image materializeWatched(const Image& image, int tileRows, const TileWatcher& onTile);  // rows as given
// A buffer of `floats` from the stored pictures' pool (contents undefined), and a stored image
// over such a buffer (linear premultiplied RGBA of `bounds`, bottom row first).
std::shared_ptr<PixelStore> pooledPixels(size_t floats);
// Gives back the pool's buffers that no stored picture holds any more, and the tile scratch no
// thread is using (when a look is switched away, so a heavy look's buffers do not stay with a
// light one).
void releaseIdlePixels();
// Bytes of the pool's buffers, held by pictures or idle.
size_t pooledPixelBytes();
Image storedImage(std::shared_ptr<const PixelStore> pixels, const IRect& bounds, const Rect& extent);
// Bytes the pixels of a stored picture take (kept in halves or not); 0 for any other image.
size_t storedBytes(const Image& image);
// A picture kept at half precision, for a look that reads it again in later frames (its trails,
// its echo, a fixed grain): half the memory of floats, each value keeping 11 significant bits.
// Only the extent's pixels are kept; each row is widened to floats where it is read. A picture
// not yet stored is made in bands, never whole in floats. Under the plain chains the image is
// returned as it is.
Image keptInHalves(const Image& image);
// The same, in one tall tile per worker: for blurs of wide support, whose margins every tile
// evaluates again, this does the margin work once per worker instead of once per 64 rows.
Image materializeInBands(const Image& image);

// The pixels of a materialised image (linear premultiplied RGBA, bottom row first, bounds.w
// pixels a row); empty for any other image.
struct PixelView {
    const float* data = nullptr;
    IRect bounds;
    explicit operator bool() const { return data != nullptr; }
    // Pixel (x, y), or null outside the bounds.
    const float* at(int x, int y) const {
        if (x < bounds.x || y < bounds.y || x >= bounds.maxX() || y >= bounds.maxY()) return nullptr;
        return data + (size_t(y - bounds.y) * bounds.w + (x - bounds.x)) * 4;
    }
};
PixelView pixelsOf(const Image& image);

// For measuring what the shortcuts cost in fidelity: while set on a thread, the heavy looks that
// thread builds take their plain chains (no materialised pictures, fused nodes or band crops), as
// the looks are written down. Other threads keep theirs.
void setStraightforwardChains(bool on);
bool straightforwardChains();

// A soft layer (copies of a picture moved, scaled and blended together, as a zoom burst): made on
// the grid reduced by two (cell u the mean of pixels 2u and 2u + 1 each way, as the blur's grid)
// from its stored pictures reduced once, and expanded bilinearly as the blur expands its grid.
// Softens the layer's detail below two pixels. A layer whose graph holds anything but moves,
// scales, crops, blurs, clamps, per-pixel steps and blends over stored pictures or solid colours
// is returned as it is, as is every layer when the plain chains are asked for.
Image softLayer(const Image& layer);
// materialize, with the picture's half grid (the cells holding its pixels, transparent beyond it)
// gathered from each tile while its rows are in cache, for the soft layers that read the picture.
Image materializeWithHalfGrid(const Image& image, int tileRows = 64);
namespace detail {
// A stored picture's half grid kept beside it (null if none), and a stored picture given one.
NodePtr keptHalfGrid(const Node& node);
Image withHalfGrid(const Image& stored, const Image& grid);
}  // namespace detail

// An image moved by t and cropped to `extent`, sampled bilinearly straight from its pixels
// (transparent outside them), as Image::transformed samples, without copying the source region
// first. An image not yet materialised is first, over the pixels the move reads of it.
Image resampled(const Image& image, const Affine& t, const Rect& extent);

// The image's pixels kept in bands of rows, each computed once per frame by the first render
// thread that needs it; for pictures that several steps read at different rectangles.
Image computedOnce(const Image& image);
// Gives back the band buffers no frame is using (when a look is switched away).
void releaseIdleBands();

// A picture that is the same every frame (a fixed pattern a look moves about), kept from frame to
// frame in `store`: made in blocks of 128 × 128 pixels as frames first need them, each kept as
// the few pixels that differ from the block's common value where at most one in sixteen does
// (readers such as a blur then see sparse pixels), whole otherwise. One store per picture; a
// store given a different picture keeps the old one's pixels. Drop the store to let them go.
class KeptPattern;
std::shared_ptr<KeptPattern> keptPatternStore();
Image keptPattern(const Image& image, const std::shared_ptr<KeptPattern>& store);
// Bytes a store's blocks take.
size_t keptPatternBytes(const KeptPattern& store);
// A picture that is the same every frame and that a look scrolls over (noise it moves up): its
// pixels over `over`, the rectangle this frame reads, kept from frame to frame in `store`, so a
// frame makes only the rows that have scrolled in (on the renderer's workers, now). Read in place
// like a stored picture; transparent outside `over`. The columns asked for should stay the same
// (others start the store afresh). One store per picture: a store given another picture keeps
// the rows it holds. Drop the store to let them go.
class KeptRows;
std::shared_ptr<KeptRows> keptRowsStore();
Image keptRows(const Image& fixed, const IRect& over, const std::shared_ptr<KeptRows>& store);
// Bytes a store's rows take.
size_t keptRowsBytes(const KeptRows& store);
// The pixels of `node` over r, handed to f(part, pixels, stride in pixels) part by part: for a
// computedOnce picture straight from its bands (no copy), otherwise pulled in one part.
using CachedRowsFn = std::function<void(const IRect& part, const float* pixels, size_t stride)>;
void cachedRows(const Node& node, TileContext& ctx, const IRect& r, const CachedRowsFn& f);
// image.clampedToExtent(), for a computedOnce picture read from its bands.
Image clampedToExtent(const Image& image);

}  // namespace ostrela::engine
