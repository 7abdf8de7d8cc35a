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

class Reduce2Node final : public Node {
public:
    Reduce2Node(Image src, PixelView v, const IRect& grid, bool clampEdges)
        : src_(std::move(src)), v_(v), grid_(grid), clamp_(clampEdges) {}
    Rect extent() const override { return rectOf(grid_); }
    void render(TileContext&, const IRect& r, float* out) const override { reduceCells(v_, clamp_, r, out, size_t(r.w) * 4); }

private:
    Image src_;
    PixelView v_;
    IRect grid_;
    bool clamp_;
};

// The cells holding any pixel of b.
IRect cellsOf(const IRect& b) {
    if (b.isEmpty()) return {};
    const int x0 = int(std::floor(b.x / 2.0)), y0 = int(std::floor(b.y / 2.0));
    return {x0, y0, int(std::ceil(b.maxX() / 2.0)) - x0, int(std::ceil(b.maxY() / 2.0)) - y0};
}

// A rectangle of the picture as a rectangle of the grid: the cells holding any of its pixels.
Rect onGrid(const Rect& r) {
    if (r.isInfinite() || r.isEmpty()) return r;
    return rectOf(cellsOf(pixelBounds(r)));
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
        IRect sb;
        if (n->storedPixels(&sb)) {
            // Read by every copy of the layer: reduced once.
            const PixelView v{n->storedPixels(&sb), sb};
            const IRect cells = cellsOf(sb).intersected(pixelBounds(onGrid(n->extent())));
            if (cells.isEmpty()) return std::make_shared<SolidNode>(Color{});
            return materialize(Image(std::make_shared<Reduce2Node>(Image(), v, cells, false))).node();
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
    IRect roi(int, const IRect& d) const override {
        const BlurNode::Grid gx = BlurNode::gridRange(d.x, d.maxX(), 2), gy = BlurNode::gridRange(d.y, d.maxY(), 2);
        return {gx.u0, gy.u0, gx.u1 - gx.u0 + 1, gy.u1 - gy.u0 + 1};
    }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        const IRect g = roi(0, r);
        const float* low = ctx.pull(*grid_, g);
        const detail::GridExpansion expand(ctx, 2, g.x, g.w, r.x, r.w);
        for (int j = 0; j < r.h; ++j) {
            const double f = (r.y + j + 0.5) / 2 - 0.5, fl = std::floor(f);
            const float* l0 = low + size_t(int(fl) - g.y) * g.w * 4;
            expand.row(l0, l0 + size_t(g.w) * 4, float(f - fl), out + size_t(j) * r.w * 4);
        }
        detail::clearOutside(out, r, extent_);
    }

private:
    NodePtr grid_;
    Rect extent_;
};

}  // namespace

void reduceCells(const PixelView& v, bool clamp, const IRect& r, float* out, size_t stride) {
    const IRect b = v.bounds;
    auto rowAt = [&](int y) -> const float* {
        if (clamp) y = std::clamp(y, b.y, b.maxY() - 1);
        return y >= b.y && y < b.maxY() ? v.data + size_t(y - b.y) * b.w * 4 : nullptr;
    };
    auto tap = [&](const float* row, int x, int c) -> float {
        if (clamp) x = std::clamp(x, b.x, b.maxX() - 1);
        return row && x >= b.x && x < b.maxX() ? row[size_t(x - b.x) * 4 + c] : 0.0f;
    };
    // Grid columns whose two pixels both lie inside.
    const int in0 = std::clamp(int(std::ceil(b.x / 2.0)), r.x, r.maxX());
    const int in1 = std::clamp(int(std::floor((b.maxX() - 2) / 2.0)) + 1, in0, r.maxX());
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

Image reducedGrid(const Image& stored, const IRect& grid, bool clampEdges) {
    const PixelView v = pixelsOf(stored);
    if (!v || grid.isEmpty()) return {};
    return materialize(Image(std::make_shared<Reduce2Node>(stored, v, grid, clampEdges)));
}

Image softLayer(const Image& layer) {
    if (straightforwardChains() || layer.isNull()) return layer;
    const Rect e = layer.extent();
    if (e.isInfinite() || e.isEmpty()) return layer;
    const NodePtr grid = HalfGrid().of(layer.node().get());
    if (!grid) return layer;
    return Image(std::make_shared<ExpandNode>(grid, e));
}

}  // namespace ostrela::engine
