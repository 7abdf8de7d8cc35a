#include "effects/ColorGradeEffects.h"

#include "effects/Effects.h"
#include "effects/GradeShortcuts.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"


#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;

namespace {

using Row = std::array<double, 4>;
constexpr Row kZeroRow{0, 0, 0, 0};
constexpr Row kIdR{1, 0, 0, 0}, kIdG{0, 1, 0, 0}, kIdB{0, 0, 1, 0}, kIdA{0, 0, 0, 1};

Image colorMatrix(const Image& in, const Row& r, const Row& g, const Row& b, const Row& a = kIdA) {
    return filters::colorMatrixWithBias(in, r, g, b, a, kZeroRow);
}

// The generator's colour channels taken as an opaque picture. Its fourth channel is an
// independent random value too; left as alpha, the tone step would divide by it and about half
// of all pixels would pass the flake threshold instead of the brightest few.
class OpaqueOp final : public engine::PixelOp {
public:
    void apply(float* p, int n) const override {
        for (int i = 0; i < n; ++i) p[4 * i + 3] = 1.0f;
    }
};

// The colour-free chains of the five looks, up to their first step that is not per pixel. Each
// starts by taking the colour out, so over camera pixels the engine reads it through a table of
// the luminance.
Image nightOpsTone(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, -0.05, 2.2), kIdR, kZeroRow, kZeroRow);
}
Image xrayTone(const Image& in) {
    Image out = filters::colorControls(in, 0.0, 0.0, 1.1);
    out = filters::colorInvert(out);
    out = filters::colorControls(out, 1.0, 0.03, 1.5);
    return filters::falseColor(out, Color::fromSRGB(0.01, 0.02, 0.07), Color::fromSRGB(0.78, 0.93, 1.0));
}
Image noirMono(const Image& in) { return filters::colorControls(in, 0.0, 0.02, 1.6); }
Image anaglyphLeft(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, 0.0, 1.1), kIdR, kZeroRow, kZeroRow);
}
Image anaglyphRight(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, 0.0, 1.1), kZeroRow, kIdG, kIdB);
}
Image cyberOpsGrade(const Image& in) {
    return filters::colorMonochrome(filters::colorControls(in, 0.0, -0.25, 1.1), Color::fromSRGB(0.05, 0.25, 0.08), 0.9);
}

// Snow's grade: colour controls at saturation 0.92, then a diagonal colour matrix.
Image snowGrade(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.92, 0.0, 1.0), {0.97, 0, 0, 0}, {0, 0.99, 0, 0}, {0, 0, 1.06, 0});
}

Image noirDarkEdges(const Image& edges) { return filters::colorControls(edges, 1.0, -0.4, 1.0); }
Image noirFalseColor(const Image& in) {
    return filters::falseColor(in, Color::fromSRGB(0.02, 0.02, 0.03), Color::fromSRGB(0.92, 0.93, 0.95));
}

}  // namespace

// Snow's shortcut (its flakes from cached specks) is left out on a thread that asked the engine
// for its plain chains:
// every frame then runs the filters literally, which the tests and benchmarks compare them with.
namespace {
bool shortcutsOn() { return !engine::straightforwardChains(); }
}  // namespace

// ---- Thermal, NightOps, X-Ray, Noir, 3D ----

Image renderThermal(const Image& image) {
    const Rect e = image.extent();
    // Blurred with its edge pixels repeated outward: blurring the bare picture would fade its
    // border to transparent and the palette would draw a bright outline around the frame.
    const Image clamped = image.clampedToExtent();
    const Image blurred = clamped.softBlur(2.5).cropped(e);
    // The heat palette is compiled into the program, so it is never missing and the fallback to
    // the untouched input never applies. It is a resource made once (its table with it).
    static const engine::PixelOpPtr palette = std::make_shared<ThermalMapOp>();
    const Image mapped = blurred.pixelOp(palette);
    return filters::vignette(mapped, 1.4, 1.5).cropped(e);
}

Image renderNightOps(const Image& image) {
    const Rect e = image.extent();
    // Colour controls (saturation 0, contrast 2.2, brightness −0.05), then only red kept.
    Image out = nightOpsTone(image);
    out = filters::vignette(out, 1.6, 1.3);
    return out.cropped(e);
}

