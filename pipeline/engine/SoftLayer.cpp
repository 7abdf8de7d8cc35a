// Soft layers on the half grid: a graph of moves, scales, crops and per-pixel steps over stored
// pictures remade over the pictures reduced 2×2, then expanded bilinearly as the blur expands
// its grid. A quarter of the pixels for a layer whose detail the look softens anyway.
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace ostrela::engine {

namespace {

Rect rectOf(const IRect& r) { return {double(r.x), double(r.y), double(r.w), double(r.h)}; }

// The cells whose four pixels all lie in b.
IRect wholeCells(const IRect& b) {
    const int x0 = int(std::ceil(b.x / 2.0)), y0 = int(std::ceil(b.y / 2.0));
    return {x0, y0, std::max(0, int(std::floor((b.maxX() - 2) / 2.0)) + 1 - x0), std::max(0, int(std::floor((b.maxY() - 2) / 2.0)) + 1 - y0)};
}

// The cells the bilinear expansion of the pixels of p reads.
IRect expansionCells(const IRect& p) {
    const BlurNode::Grid gx = BlurNode::gridRange(p.x, p.maxX(), 2), gy = BlurNode::gridRange(p.y, p.maxY(), 2);
    return {gx.u0, gy.u0, gx.u1 - gx.u0 + 1, gy.u1 - gy.u0 + 1};
}

// Grid cells r of a stored picture averaged over 2×2 blocks (transparent beyond the picture),
// into out, rows `stride` floats apart.
void reduceCells(const PixelView& v, const IRect& r, float* out, size_t stride) {
    const IRect b = v.bounds;
    auto rowAt = [&](int y) -> const float* { return y >= b.y && y < b.maxY() ? v.data + size_t(y - b.y) * b.w * 4 : nullptr; };
    auto tap = [&](const float* row, int x, int c) -> float { return row && x >= b.x && x < b.maxX() ? row[size_t(x - b.x) * 4 + c] : 0.0f; };
    // Grid columns whose two pixels both lie inside.
    const IRect whole = wholeCells(b);
    const int in0 = std::clamp(whole.x, r.x, r.maxX()), in1 = std::clamp(whole.maxX(), in0, r.maxX());
    for (int j = 0; j < r.h; ++j) {
        const int y = r.y + j;
        const float* s0 = rowAt(2 * y);
        const float* s1 = rowAt(2 * y + 1);
        float* o = out + size_t(j) * stride;
        // ¼((s0[2u] + s1[2u]) + (s0[2u + 1] + s1[2u + 1])) over the inner columns, as the blur's
        // own 2× reduction; the edges pixel by pixel in the same order.
        if (s0 && s1 && in1 > in0)
            kernels::boxRow2(s0 + size_t(2 * in0 - b.x) * 4, s1 + size_t(2 * in0 - b.x) * 4, in1 - in0, o + size_t(in0 - r.x) * 4);
        for (int i = 0; i < r.w; ++i) {
            const int u = r.x + i;
            if (s0 && s1 && u >= in0 && u < in1) continue;
            for (int c = 0; c < 4; ++c)
                o[4 * i + c] = ((tap(s0, 2 * u, c) + tap(s1, 2 * u, c)) + (tap(s0, 2 * u + 1, c) + tap(s1, 2 * u + 1, c))) * 0.25f;
        }
    }
}

class Reduce2Node final : public Node {
public:
    Reduce2Node(PixelView v, const IRect& grid) : v_(v), grid_(grid) {}
    Rect extent() const override { return rectOf(grid_); }
    void render(TileContext&, const IRect& r, float* out) const override { reduceCells(v_, r, out, size_t(r.w) * 4); }

private:
    PixelView v_;  // read while the picture it lies in is alive: the grid is made at once
    IRect grid_;
};

// The cells holding any pixel of b.
IRect cellsOf(const IRect& b) {
    if (b.isEmpty()) return {};
    const int x0 = int(std::floor(b.x / 2.0)), y0 = int(std::floor(b.y / 2.0));
    return {x0, y0, int(std::ceil(b.maxX() / 2.0)) - x0, int(std::ceil(b.maxY() / 2.0)) - y0};
}

// A crop of the picture as a crop of the grid: the cells its pixels' expansions read, so the
// pixels along its edges mix what lies inside and beyond as they do before the crop.
Rect onGrid(const Rect& r) {
    if (r.isInfinite() || r.isEmpty()) return r;
    const IRect p = pixelBounds(r);
    return p.isEmpty() ? Rect{} : rectOf(expansionCells(p));
}

// The layer's graph on the grid; null where a node cannot be remade there.
class HalfGrid {
public:
    NodePtr of(const Node* n) {
        if (const auto it = done_.find(n); it != done_.end()) return it->second;
        NodePtr r = remade(n);
        done_.emplace(n, r);
        return r;
    }

private:
    NodePtr remade(const Node* n) {
        if (NodePtr kept = detail::keptHalfGrid(*n)) return kept;
        IRect sb;
        if (const float* stored = n->storedPixels(&sb)) {
            // Read by every copy of the layer: reduced once.
            const PixelView v{stored, sb};
            if (sb.isEmpty()) return std::make_shared<SolidNode>(Color{});
            return materialize(Image(std::make_shared<Reduce2Node>(v, cellsOf(sb)))).node();
        }
        if (const auto* b = dynamic_cast<const BlurNode*>(n)) {
            // Box reduction and expansion soften by about as much as the engine's own grid
            // blur reckons with: the rest of the spread is blurred on the grid.
            const NodePtr in = of(b->input(0));
            return in ? std::make_shared<BlurNode>(in, BlurNode::gridSigma(b->sigma(), 2)) : nullptr;
        }
        if (const auto* c = dynamic_cast<const ClampNode*>(n)) {
            const NodePtr in = of(c->input(0));
            return in ? std::make_shared<ClampNode>(in) : nullptr;
        }
        if (const auto* t = dynamic_cast<const TransformNode*>(n)) {
            const NodePtr in = of(t->input(0));
            // Grid point g is picture point 2g.
            return in ? std::make_shared<TransformNode>(in, Affine::scale(2, 2).then(t->transform()).then(Affine::scale(0.5, 0.5)))
                      : nullptr;
        }
        if (const auto* c = dynamic_cast<const CropNode*>(n)) {
            const NodePtr in = of(c->input(0));
            return in ? std::make_shared<CropNode>(in, onGrid(c->extent())) : nullptr;
        }
        std::vector<NodePtr> inputs;
        for (int i = 0; i < n->inputCount(); ++i) {
            inputs.push_back(of(n->input(i)));
            if (!inputs.back()) return nullptr;
        }
        return n->withInputs(inputs);
    }
    std::unordered_map<const Node*, NodePtr> done_;
};

// A grid expanded bilinearly onto the pixels of `extent`.
class ExpandNode final : public Node {
public:
    ExpandNode(NodePtr grid, const Rect& extent) : grid_(std::move(grid)), extent_(extent) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return grid_.get(); }
    IRect roi(int, const IRect& d) const override { return expansionCells(d); }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        // The stored grid is read where it lies when it holds every cell the rectangle reads.
        const IRect g = roi(0, r);
        IRect sb;
        const float* low = grid_->storedPixels(&sb);
        size_t stride = size_t(sb.w) * 4;
        if (low && sb.contains(g)) {
            low += (size_t(g.y - sb.y) * sb.w + (g.x - sb.x)) * 4;
        } else {
            low = ctx.pull(*grid_, g);
            stride = size_t(g.w) * 4;
        }
        const detail::GridExpansion expand(ctx, 2, g.x, g.w, r.x, r.w);
        for (int j = 0; j < r.h; ++j) {
            const double f = (r.y + j + 0.5) / 2 - 0.5, fl = std::floor(f);
            const float* l0 = low + size_t(int(fl) - g.y) * stride;
            expand.row(l0, l0 + stride, float(f - fl), out + size_t(j) * r.w * 4);
        }
        detail::clearOutside(out, r, extent_);
    }

private:
    NodePtr grid_;
    Rect extent_;
};

}  // namespace

