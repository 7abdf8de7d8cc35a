#include "effects/NoirKernels.h"

#include "effects/GradeShortcuts.h"
#include "effects/NoirKernelsSimd.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrela::effects::noir {

using engine::Image;
using engine::IRect;
using engine::Rect;

namespace {

constexpr int kSteps = 4096;
constexpr int kFinishSteps = 1024;  // 16 KB of colours, kept in the first-level cache

// Opaque grey pixels need one value per step: the edge tone as a function of the Sobel magnitude
// (before its decode), the finish as one of the screened grey, in its square root. Baked for each
// frame's pass (about 5,000 values, a small fraction of the frame), so no table outlives its ops.
struct Tables {
    engine::PixelOpPtr edgeTone, finish;
    std::vector<float> edge, finishRgba;
};

std::shared_ptr<const Tables> bake(engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish) {
    auto t = std::make_shared<Tables>();
    t->edgeTone = edgeTone;
    t->finish = finish;
    t->edge.resize(kSteps + 2);
    std::vector<float> px(size_t(kSteps + 1) * 4);
    for (int i = 0; i <= kSteps; ++i) {
        const float d = engine::filters::decodeSRGBFast(float(i) / kSteps);  // the tone filters' own curve
        px[size_t(i) * 4 + 0] = px[size_t(i) * 4 + 1] = px[size_t(i) * 4 + 2] = d;
        px[size_t(i) * 4 + 3] = 1.0f;
    }
    if (edgeTone) edgeTone->apply(px.data(), kSteps + 1);
    for (int i = 0; i <= kSteps; ++i) t->edge[size_t(i)] = px[size_t(i) * 4];
    t->edge[kSteps + 1] = t->edge[kSteps];
    t->finishRgba.resize(size_t(kFinishSteps + 2) * 4);
    for (int i = 0; i <= kFinishSteps; ++i) {
        const float u = float(i) / kFinishSteps, v = u * u;
        px[size_t(i) * 4 + 0] = px[size_t(i) * 4 + 1] = px[size_t(i) * 4 + 2] = v;
        px[size_t(i) * 4 + 3] = 1.0f;
    }
    if (finish) finish->apply(px.data(), kFinishSteps + 1);
    std::copy(px.begin(), px.begin() + long(kFinishSteps + 1) * 4, t->finishRgba.begin());
    for (int c = 0; c < 4; ++c) t->finishRgba[size_t(kFinishSteps + 1) * 4 + c] = t->finishRgba[size_t(kFinishSteps) * 4 + c];
    return t;
}

class LinesNode final : public engine::Node {
public:
    // `in` is the grey picture; `extent` its own. Its edge pixels count as repeated outward (the
    // repeat is done here on the one-channel values rather than by a clamp copying the pixels).
    LinesNode(engine::NodePtr in, const Rect& extent, double intensity, engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish)
        : in_(std::move(in)), extent_(extent), px_(engine::pixelBounds(extent)), k_(float(intensity) / 8.0f),
          edgeTone_(std::move(edgeTone)), finish_(std::move(finish)), tables_(bake(edgeTone_, finish_)) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.grown(1, 1).intersected(px_); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect sr = r.grown(1, 1);
        const IRect cr = sr.intersected(px_);
        if (cr.isEmpty()) {
            std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
            return;
        }
        const float* pulled = ctx.pull(*in_, cr);
        // The footprint's encoded grey, edge values repeated outward; the tail is padded.
        const size_t stride = size_t(sr.w);
        float* enc = ctx.alloc(stride * sr.h + 4);
        const int left = cr.x - sr.x, right = sr.maxX() - cr.maxX();
        for (int y = cr.y; y < cr.maxY(); ++y) {
            float* row = enc + size_t(y - sr.y) * stride;
            kernels::encodeGrey(pulled + size_t(y - cr.y) * cr.w * 4, cr.w, row + left);
            for (int x = 0; x < left; ++x) row[x] = row[left];
            for (int x = 0; x < right; ++x) row[left + cr.w + x] = row[left + cr.w - 1];
        }
        for (int y = sr.y; y < cr.y; ++y) std::memcpy(enc + size_t(y - sr.y) * stride, enc + size_t(cr.y - sr.y) * stride, stride * sizeof(float));
        for (int y = cr.maxY(); y < sr.maxY(); ++y)
            std::memcpy(enc + size_t(y - sr.y) * stride, enc + size_t(cr.maxY() - 1 - sr.y) * stride, stride * sizeof(float));
        // The picture under the tile itself, at its own pixels where the tile lies inside it.
        const float* src = pulled;
        IRect srcRect = cr;
        if (!cr.contains(r)) {
            float* c = ctx.allocPixels(r);
            for (int j = 0; j < r.h; ++j) {
                const int y = std::clamp(r.y + j, cr.y, cr.maxY() - 1);
                for (int i = 0; i < r.w; ++i) {
                    const int x = std::clamp(r.x + i, cr.x, cr.maxX() - 1);
                    std::memcpy(c + (size_t(j) * r.w + i) * 4, pulled + (size_t(y - cr.y) * cr.w + (x - cr.x)) * 4, 4 * sizeof(float));
                }
            }
            src = c;
            srcRect = r;
        }
        float* mag = ctx.alloc(size_t(r.w) + 4);
        for (int j = 0; j < r.h; ++j) {
            const float* m0 = enc + size_t(j) * stride;  // row below
            const float* m1 = m0 + stride;
            const float* m2 = m1 + stride;  // row above
            kernels::sobelRow(m0, m1, m2, r.w, k_, mag);
            float* o = out + size_t(j) * r.w * 4;
            const float* centre = src + (size_t(r.y + j - srcRect.y) * srcRect.w + (r.x - srcRect.x)) * 4;
            bool opaque = true;
            for (int x2 = 0; x2 < r.w && opaque; ++x2) opaque = centre[4 * x2 + 3] >= 1.0f;
            if (opaque) {
                kernels::finishOpaqueRow(mag, centre, r.w, tables_->edge.data(), kSteps, tables_->finishRgba.data(), kFinishSteps, o);
                continue;
            }
            for (int x2 = 0; x2 < r.w; ++x2) mag[x2] = engine::filters::decodeSRGBFast(mag[x2]);
            for (int x2 = 0; x2 < r.w; ++x2) {
                const float a = std::clamp(centre[4 * x2 + 3], 0.0f, 1.0f);
                const float e = mag[x2] * a;
                o[4 * x2 + 0] = o[4 * x2 + 1] = o[4 * x2 + 2] = e;
                o[4 * x2 + 3] = a;
            }
            if (edgeTone_) edgeTone_->apply(o, r.w);
            // Screened over the picture itself.
            for (int c = 0; c < 4 * r.w; ++c) o[c] = (o[c] + centre[c]) - o[c] * centre[c];
            if (finish_) finish_->apply(o, r.w);
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    engine::NodePtr in_;
    Rect extent_;
    IRect px_;
    float k_;
    engine::PixelOpPtr edgeTone_, finish_;
    std::shared_ptr<const Tables> tables_;
};

// Screen of the scaled glow over the picture, the vignette's darkening and opaque alphas made
// one again, in one pass that reads the picture from its band cache without copying it.
class GlowFinishNode final : public engine::Node {
public:
    GlowFinishNode(engine::NodePtr pic, engine::NodePtr glow, const Rect& e, float glowScale, double vignette, double radius)
        : pic_(std::move(pic)), glow_(std::move(glow)), extent_(e), px_(engine::pixelBounds(e)), scale_(glowScale) {
        cx_ = e.x + 0.5 * e.w;
        cy_ = e.y + 0.5 * e.h;
        const double R = 0.5 * std::hypot(e.w, e.h) * std::max(std::abs(radius), 1e-6);
        k_ = float(std::abs(vignette) / (R * R));
        darken_ = vignette >= 0;
    }
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 2; }
    const engine::Node* input(int i) const override { return i == 0 ? pic_.get() : glow_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.intersected(px_); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect in = r.intersected(px_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        const float* g = ctx.pull(*glow_, in);
        float* dx2 = ctx.alloc(size_t(in.w));
        for (int i = 0; i < in.w; ++i) {
            const float dx = float(in.x + i + 0.5 - cx_);
            dx2[i] = dx * dx;
        }
        engine::cachedRows(*pic_, ctx, in, [&](const IRect& part, const float* p, size_t stride) {
            for (int y = part.y; y < part.maxY(); ++y) {
                const float* bp = p + size_t(y - part.y) * stride * 4;
                const float* gp = g + (size_t(y - in.y) * in.w + (part.x - in.x)) * 4;
                float* op = out + (size_t(y - r.y) * r.w + (part.x - r.x)) * 4;
                const float dy = float(y + 0.5 - cy_);
                const float dy2 = dy * dy;
                const float* dxp = dx2 + (part.x - in.x);
                kernels::glowFinishRow(gp, bp, part.w, scale_, k_, dxp, dy2, darken_, op);
            }
        });
    }

private:
    engine::NodePtr pic_, glow_;
    Rect extent_;
    IRect px_;
    float scale_;
    double cx_, cy_;
    float k_;
    bool darken_;
};

}  // namespace

Image linesOverGrey(const Image& grey, double intensity, engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish) {
    if (grey.isNull()) return grey;
    const Rect e = grey.extent();
    if (e.isInfinite() || e.isEmpty()) return grey;
    return Image(std::make_shared<LinesNode>(grey.node(), e, intensity, std::move(edgeTone), std::move(finish)));
}

Image bloomAndVignette(const Image& picture, double radius, double intensity, double vignette, double vignetteRadius) {
    if (picture.isNull()) return picture;
    const Rect e = picture.extent();
    if (e.isInfinite() || e.isEmpty() || !(radius > 0.0) || !(intensity > 0.0)) return picture;
    // The glow exactly as the bloom filter forms it.
    const Image src = engine::clampedToExtent(picture);
    const Image glow = src.softBlur(radius).cropped(e);
    return Image(std::make_shared<GlowFinishNode>(picture.node(), glow.node(), e, float(intensity), vignette, vignetteRadius));
}

}  // namespace ostrela::effects::noir