Image renderXray(const Image& image) {
    const Rect e = image.extent();
    // Grey, invert, contrast, navy-to-ice false colour.
    Image out = xrayTone(image);
    out = filters::bloom(out, 3.0, 0.28);
    out = filters::vignette(out, 1.2, 1.5);
    return out.cropped(e);
}

Image renderNoir(const Image& image) {
    const Rect e = image.extent();
    const Image mono = noirMono(image);
    const Image edges = filters::edges(mono, 2.0);
    Image out = noirFalseColor(filters::screenBlend(noirDarkEdges(edges), mono));
    // The chain's pixels once per frame for the bloom's several readers.
    out = filters::bloom(engine::computedOnce(out), 4.0, 0.35);
    out = filters::vignette(out, 1.1, 1.6);
    return out.cropped(e);
}

Image renderAnaglyph3D(const Image& image) {
    const Rect e = image.extent();
    // Each eye is the grey picture (saturation 0, contrast 1.1) through its own colour matrix.
    const Image left = anaglyphLeft(image).translated(-10, 0);
    const Image right = anaglyphRight(image).translated(10, 0);
    return filters::screenBlend(left, right).cropped(e);
}

// ---- Snow ----

SnowOffsets snowOffsets(double t, double width) {
    return {std::sin(0.6 * t) * 0.01 * width, -std::fmod(95.0 * t, 10000.0),
            std::sin(0.35 * t + 5531.0) * 0.035 * width, -(std::fmod(45.0 * t, 10000.0) + 5531.0)};
}

namespace {

// One flake layer's threshold: the noise read opaque, colour controls (contrast, brightness),
// then stretched so the brightest noise value becomes white. The threshold leaves the brightest
// values only a few thousandths above black (9 − 8.9946 at most), which would not show.
Image flakeTone(const Image& noise, double contrast, double brightness) {
    Image layer = noise.pixelOp(std::make_shared<OpaqueOp>());
    layer = filters::colorControls(layer, 1.0, brightness, contrast);
    const double gain = 1.0 / (0.5 * contrast + 0.5 + brightness);
    return filters::colorControls(layer, 1.0, 0.5 * gain - 0.5, gain);
}

// The layer as the filters compute it: noise moved, cropped to E, thresholded, blurred, cropped.
Image flakeLayerLiteral(const Rect& e, int dx, int dy, double contrast, double brightness, double sigma) {
    const Image noise = filters::randomNoise();
    if (noise.isNull()) return Image::empty();
    return flakeTone(noise.translated(dx, dy).cropped(e), contrast, brightness).gaussianBlur(sigma).cropped(e);
}

// The same layer from cached specks. The noise is a fixed pattern that only moves by whole
// pixels, and the threshold keeps about one value in 1700, so the pattern's surviving pixels are
// found once per 128×128 block of noise coordinates (on first need, then kept; the offsets wrap,
// so the blocks are bounded) and each frame splats the visible ones with the blur's weights.
class SpeckField {
public:
    struct Speck { int x, y; float v[3]; };  // noise coordinates, thresholded colour (linear)
    static constexpr int kBlock = 128;

    SpeckField(double contrast, double brightness, double sigma) {
        // The threshold's per-pixel steps, taken from the filters themselves.
        const Image toned = flakeTone(Image::solid(Color{0, 0, 0, 1}), contrast, brightness);
        if (auto* pw = dynamic_cast<const engine::PointwiseNode*>(toned.node().get())) ops_ = pw->ops();
        // Noise values at or below `cut_` never survive (the steps are monotone per channel).
        float lo = 0.0f, hi = 1.0f;
        for (int i = 0; i < 40; ++i) {
            const float mid = 0.5f * (lo + hi);
            (survives(mid) ? hi : lo) = mid;
        }
        cut_ = lo - 1e-4f;
        radius_ = std::max(1, int(std::ceil(3.0 * sigma)));
        double sum = 0;
        std::vector<double> w(size_t(radius_) + 1);
        for (int i = 0; i <= radius_; ++i) {
            w[size_t(i)] = std::exp(-0.5 * i * i / (sigma * sigma));
            sum += i == 0 ? w[0] : 2 * w[size_t(i)];
        }
        for (int i = -radius_; i <= radius_; ++i) weights_.push_back(float(w[size_t(std::abs(i))] / sum));
    }

