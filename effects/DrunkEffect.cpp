#include "effects/DrunkEffect.h"

#include "effects/DrunkKernels.h"
#include "pipeline/engine/Schedule.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace ostrela::effects {

using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;
using engine::materialize;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;

// ---- Drunk Mode ----

namespace drunk {

namespace {
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

}  // namespace drunk

namespace {

// Steps 3–5 in one pass: the ghost (already blurred, moved and cropped) at 55 % over the graded
// picture, then the trails over that, each read straight from its pixels.
class DrunkAccumulateNode final : public engine::Node {
public:
    struct Trail { Image image; PixelView view; float alpha; };
    DrunkAccumulateNode(Image graded, PixelView g, Image ghost, std::vector<Trail> trails, const Rect& extent)
        : graded_(std::move(graded)), g_(g), ghost_(std::move(ghost)), trails_(std::move(trails)), extent_(extent) {}
    // The ghost given as its blur and a move; the move's bilinear read is done in the pass for
    // tiles inside `crop`, the ghost's crop. The blur is exactly zero beyond its extent, so a move
    // that shifts that extent off an edge needs no other path.
    void setGhostSource(Image blurred, double tx, double ty, const Rect& crop) {
        blurred_ = std::move(blurred);
        // A blur of the graded picture reads its pixels in place where they cover its margin.
        blur_ = dynamic_cast<const engine::BlurNode*>(blurred_.node().get());
        if (blur_ && blur_->input(0) != graded_.node().get()) blur_ = nullptr;
        const double fx = std::floor(-tx), fy = std::floor(-ty);
        qx_ = int(fx), qy_ = int(fy);
        wx_ = float(-tx - fx), wy_ = float(-ty - fy);
        ghostInside_ = crop;
    }
    // Set when the pass is evaluated into a stored picture (not read back within the tile).
    void setStreaming(bool on) { streamOut_ = on; }
    Rect extent() const override { return extent_; }
    int inputCount() const override { return ghost_.isNull() ? 0 : 1; }
    const engine::Node* input(int) const override { return ghost_.node().get(); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        bool inside = g_.bounds.contains(r);
        for (const Trail& tr : trails_) inside = inside && tr.view.bounds.contains(r);
        const Rect rr{double(r.x), double(r.y), double(r.w), double(r.h)};
        const bool direct = !blurred_.isNull() && inside && ghostInside_.intersected(rr) == rr;
        const int n = int(trails_.size());
        float al[3] = {};
        for (int q = 0; q < n; ++q) al[q] = trails_[size_t(q)].alpha;
        auto trailRows = [&](int y, const float** tp) {
            for (int q = 0; q < n; ++q) tp[q] = trails_[size_t(q)].view.at(r.x, y);
        };
        if (direct) {
            // The blur over the tile's source (one more row and column for the bilinear read).
            const IRect sr{r.x + qx_, r.y + qy_, r.w + 1, r.h + 1};
            const float* B = nullptr;
            if (blur_) {
                const IRect br = blur_->roi(0, sr);
                if (g_.bounds.contains(br)) {
                    float* buf = ctx.allocPixels(sr);
                    blur_->renderFrom(ctx, sr, g_.at(br.x, br.y), size_t(g_.bounds.w) * 4, buf);
                    B = buf;
                }
            }
            if (!B) B = ctx.pull(*blurred_.node(), sr);
            for (int j = 0; j < r.h; ++j) {
                const float* tp[3] = {};
                trailRows(r.y + j, tp);
                const float* b0 = B + size_t(j) * sr.w * 4;
                // Straight to memory when the pass fills a stored picture: it is read back much
                // later, so fetching its lines first would only cost bandwidth.
                drunk::kernels::accumulateRow(g_.at(r.x, r.y + j), b0, b0 + size_t(sr.w) * 4, wx_, wy_, tp, al, n, streamOut_, r.w,
                                       out + size_t(j) * r.w * 4);
            }
            if (streamOut_) drunk::kernels::flushStreams();
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        const float* gh = ghost_.isNull() ? nullptr : ctx.pull(*ghost_.node(), r);
        if (inside) {
            // Every picture covers the tile: plain row pointers.
            for (int j = 0; j < r.h; ++j) {
                const float* tp[3] = {};
                trailRows(r.y + j, tp);
                drunk::kernels::accumulateRow(g_.at(r.x, r.y + j), gh ? gh + size_t(j) * r.w * 4 : nullptr, nullptr, 0, 0, tp, al, n,
                                       false, r.w, out + size_t(j) * r.w * 4);
            }
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        // Pixel by pixel where a picture misses part of the tile.
        auto over = [](float* acc, const float* f, float k) {
            const float keep = 1.0f - f[3] * k;
            for (int c = 0; c < 4; ++c) acc[c] = acc[c] * keep + f[c] * k;
        };
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            for (int i = 0; i < r.w; ++i) {
                const int x = r.x + i;
                const float* gp = g_.at(x, y);
                float* acc = o + 4 * i;
                for (int c = 0; c < 4; ++c) acc[c] = gp ? gp[c] : 0.0f;
                if (gh) over(acc, gh + (size_t(j) * r.w + i) * 4, 0.55f);
                for (const Trail& tr : trails_)
                    if (const float* tp = tr.view.at(x, y)) over(acc, tp, tr.alpha);
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    Image graded_;
    PixelView g_;
    Image ghost_;
    std::vector<Trail> trails_;
    Rect extent_;
    Image blurred_;
    const engine::BlurNode* blur_ = nullptr;
    bool streamOut_ = false;
    int qx_ = 0, qy_ = 0;
    float wx_ = 0, wy_ = 0;
    Rect ghostInside_;
};

}  // namespace

int DrunkMode::historyDepth() const {
    int n = 0;
    for (size_t i = 0; i < trails_.size(); ++i) n += !trails_[i].isNull() || !shelved_[i].isNull();
    return n;
}

size_t DrunkMode::historyBytes() const {
    size_t n = 0;
    for (size_t i = 0; i < trails_.size(); ++i) n += shelved_[i].bytes() + engine::storedBytes(trails_[i]);
    return n;
}

void DrunkMode::suspend() {
    for (size_t i = 0; i < trails_.size(); ++i)
        if (!trails_[i].isNull()) {
            shelved_[i] = engine::ShelvedPicture(trails_[i]);
            trails_[i] = Image();
        }
}

Image DrunkMode::render(const Image& image, const FrameContext& frame) {
    using namespace drunk;
    const double t = frame.t;
    for (size_t i = 0; i < trails_.size(); ++i)
        if (!shelved_[i].isNull()) {
            trails_[i] = shelved_[i].restore();
            shelved_[i] = engine::ShelvedPicture();
        }
    const Rect E = image.extent();
    // The graded picture is read by the ghost's blur, as the background and, over the next three
    // frames, as a trail: evaluate it once and keep its pixels, with the transparent margin the
    // ghost's blur reads around it (the ghost moves by 22 px at most), so that blur reads it in place.
    const Image graded = engine::materializeForBlur(grade(image), 5.0, 24);

    const double gx = std::sin(1.6 * t) * 22, gy = std::sin(1.1 * t) * 10;
    const Image blurred = graded.gaussianBlur(5.0);
    const Image moved = blurred.translated(gx, gy).cropped(E);
    auto& h = trails_;
    const double alphas[3] = {0.45, 0.3, 0.18};

    const PixelView gv = pixelsOf(graded);
    bool fused = bool(gv) && !straightforwardChains();
    std::vector<DrunkAccumulateNode::Trail> trails;
    Rect accExtent = E;
    for (int i = 0; i < 3 && fused; ++i) {
        if (h[size_t(i)].isNull()) continue;
        const PixelView v = pixelsOf(h[size_t(i)]);
        if (!v) fused = false;
        trails.push_back({h[size_t(i)], v, float(alphas[i])});
        accExtent = accExtent.united(h[size_t(i)].extent());
    }
    Image acc;
    if (fused) {
        // Alpha-only colour matrices scale premultiplied pixels by the alpha, so the ghost and
        // the trails are faded inside the pass.
        auto node = std::make_shared<DrunkAccumulateNode>(graded, gv, moved, std::move(trails), accExtent);
        if (!moved.isNull()) node->setGhostSource(blurred, gx, gy, E);
        node->setStreaming(true);  // materialised right below
        acc = Image(node);
    } else {
        const Image ghost = alphaScaled(moved, 0.55);
        acc = ghost.composited(graded).cropped(E);
        for (int i = 0; i < 3; ++i)
            if (!h[size_t(i)].isNull()) acc = alphaScaled(h[size_t(i)], alphas[i]).composited(acc);
    }
    h[2] = h[1];
    h[1] = h[0];
    h[0] = graded;

    // The shake reads acc through a rotation, so every output tile would pull a much taller band
    // of it: evaluate acc once and sample it straight from its pixels.
    acc = materialize(acc);
    const double cx = E.x + E.w / 2, cy = E.y + E.h / 2;
    const Image out = resampled(acc, shakeTransform(t, cx, cy), E);
    const Image result = out.gaussianBlur(blurSigma(t)).cropped(E);
    // A picture shaken wholly out of its frame (only possible for tiny ones) is a transparent
    // frame, still of the input's extent.
    if (result.extent().isEmpty() && !E.isEmpty()) return Image::solid(engine::Color{}).cropped(E);
    return result;
}

}  // namespace ostrela::effects
