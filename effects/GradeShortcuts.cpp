// Speed shortcuts for the colour-grade looks: tables baked from the standard filters, a band
// cache for chains read several times per frame, a blur on a half grid and a per-pixel wrapper
// that skips a common value.
#include "effects/GradeShortcuts.h"
#include "effects/GradeKernels.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/LargeBuffers.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace ostrela::effects::shortcuts {

using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;

namespace {

// ---- Luminance tables ----
//
// Five of the looks start by taking the colour out (colour controls with saturation 0). From
// there on their per-pixel steps see a grey picture, so the whole per-pixel chain is a function
// of one number, the source pixel's encoded luminance. The chain is run once on a ramp of greys
// through the standard filters themselves and kept as a table; each frame then reads the 8-bit
// camera pixels, forms their luminance and interpolates the table, instead of decoding,
// re-encoding and running every filter per pixel. Pictures that are not plain 8-bit pixels
// (generated images in tests and tools) run the chain itself.

constexpr int kLutSize = 1024;

// Greys whose encoded values step evenly from 0 to 1, opaque.
class GreyRampNode final : public engine::Node {
public:
    Rect extent() const override { return {0, 0, double(kLutSize), 1}; }
    void render(engine::TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i) {
                float* o = out + (size_t(j) * r.w + i) * 4;
                const int x = r.x + i;
                const bool inside = r.y + j == 0 && x >= 0 && x < kLutSize;
                const float v = inside ? float(engine::color::srgbToLinear(double(x) / (kLutSize - 1))) : 0.0f;
                o[0] = o[1] = o[2] = v;
                o[3] = inside ? 1.0f : 0.0f;
            }
    }
};

}  // namespace

LumaTable bakeLumaTable(Chain chain) {
    engine::Renderer renderer(1, 1);
    LumaTable t;
    t.rgba = renderer.renderFloat(chain(Image(std::make_shared<GreyRampNode>())), {0, 0, kLutSize, 1});
    t.rgba.resize(size_t(kLutSize + 1) * 4);
    for (int c = 0; c < 4; ++c) t.rgba[size_t(kLutSize) * 4 + c] = t.rgba[size_t(kLutSize - 1) * 4 + c];
    return t;
}

namespace {

// The 8-bit picture behind whole-pixel moves and crops, where there is one.
struct PlainSource {
    const engine::SourceNode* source = nullptr;
    int dx = 0, dy = 0;  // source pixel (x − dx, y − dy) shows at (x, y)
    IRect clip;          // where it shows
};

PlainSource plainSource(const engine::Node* node) {
    PlainSource p;
    IRect clip{-(1 << 28), -(1 << 28), 1 << 29, 1 << 29};
    int dx = 0, dy = 0;
    while (node) {
        if (auto* s = dynamic_cast<const engine::SourceNode*>(node)) {
            const QImage::Format f = s->image().format();
            if (f != QImage::Format_ARGB32_Premultiplied && f != QImage::Format_RGB32) return {};
            p.source = s;
            p.dx = dx;
            p.dy = dy;
            p.clip = clip.intersected({dx, dy, s->image().width(), s->image().height()});
            return p;
        }
        if (auto* c = dynamic_cast<const engine::CropNode*>(node)) {
            const IRect b = engine::pixelBounds(c->extent());
            clip = clip.intersected({b.x, b.y, b.w, b.h});
            node = c->input(0);
            continue;
        }
        if (auto* t = dynamic_cast<const engine::TransformNode*>(node)) {
            int tx, ty;
            if (!t->isIntegerTranslation(&tx, &ty)) return {};
            dx += tx;
            dy += ty;
            node = t->input(0);
            continue;
        }
        return {};
    }
    return {};
}

class LumaTableNode final : public engine::Node {
public:
    // Channel c reads the entry at L + saturation·(e_c − L), which is what the chain's first step
    // (colour controls) makes of it before the per-channel steps that follow. (At saturation 0 the
    // engine reads such chains through a table of its own.)
    LumaTableNode(engine::NodePtr in, PlainSource src, const LumaTable* table, float saturation)
        : in_(std::move(in)), src_(src), table_(table), saturation_(saturation) {
        const float scale = float(kLutSize - 1) / 255.0f;
        for (int v = 0; v < 256; ++v) {
            // The luminance the tone filters form from encoded values, in table steps.
            wr_[v] = filters::kLumR * float(v) * scale;
            wg_[v] = filters::kLumG * float(v) * scale;
            wb_[v] = filters::kLumB * float(v) * scale;
            ws_[v] = saturation_ * float(v) * scale;
        }
        // Channel-major copies of the table.
        for (int c = 0; c < 4; ++c) {
            planes_[c].resize(kLutSize + 1);
            for (int k = 0; k <= kLutSize; ++k) planes_[c][size_t(k)] = table_->rgba[size_t(k) * 4 + c];
        }
    }
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.get(); }