    int radius() const { return radius_; }
    const std::vector<float>& weights() const { return weights_; }

    // The specks of one block; computed on the building thread, read by the render threads.
    const std::vector<Speck>& block(int bx, int by) {
        const int64_t key = (int64_t(bx) << 32) ^ uint32_t(by);
        auto it = blocks_.find(key);
        if (it != blocks_.end()) return it->second;
        std::vector<Speck> specks;
        for (int y = by * kBlock; y < (by + 1) * kBlock; ++y)
            for (int x = bx * kBlock; x < (bx + 1) * kBlock; ++x) {
                float px[4] = {engine::NoiseNode::value(x, y, 0), engine::NoiseNode::value(x, y, 1),
                               engine::NoiseNode::value(x, y, 2), engine::NoiseNode::value(x, y, 3)};
                if (std::max({px[0], px[1], px[2]}) <= cut_) continue;
                for (const auto& op : ops_) op->apply(px, 1);
                if (px[0] > 0 || px[1] > 0 || px[2] > 0) specks.push_back({x, y, {px[0], px[1], px[2]}});
            }
        return blocks_.emplace(key, std::move(specks)).first->second;
    }

private:
    bool survives(float v) const {
        float px[4] = {v, v, v, 1.0f};
        for (const auto& op : ops_) op->apply(px, 1);
        return px[0] > 0 || px[1] > 0 || px[2] > 0;
    }
    std::vector<engine::PixelOpPtr> ops_;
    float cut_ = 0;
    int radius_ = 1;
    std::vector<float> weights_;  // offsets −radius … radius
    std::unordered_map<int64_t, std::vector<Speck>> blocks_;
};

class SpeckLayerNode final : public engine::Node {
public:
    SpeckLayerNode(std::shared_ptr<SpeckField> field, const Rect& e, int dx, int dy)
        : field_(std::move(field)), e_(e), ep_(engine::pixelBounds(e)), dx_(dx), dy_(dy) {
        // Every block that can reach E: specks are cropped to E before the blur.
        const int bx0 = floorDiv(ep_.x - dx_), bx1 = floorDiv(ep_.maxX() - 1 - dx_);
        const int by0 = floorDiv(ep_.y - dy_), by1 = floorDiv(ep_.maxY() - 1 - dy_);
        bx0_ = bx0;
        by0_ = by0;
        nbx_ = bx1 - bx0 + 1;
        nby_ = by1 - by0 + 1;
        if (ep_.isEmpty()) nbx_ = nby_ = 0;
        for (int by = by0; by <= by1 && nbx_ > 0; ++by)
            for (int bx = bx0; bx <= bx1; ++bx) blocks_.push_back(&field_->block(bx, by));
    }
    Rect extent() const override { return e_; }

