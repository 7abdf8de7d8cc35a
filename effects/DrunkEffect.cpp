#include "effects/DrunkEffect.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <xmmintrin.h>

namespace ostrela::effects {

using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;

// ---- Materialised pictures ----

namespace {

using Pixels = std::vector<float>;

// Pixels of a rectangle, linear premultiplied RGBA, bottom row first.
class BufferNode final : public engine::Node {
public:
    BufferNode(std::shared_ptr<const Pixels> pixels, const IRect& bounds, const Rect& extent)
        : pixels_(std::move(pixels)), bounds_(bounds), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext&, const IRect& r, float* out) const override {
        const IRect in = r.intersected(bounds_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        for (int j = 0; j < in.h; ++j) {
            const float* src = pixels_->data() + (size_t(in.y - bounds_.y + j) * bounds_.w + (in.x - bounds_.x)) * 4;
            std::memcpy(out + (size_t(in.y - r.y + j) * r.w + (in.x - r.x)) * 4, src, size_t(in.w) * 4 * sizeof(float));
        }
    }

private:
    std::shared_ptr<const Pixels> pixels_;
    IRect bounds_;
    Rect extent_;
};

// Renders graphs into float buffers with its own workers. Buffers no longer referenced by any
// image are reused, so steady state allocates nothing.
class Materializer {
public:
    Materializer() : pool_(threads()) {
        for (int i = 0; i < pool_.size(); ++i) arenas_.push_back(std::make_unique<engine::Arena>());
    }

    Image run(const Image& image) {
        const Rect e = image.extent();
        if (image.isNull() || e.isInfinite() || e.isEmpty()) return image;
        const IRect b = engine::pixelBounds(e);
        if (b.isEmpty()) return image;
        std::shared_ptr<Pixels> buf = take(size_t(b.w) * b.h * 4);
        findShared(image.node().get());
        const engine::Node& root = *image.node();
        const int rows = std::min(64, b.h), tiles = (b.h + rows - 1) / rows;
        float* dst = buf->data();
        pool_.run(tiles, [&](int task, int worker) {
            const int y0 = b.y + task * rows, h = std::min(rows, b.maxY() - y0);
            const unsigned csr = _mm_getcsr();
            _mm_setcsr(csr | 0x8040);  // denormals flushed, as in the frame renderer
            engine::TileContext ctx(*arenas_[size_t(worker)], &shared_);
            ctx.renderInto(root, {b.x, y0, b.w, h}, dst + size_t(y0 - b.y) * b.w * 4);
            ctx.endTile();
            _mm_setcsr(csr);
        });
        return Image(std::make_shared<BufferNode>(std::move(buf), b, e));
    }

private:
    static int threads() { return int(std::clamp(std::thread::hardware_concurrency(), 1u, 16u)); }

    std::shared_ptr<Pixels> take(size_t floats) {
        for (auto& p : free_)
            if (p.use_count() == 1 && p->size() == floats) return p;
        free_.erase(std::remove_if(free_.begin(), free_.end(), [](auto& p) { return p.use_count() == 1; }), free_.end());
        free_.push_back(std::make_shared<Pixels>(floats));
        return free_.back();
    }

    // Nodes with more than one consumer are kept per tile (the frame renderer's rule).
    void findShared(const engine::Node* root) {
        shared_.clear();
        seen_.clear();
        std::vector<const engine::Node*> stack{root};
        seen_.push_back({root, 1});
        while (!stack.empty()) {
            const engine::Node* n = stack.back();
            stack.pop_back();
            for (int i = 0; i < n->inputCount(); ++i) {
                const engine::Node* in = n->input(i);
                if (!in) continue;
                auto it = std::find_if(seen_.begin(), seen_.end(), [in](auto& p) { return p.first == in; });
                if (it != seen_.end()) {
                    if (++it->second == 2) shared_.push_back(in);
                    continue;
                }
                seen_.push_back({in, 1});
                stack.push_back(in);
            }
        }
    }

    engine::ThreadPool pool_;
    std::vector<std::unique_ptr<engine::Arena>> arenas_;
    std::vector<std::shared_ptr<Pixels>> free_;
    std::vector<const engine::Node*> shared_;
    std::vector<std::pair<const engine::Node*, int>> seen_;
};

Materializer& materializer() {
    static Materializer* m = new Materializer();  // kept for the life of the process
    return *m;
}

}  // namespace

Image materialize(const Image& image) { return materializer().run(image); }

bool isMaterialized(const Image& image) { return dynamic_cast<const BufferNode*>(image.node().get()) != nullptr; }

// ---- Drunk Mode ----

namespace drunk {

namespace {
std::array<Image, 3>& trailSlots() {
    static std::array<Image, 3> s;  // newest first; process-wide, never cleared
    return s;
}

Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}
}  // namespace

Image grade(const Image& image) {
    Image g = filters::colorControls(image, 0.75, 0.02, 0.88);
    return filters::colorMatrixWithBias(g, {1.1, 0, 0, 0}, {0, 1.0, 0, 0}, {0, 0, 0.85, 0}, {0, 0, 0, 1},
                                        {0.02, 0.01, -0.02, 0});
}

Shake shake(double t) {
    return {std::sin(9 * t) * 6 + std::sin(13.7 * t) * 4 + 16 * std::sin(0.5 * t),
            std::cos(8.3 * t) * 5 + std::sin(11.1 * t) * 3 + 12 * std::cos(0.6 * t),
            std::sin(0.7 * t) * 0.13962634015954636, 1.14 + std::sin(0.9 * t) * 0.02};
}

double blurSigma(double t) { return (std::sin(0.5 * t) * 0.5 + 0.5) * 3.5 + 0.8; }

engine::Affine shakeTransform(double t, double cx, double cy) {
    const Shake s = shake(t);
    const double c = std::cos(s.angle), n = std::sin(s.angle);
    return engine::Affine::translation(s.dx - cx, s.dy - cy)
        .then(engine::Affine::scale(s.zoom, s.zoom))
        .then(engine::Affine{c, n, -n, c, 0, 0})
        .then(engine::Affine::translation(cx, cy));
}

const std::array<Image, 3>& history() { return trailSlots(); }

int historyDepth() {
    return int(std::count_if(trailSlots().begin(), trailSlots().end(), [](const Image& i) { return !i.isNull(); }));
}

void resetHistoryForTesting() { trailSlots() = {}; }

}  // namespace drunk

Image renderDrunkMode(const Image& image, double t) {
    using namespace drunk;
    const Rect E = image.extent();
    const Image graded = grade(image);

    Image ghost = graded.gaussianBlur(5.0).translated(std::sin(1.6 * t) * 22, std::sin(1.1 * t) * 10).cropped(E);
    ghost = alphaScaled(ghost, 0.55);
    Image acc = ghost.composited(graded).cropped(E);

    auto& h = trailSlots();
    const double alphas[3] = {0.45, 0.3, 0.18};
    for (int i = 0; i < 3; ++i)
        if (!h[size_t(i)].isNull()) acc = alphaScaled(h[size_t(i)], alphas[i]).composited(acc);
    h[2] = h[1];
    h[1] = h[0];
    h[0] = graded;

    // The shake reads acc through a rotation, so every output tile would pull a much taller band
    // of it: evaluate acc once.
    acc = materialize(acc);
    const double cx = E.x + E.w / 2, cy = E.y + E.h / 2;
    Image out = acc.transformed(shakeTransform(t, cx, cy)).cropped(E);
    return out.gaussianBlur(blurSigma(t)).cropped(E);
}

}  // namespace ostrela::effects