    void render(engine::TileContext&, const IRect& r, float* out) const override {
        const IRect in = r.intersected(src_.clip);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        const QImage& img = src_.source->image();
        const bool opaqueFormat = img.format() == QImage::Format_RGB32;
        for (int y = in.y; y < in.maxY(); ++y) {
            const uint8_t* s = img.constScanLine(img.height() - 1 - (y - src_.dy)) + size_t(in.x - src_.dx) * 4;
            float* o = out + (size_t(y - r.y) * r.w + (in.x - r.x)) * 4;
            for (int i = 0; i < in.w; ++i, s += 4, o += 4) {
                unsigned b = s[0], g = s[1], rr = s[2], a = opaqueFormat ? 255u : s[3];
                if (a == 0) {
                    // Tile memory is not cleared beforehand: a transparent pixel is written too.
                    std::fill(o, o + 4, 0.0f);
                    continue;
                }
                if (a != 255) {
                    // Unpremultiplied as the engine decodes it.
                    auto un = [a](unsigned c) { return std::min(255u, (c * 255u + a / 2) / a); };
                    b = un(b);
                    g = un(g);
                    rr = un(rr);
                }
                // A mix of two values in 0 … kLutSize − 1 stays in that range.
                const float base = (1.0f - saturation_) * (wr_[rr] + wg_[g] + wb_[b]);
                auto at = [&](int c, unsigned byte) {
                    const float x = base + ws_[byte];
                    const int k = std::min(int(x), kLutSize - 1);
                    const float* t = planes_[c].data();
                    return t[k] + (t[k + 1] - t[k]) * (x - float(k));
                };
                const float v[4] = {at(0, rr), at(1, g), at(2, b), planes_[3][0]};
                const float k = a != 255 ? float(a) * (1.0f / 255.0f) : 1.0f;
                for (int c = 0; c < 4; ++c) o[c] = v[c] * k;
            }
        }
    }

private:
    engine::NodePtr in_;
    PlainSource src_;
    const LumaTable* table_;
    float saturation_;
    float wr_[256], wg_[256], wb_[256], ws_[256];
    std::vector<float> planes_[4];
};

}  // namespace

Image lumaChain(const Image& image, const LumaTable& table, Chain chain, float saturation) {
    if (image.isNull()) return image;
    const PlainSource src = plainSource(image.node().get());
    if (!src.source) return chain(image);
    return Image(std::make_shared<LumaTableNode>(image.node(), src, &table, saturation));
}


// ---- Tables for tone steps inside a chain ----
//
// A tone step on float pixels (no 8-bit source to read) that is either per channel, or sees a
// grey picture, is a function of one linear value; it is baked over a ramp of linear values
// spaced evenly in their square root (fine where the sRGB curve is steep) and interpolated.

namespace {

constexpr int kRampSize = 4096;

class LinearRampNode final : public engine::Node {
public:
    Rect extent() const override { return {0, 0, double(kRampSize), 1}; }
    void render(engine::TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i) {
                float* o = out + (size_t(j) * r.w + i) * 4;
                const int x = r.x + i;
                const bool inside = r.y + j == 0 && x >= 0 && x < kRampSize;
                const float u = inside ? float(x) / (kRampSize - 1) : 0.0f;
                o[0] = o[1] = o[2] = u * u;
                o[3] = inside ? 1.0f : 0.0f;
            }
    }
};