    void render(engine::TileContext&, const IRect& r, float* out) const override {
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        const IRect inE = r.intersected(ep_);
        if (inE.isEmpty()) return;
        const int R = field_->radius();
        const float* w = field_->weights().data() + R;  // w[i] for i = −R … R
        // Alpha: the opaque layer blurred, which fades only within R of E's edge.
        auto edgeWeight = [&](int p, int lo, int hi) {
            if (p - R >= lo && p + R < hi) return 1.0f;
            float s = 0;
            for (int i = -R; i <= R; ++i)
                if (p + i >= lo && p + i < hi) s += w[i];
            return s;
        };
        for (int y = inE.y; y < inE.maxY(); ++y) {
            const float ay = edgeWeight(y, ep_.y, ep_.maxY());
            float* o = out + (size_t(y - r.y) * r.w + (inE.x - r.x)) * 4;
            for (int x = inE.x; x < inE.maxX(); ++x, o += 4) o[3] = ay * edgeWeight(x, ep_.x, ep_.maxX());
        }
        // Specks whose footprint meets the tile, in noise coordinates.
        const IRect reach = inE.grown(R, R);
        const int bx0 = std::max(bx0_, floorDiv(reach.x - dx_)), bx1 = std::min(bx0_ + nbx_ - 1, floorDiv(reach.maxX() - 1 - dx_));
        const int by0 = std::max(by0_, floorDiv(reach.y - dy_)), by1 = std::min(by0_ + nby_ - 1, floorDiv(reach.maxY() - 1 - dy_));
        for (int by = by0; by <= by1; ++by)
            for (int bx = bx0; bx <= bx1; ++bx)
                for (const SpeckField::Speck& sp : *blocks_[size_t(by - by0_) * nbx_ + (bx - bx0_)]) {
                    const int px = sp.x + dx_, py = sp.y + dy_;
                    if (px < ep_.x || px >= ep_.maxX() || py < ep_.y || py >= ep_.maxY()) continue;
                    const int y0 = std::max(py - R, inE.y), y1 = std::min(py + R, inE.maxY() - 1);
                    const int x0 = std::max(px - R, inE.x), x1 = std::min(px + R, inE.maxX() - 1);
                    for (int y = y0; y <= y1; ++y) {
                        const float wy = w[y - py];
                        float* o = out + (size_t(y - r.y) * r.w + (x0 - r.x)) * 4;
                        for (int x = x0; x <= x1; ++x, o += 4) {
                            const float k = wy * w[x - px];
                            o[0] += sp.v[0] * k;
                            o[1] += sp.v[1] * k;
                            o[2] += sp.v[2] * k;
                        }
                    }
                }
    }

private:
    static int floorDiv(int v) { return v >= 0 ? v / SpeckField::kBlock : -((-v + SpeckField::kBlock - 1) / SpeckField::kBlock); }
    std::shared_ptr<SpeckField> field_;  // the blocks below point into it
    Rect e_;
    IRect ep_;
    int dx_, dy_;
    int bx0_ = 0, by0_ = 0, nbx_ = 0, nby_ = 0;
    std::vector<const std::vector<SpeckField::Speck>*> blocks_;
};

std::shared_ptr<SpeckField> fineSpecks() { return std::make_shared<SpeckField>(9.0, -4.994599999999999, 0.4); }
std::shared_ptr<SpeckField> largeSpecks() { return std::make_shared<SpeckField>(8.0, -4.4988, 1.2); }

// False colour (transparent black to ice white) and 60 % alpha, the flakes' colouring.
Image colourFlakes(const Image& flakes) {
    Image out = filters::falseColor(flakes, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(0.9, 0.95, 1.0, 1.0));
    return colorMatrix(out, kIdR, kIdG, kIdB, {0, 0, 0, 0.6});
}

}  // namespace

// Fields of specks found so far, filled block by block as the layers scroll over them.
struct SnowSpecks {
    std::shared_ptr<SpeckField> fine = fineSpecks(), large = largeSpecks();
};

Snow::Snow() = default;
Snow::~Snow() = default;
void Snow::suspend() { specks_.reset(); }

Image Snow::render(const Image& image, const FrameContext& frame) {
    if (!specks_) specks_ = std::make_unique<SnowSpecks>();
    return renderSnow(image, frame.t, *specks_);
}

Image renderSnow(const Image& image, double t) {
    SnowSpecks specks;
    return renderSnow(image, t, specks);
}

Image renderSnow(const Image& image, double t, SnowSpecks& specks) {
    const Rect e = image.extent();
    const Image graded = snowGrade(image);

    // The layers move by whole pixels: a fractional shift would average neighbouring noise
    // values, and an average of two or four of them almost never reaches the threshold, so the
    // flakes would come and go with the fraction of the offset from frame to frame.
    const SnowOffsets o = snowOffsets(t, e.w);
    const int ax = int(std::lround(o.ax)), ay = int(std::lround(o.ay));
    const int bx = int(std::lround(o.bx)), by = int(std::lround(o.by));
    Image flakes;
    if (shortcutsOn() && !e.isInfinite() && !e.isEmpty()) {
        const Image fine(std::make_shared<SpeckLayerNode>(specks.fine, e, ax, ay));
        const Image large(std::make_shared<SpeckLayerNode>(specks.large, e, bx, by));
        const Image screened = filters::screenBlend(large, fine);
        // The colouring of the flakes, skipped where both layers are plain opaque black.
        const Image coloured = colourFlakes(Image(std::make_shared<engine::SolidNode>(Color{0, 0, 0, 1})));
        auto* pw = dynamic_cast<const engine::PointwiseNode*>(coloured.node().get());
        flakes = pw ? screened.pixelOp(shortcuts::skipCommonOp(pw->ops(), {0, 0, 0, 1}))
                    : colourFlakes(screened);
    } else {
        const Image fine = flakeLayerLiteral(e, ax, ay, 9.0, -4.994599999999999, 0.4);
        const Image large = flakeLayerLiteral(e, bx, by, 8.0, -4.4988, 1.2);
        flakes = colourFlakes(filters::screenBlend(large, fine));
    }
    return filters::screenBlend(flakes, graded).cropped(e);
}