Image softLayer(const Image& layer) {
    if (straightforwardChains() || layer.isNull()) return layer;
    const Rect e = layer.extent();
    if (e.isInfinite() || e.isEmpty()) return layer;
    const NodePtr grid = HalfGrid().of(layer.node().get());
    if (!grid) return layer;
    // Made once over the grid (its tiles' expansions overlap, and its blurs reach across tiles),
    // with a transparent cell about it so every expansion reads it in place.
    const Image once = materializeOver(Image(grid), pixelBounds(grid->extent()).grown(1, 1));
    return Image(std::make_shared<ExpandNode>(once.node(), e));
}

namespace {
// A picture's half grid gathered from its tiles as they are made: the cells whose four pixels
// lie in one tile come from it; the rest (the edges) are filled in when the picture is done.
// Idle when tiles cannot pair rows up: an odd first row or tile height.
class Gatherer {
public:
    Gatherer(const IRect& bounds, int tileRows) : bounds_(bounds), grid_(cellsOf(bounds)), inner_(wholeCells(bounds)) {
        active_ = !inner_.isEmpty() && tileRows % 2 == 0 && bounds.y % 2 == 0;
        if (active_) pixels_ = pooledPixels(size_t(grid_.w) * grid_.h * 4);
    }
    bool active() const { return active_; }
    TileWatcher watcher() {
        return [this](const IRect& tile, const float* px) {
            // Cells of this tile: both their rows inside it.
            const int v0 = std::max(inner_.y, int(std::ceil(tile.y / 2.0)));
            const int v1 = std::min(inner_.maxY(), int(std::floor((tile.maxY() - 2) / 2.0)) + 1);
            for (int v = v0; v < v1; ++v) {
                const float* s0 = px + (size_t(2 * v - tile.y) * tile.w + (2 * inner_.x - tile.x)) * 4;
                float* o = pixels_->data() + (size_t(v - grid_.y) * grid_.w + (inner_.x - grid_.x)) * 4;
                // The same sums in the same order as reduceCells.
                kernels::boxRow2(s0, s0 + size_t(tile.w) * 4, inner_.w, o);
            }
        };
    }
    Image finish(const PixelView& made) {
        if (!made || !(made.bounds == bounds_)) return {};
        float* d = pixels_->data();
        const size_t stride = size_t(grid_.w) * 4;
        auto fill = [&](const IRect& r) {
            if (r.w > 0 && r.h > 0) reduceCells(made, r, d + (size_t(r.y - grid_.y) * grid_.w + (r.x - grid_.x)) * 4, stride);
        };
        fill({grid_.x, grid_.y, grid_.w, inner_.y - grid_.y});
        fill({grid_.x, inner_.maxY(), grid_.w, grid_.maxY() - inner_.maxY()});
        fill({grid_.x, inner_.y, inner_.x - grid_.x, inner_.h});
        fill({inner_.maxX(), inner_.y, grid_.maxX() - inner_.maxX(), inner_.h});
        return storedImage(std::move(pixels_), grid_, rectOf(grid_));
    }

private:
    IRect bounds_, grid_, inner_;
    bool active_ = false;
    std::shared_ptr<PixelStore> pixels_;
};
}  // namespace

Image materializeWithHalfGrid(const Image& image, int tileRows) {
    const Rect e = image.extent();
    if (straightforwardChains() || image.isNull() || e.isInfinite() || e.isEmpty()) return materialize(image, tileRows);
    const int rows = balancedTileRows(pixelBounds(e).h, tileRows);
    Gatherer gather(pixelBounds(e), rows);
    if (!gather.active()) return materialize(image, rows);
    const Image made = materializeWatched(image, rows, gather.watcher());
    return detail::withHalfGrid(made, gather.finish(pixelsOf(made)));
}

}  // namespace ostrela::engine