class RampTableOp final : public engine::PixelOp {
public:
    // perChannel: channel c of the result is the table's channel c at that channel's value.
    // Otherwise the picture is grey and red alone picks the whole entry.
    RampTableOp(Chain chain, bool perChannel) : perChannel_(perChannel) {
        engine::Renderer renderer(1, 1);
        table_ = renderer.renderFloat(chain(Image(std::make_shared<LinearRampNode>())), {0, 0, kRampSize, 1});
        table_.resize(size_t(kRampSize + 1) * 4);
        for (int c = 0; c < 4; ++c) table_[size_t(kRampSize) * 4 + c] = table_[size_t(kRampSize - 1) * 4 + c];
        // Values up to the last ramp entry whose colour, and the next one's, are still black
        // give black (a threshold such as brightness −0.4 keeps most pixels there).
        int k = 0;
        while (k + 1 < kRampSize && table_[size_t(k + 1) * 4] == 0 && table_[size_t(k + 1) * 4 + 1] == 0 &&
               table_[size_t(k + 1) * 4 + 2] == 0)
            ++k;
        const float u = float(k) / (kRampSize - 1);
        blackBelow_ = table_[0] == 0 && table_[1] == 0 && table_[2] == 0 ? u * u : -1.0f;
    }
    void apply(float* p, int n) const override {
        grade::rampTableRow(p, n, table_.data(), kRampSize - 1, perChannel_, blackBelow_);
    }

private:
    bool perChannel_;
    std::vector<float> table_;
    float blackBelow_ = -1.0f;
};

}  // namespace

engine::PixelOpPtr rampTableOp(Chain chain, bool perChannel) { return std::make_shared<RampTableOp>(chain, perChannel); }




namespace {

// Applies a per-pixel sequence, except to pixels equal to one common value, which get that
// value's precomputed result: the flakes are opaque black nearly everywhere.
class SkipCommonOp final : public engine::PixelOp {
public:
    SkipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common) : ops_(std::move(ops)), common_(common) {
        result_ = common;
        for (const auto& op : ops_) op->apply(result_.data(), 1);
    }
    void apply(float* p, int n) const override {
        // The other pixels are gathered, run through the sequence in one go and put back.
        thread_local std::vector<float> scratch;
        thread_local std::vector<int> where;
        scratch.resize(size_t(n) * 4);
        where.resize(size_t(n));
        const float* c = common_.data();
        int m = 0;
        for (int i = 0; i < n; ++i) {
            float* v = p + 4 * i;
            if (v[0] == c[0] && v[1] == c[1] && v[2] == c[2] && v[3] == c[3]) {
                std::memcpy(v, result_.data(), 4 * sizeof(float));
            } else {
                std::memcpy(scratch.data() + 4 * m, v, 4 * sizeof(float));
                where[size_t(m++)] = i;
            }
        }
        if (m == 0) return;
        for (const auto& op : ops_) op->apply(scratch.data(), m);
        for (int k = 0; k < m; ++k) std::memcpy(p + 4 * where[size_t(k)], scratch.data() + 4 * k, 4 * sizeof(float));
    }

private:
    std::vector<engine::PixelOpPtr> ops_;
    std::array<float, 4> common_, result_;
};

}  // namespace

engine::PixelOpPtr skipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common) {
    return std::make_shared<SkipCommonOp>(std::move(ops), common);
}


// A Gaussian of this sigma evaluated on a grid of half the resolution, the way the engine runs
// its large blurs: a 2×2 box reduction (the half-size sample points fall between four pixels),
// the blur on the small grid, a bilinear expansion. The reduced sigma is chosen so that the
// three variances add up to sigma²; the kernel has a quarter of the pixels and half the taps.
Image blurOnHalfGrid(const Image& clamped, double sigma) {
    const double v = sigma * sigma - 3.0 / 12.0 - 4.0 / 6.0;
    const double reduced = std::sqrt(std::max(v, 1.0)) / 2.0;
    return clamped.scaled(0.5, 0.5).gaussianBlur(reduced).scaled(2.0, 2.0);
}

}  // namespace ostrela::effects::shortcuts