// ---- CyberOps and its glyph rain ----

GlyphRainLayout glyphRainLayout(double width, double height, double t) {
    GlyphRainLayout l;
    l.width = std::max(1, int(std::lround(std::isfinite(width) ? width : 1)));
    l.height = std::max(1, int(std::lround(std::isfinite(height) ? height : 1)));
    l.columns = std::max(1, int(std::trunc(width / kGlyphPitch)));
    const double hp = l.height;
    const double cycle = hp + 252.0;
    const double step = std::floor(4.0 * t);
    l.glyphs.reserve(size_t(l.columns) * 4);
    for (int c = 0; c < l.columns; ++c) {
        const double a = c * 12.9898;
        const double speed = std::fmod(a, 140.0) + 80.0;
        const double head = std::fmod(std::fmod(a, 1000.0) + speed * t, cycle) - 252.0;
        const double phase = c * 7.31;
        // The leading glyph (r = 0) is the lowest and leads the fall; the trail fades above it.
        // The 14 cells stay where they were (head is the top of the highest), so the column
        // still enters at the top and leaves at the bottom whole.
        for (int r = 0; r < kGlyphTrail; ++r) {
            const double top = (kGlyphTrail - 1 - r) * kGlyphPitch + head;
            if (!(top >= 0 && top < hp)) continue;
            GlyphPlacement g;
            g.column = c;
            g.trail = r;
            g.x = c * kGlyphPitch;
            g.top = top;
            g.baselineY = hp - top - kGlyphPitch;
            if (r == 0) {
                g.green = 1.0f;
                g.alpha = 1.0f;
            } else {
                const double f = 1.0 - r / 14.0;
                g.green = float(f * 0.5);
                g.alpha = float(f * f);
            }
            g.glyph = int(std::trunc(std::abs(std::fmod(r * 3.7 + phase + step, 42.0))));
            g.glyph = std::clamp(g.glyph, 0, EffectResources::kGlyphCount - 1);
            l.glyphs.push_back(g);
        }
    }
    return l;
}

std::shared_ptr<engine::GlyphCache> glyphCache() {
    return std::make_shared<engine::GlyphCache>(EffectResources::shared().glyphFont());
}

Image glyphRain(double width, double height, double t) { return glyphRain(width, height, t, glyphCache()); }

Image glyphRain(double width, double height, double t, const std::shared_ptr<engine::GlyphCache>& glyphs) {
    const GlyphRainLayout l = glyphRainLayout(width, height, t);
    std::vector<engine::PlacedGlyph> placed;
    placed.reserve(l.glyphs.size());
    for (const GlyphPlacement& g : l.glyphs)
        // The layout's y runs up from the bottom; the layer's runs down from the top.
        placed.push_back({QChar(EffectResources::kGlyphs[g.glyph]), g.x, l.height - g.baselineY,
                          Color::fromSRGB(0.1 * g.green, g.green, 0.15 * g.green, g.alpha)});
    return engine::glyphLayer(glyphs, l.width, l.height, placed);
}

CyberOps::CyberOps() : glyphs_(glyphCache()) {}
CyberOps::~CyberOps() = default;

int CyberOps::preparedGlyphs() const { return glyphs_->count(); }

Image CyberOps::render(const Image& image, const FrameContext& frame) {
    const double t = frame.t;
    const Rect e = image.extent();
    const Image graded = cyberOpsGrade(image);
    const Image rain = glyphRain(e.w, e.h, t, glyphs_);
    return filters::screenBlend(rain, graded).cropped(e);
}

Image renderCyberOps(const Image& image, double t) {
    CyberOps look;
    return look.render(image, FrameContext{t, VideoEffect::none, {}});
}

}  // namespace ostrela::effects
