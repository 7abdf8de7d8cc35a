#include "effects/RetroEffects.h"

#include "effects/Effects.h"
#include "effects/Kernels.h"
#include "effects/RetroKernels.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Glyphs.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Schedule.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::IRect;
using engine::Node;
using engine::NodePtr;
using engine::PixelOpPtr;
using engine::Rect;
namespace filters = engine::filters;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Kernel phases are single precision; t is ~10⁹ s, so reduce them first (same sine).
float phase(double rate, double t) { return float(std::fmod(rate * t, kTwoPi)); }

int roundedSize(double v) { return std::max(1, int(std::lround(std::isfinite(v) ? v : 1))); }

// Black at the lines' alpha composited over the base, row by row.
class DropoutShadeNode final : public Node {
public:
    DropoutShadeNode(NodePtr base, const Rect& frame, double t) : base_(std::move(base)) {
        const int wp = roundedSize(frame.w), hp = roundedSize(frame.h);
        x0_ = int(std::floor(frame.x));
        x1_ = x0_ + wp;
        const int fy = int(std::floor(frame.y));
        lines_ = {double(x0_), double(fy), double(wp), double(hp)};
        std::vector<float> factor(size_t(hp), 1.0f);
        for (int i = 0; i < 16; ++i) {
            const double x = i * 37.13;
            double y = std::fmod((std::fmod(x, 60.0) + 25.0) * t + x * 13.7, double(hp));
            if (y < 0) y += hp;
            const double thickness = std::trunc(std::fmod(x, 3.0)) + 1.0;
            const double alpha = (std::sin(x) * 0.5 + 0.5) * 0.1 + 0.05;
            const double top = std::min(y + thickness, double(hp));
            for (int row = int(std::floor(y)); row < top; ++row) {
                const double cover = std::min(top, row + 1.0) - std::max(y, double(row));
                if (cover > 0 && row >= 0 && row < hp) factor[size_t(row)] *= float(1.0 - alpha * cover);
            }
        }
        for (int row = 0; row < hp; ++row)
            if (factor[size_t(row)] < 1.0f) rows_.push_back({fy + row, factor[size_t(row)]});
    }
    Rect extent() const override { return base_->extent().united(lines_); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return base_.get(); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        ctx.renderInto(*base_, r, out);
        const int xa = std::max(r.x, x0_), xb = std::min(r.maxX(), x1_);
        if (xb <= xa) return;
        for (const auto& [y, f] : rows_) {
            if (y < r.y || y >= r.maxY()) continue;
            float* p = out + (size_t(y - r.y) * r.w + (xa - r.x)) * 4;
            for (int i = 0; i < xb - xa; ++i, p += 4) {
                p[0] *= f;
                p[1] *= f;
                p[2] *= f;
                p[3] = (1.0f - f) + p[3] * f;
            }
        }
    }

private:
    NodePtr base_;
    Rect lines_;
    int x0_ = 0, x1_ = 0;
    std::vector<std::pair<int, float>> rows_;
};

// The chroma bleed in one pass: red-only copy moved by +d, blue-only by −d, green in place,
// recombined by two screens. The channels are disjoint, so the screens add the colours and
// combine the alphas as 1 − (1 − aR)(1 − aG)(1 − aB).
class ChromaBleedNode final : public Node {
public:
    ChromaBleedNode(NodePtr in, int d) : in_(std::move(in)), d_(d) {}
    Rect extent() const override {
        const Rect e = in_->extent();
        return e.isInfinite() ? e : e.insetBy(-d_, 0);
    }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.grown(d_, 0); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect sr = roi(0, r);
        const float* src = ctx.pull(*in_, sr);
        for (int j = 0; j < r.h; ++j)
            retro::bleedRow(out + size_t(j) * r.w * 4, src + size_t(j) * sr.w * 4 + size_t(d_) * 4, r.w, d_);
    }

private:
    NodePtr in_;
    int d_;
};

// A bright band: a strip of the picture moved by a whole number of pixels (edges repeating),
// toned, composited over the picture. When a tile spans the picture's width the strip is taken
// from the tile's own rows, so the picture is rendered once.
class BandNode final : public Node {
public:
    BandNode(NodePtr in, const Rect& band, int dx, PixelOpPtr tone)
        : in_(std::move(in)), band_(band), rows_(engine::pixelBounds(band)), ex_(engine::pixelBounds(in_->extent())), dx_(dx),
          tone_(std::move(tone)) {
        const Image im(in_);
        general_ = Image(im.clampedToExtent().translated(dx, 0).cropped(band).pixelOp(tone_)).composited(im).node();
    }
    Rect extent() const override { return in_->extent().united(band_); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect rows = rows_.intersected(r);
        if (rows.isEmpty()) {
            ctx.renderInto(*in_, r, out);
            return;
        }
        if (r.x > ex_.x || r.maxX() < ex_.maxX() || ex_.isEmpty()) {
            ctx.renderInto(*general_, r, out);
            return;
        }
        ctx.renderInto(*in_, r, out);
        float* tmp = ctx.alloc(size_t(rows.w) * 4);
        const int lo = ex_.x, hi = ex_.maxX() - 1;
        for (int y = rows.y; y < rows.maxY(); ++y) {
            float* o = out + size_t(y - r.y) * r.w * 4;
            for (int x = rows.x; x < rows.maxX(); ++x)
                std::memcpy(tmp + size_t(x - rows.x) * 4, o + size_t(std::clamp(x - dx_, lo, hi) - r.x) * 4, 4 * sizeof(float));
            tone_->apply(tmp, rows.w);
            for (int x = rows.x; x < rows.maxX(); ++x) {
                const float* s = tmp + size_t(x - rows.x) * 4;
                float* d = o + size_t(x - r.x) * 4;
                const float k = 1.0f - s[3];
                for (int c = 0; c < 4; ++c) d[c] = s[c] + d[c] * k;
            }
        }
    }

private:
    NodePtr in_, general_;
    Rect band_;
    IRect rows_, ex_;
    int dx_;
    PixelOpPtr tone_;
};

}  // namespace

namespace {
// Grey noise grain over a picture: the noise cropped to the extent, saturation 0, its alpha times
// `opacity`, source-over. The grain is untranslated, the same every frame: it is made once per
// extent and kept at half precision (at 16 % it moves the frame by far less than a level).
Image grainOver(const Image& base, const Rect& E, float opacity, Image& kept, Rect& keptFor) {
    if (kept.isNull() || !(keptFor == E)) {
        keptFor = E;
        kept = engine::keptInHalves(filters::colorControls(filters::randomNoise().cropped(E), 0.0, 0.0, 1.0));
    }
    return filters::colorMatrixWithBias(kept, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, opacity}, {0, 0, 0, 0})
        .composited(base);
}
}  // namespace

// ---- Drawing helpers ----

namespace draw {

Surface surface(int frameW, int frameH, int x0, int y0, int w, int h) {
    Surface s;
    s.frameH = frameH;
    s.x0 = std::clamp(x0, 0, std::max(frameW - 1, 0));
    s.y0 = std::clamp(y0, 0, std::max(frameH - 1, 0));
    const int ww = std::clamp(w - (s.x0 - x0), 1, frameW - s.x0), hh = std::clamp(h - (s.y0 - y0), 1, frameH - s.y0);
    // 72 dpi: one point is one pixel, as in the bitmap contexts the layouts are written for.
    s.image = engine::pointBitmap(ww, hh);
    return s;
}

void withShadow(Surface& s, double dx, double dy, double blur, double alpha, const std::function<void(QPainter&)>& paint) {
    if (s.image.isNull()) return;
    QImage layer(s.image.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    layer.setDotsPerMeterX(s.image.dotsPerMeterX());
    layer.setDotsPerMeterY(s.image.dotsPerMeterY());
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        paint(p);
    }
    // The shadow: the layer's coverage, blurred, black at `alpha`, moved by (dx, −dy) on screen.
    const int w = layer.width(), h = layer.height();
    std::vector<float> cover(size_t(w) * h), tmp(cover.size());
    for (int y = 0; y < h; ++y) {
        const QRgb* src = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
        for (int x = 0; x < w; ++x) cover[size_t(y) * w + x] = qAlpha(src[x]) / 255.0f;
    }
    const double sigma = blur / 2.0;
    if (sigma > 0) {
        const int R = std::max(1, int(std::ceil(3 * sigma)));
        std::vector<float> k(size_t(2 * R + 1));
        double sum = 0;
        for (int i = -R; i <= R; ++i) sum += k[size_t(i + R)] = float(std::exp(-0.5 * i * i / (sigma * sigma)));
        for (float& v : k) v = float(v / sum);
        // Only around the painted shapes: find their box, grow it by the kernel radius.
        int x0 = w, x1 = -1, y0 = h, y1 = -1;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (cover[size_t(y) * w + x] > 0) {
                    x0 = std::min(x0, x), x1 = std::max(x1, x);
                    y0 = std::min(y0, y), y1 = std::max(y1, y);
                }
        if (x1 >= 0) {
            x0 = std::max(0, x0 - R), x1 = std::min(w - 1, x1 + R), y0 = std::max(0, y0 - R), y1 = std::min(h - 1, y1 + R);
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    float acc = 0;
                    for (int i = std::max(-R, -x); i <= std::min(R, w - 1 - x); ++i) acc += k[size_t(i + R)] * cover[size_t(y) * w + x + i];
                    tmp[size_t(y) * w + x] = acc;
                }
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    float acc = 0;
                    for (int i = std::max(-R, y0 - y); i <= std::min(R, y1 - y); ++i) acc += k[size_t(i + R)] * tmp[size_t(y + i) * w + x];
                    cover[size_t(y) * w + x] = acc;
                }
        }
    }
    QImage shadow(layer.size(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        QRgb* dst = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        for (int x = 0; x < w; ++x) dst[x] = qRgba(0, 0, 0, std::clamp(int(std::lround(cover[size_t(y) * w + x] * alpha * 255.0)), 0, 255));
    }
    QPainter p(&s.image);
    p.drawImage(QPointF(dx, -dy), shadow);
    p.drawImage(QPointF(0, 0), layer);
}

Image place(const Surface& s, const Rect& frame) {
    if (s.image.isNull()) return Image::empty();
    return Image::fromQImage(s.image).translated(std::floor(frame.x) + s.x0, std::floor(frame.y) + s.y0);
}

QFont menloBold(double points) {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(true);
    f.setPointSizeF(std::max(points, 0.5));
    return f;
}

QFont courierBold(double points) {
    QFont f(QStringLiteral("Liberation Mono"));  // metric match of Courier
    f.setBold(true);
    f.setPointSizeF(std::max(points, 0.5));
    return f;
}

QFont impact(double points) {
    QFont f(QStringLiteral("DejaVu Sans Condensed"));  // heavy condensed sans, closest installed
    f.setBold(true);
    f.setPointSizeF(std::max(points, 0.5));
    return f;
}

}  // namespace draw

// ---- Shared pieces ----

Image DrawnCache::get(const QString& key, const std::function<Image()>& make) {
    for (auto& e : entries_)
        if (e.first == key) return e.second;
    Image im = make();
    if (entries_.size() >= capacity_) entries_.erase(entries_.begin());
    entries_.emplace_back(key, im);
    return im;
}

void ReadoutCaches::clear() {
    overlays.clear();
    readouts.clear();
    lines.clear();
    grain = Image();
    scratch = QImage();
}

Image compositeGrain(const Image& base, const Rect& E, float opacity) {
    ReadoutCaches caches;
    return compositeGrain(base, E, opacity, caches);
}

Image compositeGrain(const Image& base, const Rect& E, float opacity, ReadoutCaches& caches) {
    return grainOver(base, E, opacity, caches.grain, caches.grainExtent);
}

Rect layoutFrame(const Rect& extent) {
    const Rect out{0, 0, double(kFrameWidth), double(kFrameHeight)};
    const Rect v = extent.intersected(out);
    return v.isEmpty() ? extent : v;
}

Image shadeDropoutLines(const Image& base, const Rect& frame, double t) {
    if (base.isNull()) return base;
    return Image(std::make_shared<DropoutShadeNode>(base.node(), frame, t));
}

Image compositeBand(const Image& image, const Rect& frame, double t, double heightFraction, double speed, double phase0, double dx) {
    const double H = frame.h;
    const double h = std::max(4.0, heightFraction * H);
    const double y = frame.y + (std::sin(speed * t + phase0) * 0.42 + 0.5) * H - 0.5 * h;
    if (!(h > 0)) return image;
    const Rect band{frame.x, y, frame.w, h};
    if (image.isNull()) return image;
    // The band's tone as a per-pixel op (brightness 0.12, contrast 1.2).
    const Image toned = filters::colorControls(Image::solid(Color{0, 0, 0, 1}), 1.0, 0.12, 1.2);
    auto* pw = dynamic_cast<const engine::PointwiseNode*>(toned.node().get());
    if (dx == std::floor(dx) && pw && pw->ops().size() == 1)
        return Image(std::make_shared<BandNode>(image.node(), band, int(dx), pw->ops()[0]));
    const Image strip = filters::colorControls(image.clampedToExtent().translated(dx, 0).cropped(band), 1.0, 0.12, 1.2);
    return strip.composited(image);
}

bool vhsReadoutVisible(double t) {
    const long long n = (long long)std::floor(2.0 * t);
    return n % 2 == 0;
}

int vhsBatteryLevel(double t) {
    double m = std::fmod(t, 24.0);
    if (m < 0) m += 24.0;
    return std::clamp(int(std::ceil((1.0 - m / 24.0) * 4.0)), 0, 4);
}

QImage pixelText(const QString& text, double s, int k) {
    const double f = s / std::max(k, 1);
    const QFont font = draw::courierBold(f);
    // Measured on a 72-dpi device so points are pixels.
    const QImage probe = engine::pointBitmap(1, 1);
    const QRectF b = QFontMetricsF(font, &probe).tightBoundingRect(text);
    const double bx = b.left(), by = -b.bottom(), bw = b.width();  // y up: by is the lowest ink point
    const int w = std::max(1, int(std::ceil(bw)) + 4), h = std::max(1, int(std::ceil(1.5 * f)));
    QImage img = engine::pointBitmap(w, h);
    if (img.isNull()) return img;
    QPainter p(&img);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setFont(font);
    p.setPen(Qt::white);
    // Text position (2 − bx, 0.28·h − by) with y up.
    p.drawText(QPointF(2 - bx, h - (0.28 * h - by)), text);
    return img;
}

Image vhsReadoutOverlay(double W, double H) {
    ReadoutCaches caches;
    return vhsReadoutOverlay(W, H, caches);
}

Image vhsReadoutOverlay(double W, double H, ReadoutCaches& caches) {
    const QString key = QStringLiteral("readout %1x%2").arg(W).arg(H);
    return caches.overlays.get(key, [&]() -> Image {
        const int wp = roundedSize(W), hp = roundedSize(H);
        const QImage a = pixelText(QString::fromUtf8("\u25B6 PLAY"), 0.11 * H, 5);
        if (a.isNull()) return Image::empty();
        const QImage b = pixelText(QStringLiteral("12:00"), 0.06 * H, 3);
        const double margin = 0.0125 * W;
        const double wA = a.width(), hA = a.height();
        const double yA = H - margin - 5 * hA;
        const double hB = b.isNull() ? 0 : b.height(), wB = b.isNull() ? 0 : b.width();
        const double yB = yA - 6 - 3 * hB;
        const int pad = 12;
        const int x1 = int(std::ceil(margin + std::max(5 * wA, 3 * wB))) + pad;
        const int y0 = int(std::floor(std::min(yA, yB))) - pad;
        draw::Surface s = draw::surface(wp, hp, 0, y0, x1, hp - y0);
        draw::withShadow(s, 2, -2, 4, 0.85, [&](QPainter& p) {
            p.setRenderHint(QPainter::SmoothPixmapTransform, false);  // hard pixel edges
            p.drawImage(s.rect(margin, yA, 5 * wA, 5 * hA), a);
        });
        if (!b.isNull())
            draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
                p.setRenderHint(QPainter::SmoothPixmapTransform, false);
                p.drawImage(s.rect(margin, yB, 3 * wB, 3 * hB), b);
            });
        return draw::place(s, {0, 0, W, H});
    });
}

Image vhsBatteryOverlay(double W, double H, int level) {
    ReadoutCaches caches;
    return vhsBatteryOverlay(W, H, level, caches);
}

Image vhsBatteryOverlay(double W, double H, int level, ReadoutCaches& caches) {
    const QString key = QStringLiteral("battery %1x%2 %3").arg(W).arg(H).arg(level);
    return caches.overlays.get(key, [&]() -> Image {
        const int wp = roundedSize(W), hp = roundedSize(H);
        const double bodyW = 0.052 * W, margin = 0.0125 * W, nubW = 0.1 * bodyW, bodyH = 0.46 * bodyW;
        const double nubH = 0.45 * bodyH, lw = std::max(1.5, 0.09 * bodyH);
        const double x = W - margin - nubW - bodyW, y = H - margin - bodyH;
        const int pad = 10;
        const int sx = int(std::floor(x)) - pad, sy = int(std::floor(y)) - pad;
        draw::Surface s = draw::surface(wp, hp, sx, sy, wp - sx, hp - sy);
        const QColor white(255, 255, 255);
        draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
            p.setPen(QPen(white, lw));
            p.setBrush(Qt::NoBrush);
            p.drawRect(s.rect(x + lw / 2, y + lw / 2, bodyW - lw, bodyH - lw));
        });
        draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
            p.fillRect(s.rect(x + bodyW, y + (bodyH - nubH) / 2, nubW, nubH), white);
        });
        const double ix = x + 1.6 * lw, iy = y + 1.6 * lw, iw = bodyW - 3.2 * lw, ih = bodyH - 3.2 * lw;
        const double gap = 0.06 * bodyW, barW = (iw - 3 * gap) * 0.25;
        for (int i = 0; i < std::min(level, 4); ++i)
            draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
                p.fillRect(s.rect(ix + i * (barW + gap), iy, barW, ih), white);
            });
        return draw::place(s, {0, 0, W, H});
    });
}

// ---- The looks ----

Image renderOldTV(const Image& image, double t) {
    ReadoutCaches caches;
    return renderOldTV(image, t, caches);
}

Image renderOldTV(const Image& image, double t, ReadoutCaches& caches) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    Image img = filters::colorControls(image, 0.0, -0.03, 2.1);
    img = filters::vignette(img, 2.2, 1.1);
    img = img.clampedToExtent().warped(std::make_shared<OldTVWaveKernel>(14.0f, 0.07f, phase(4.5, t)), img.extent());
    Image base = img.cropped(E);
    // Grain: grey noise at 16 % over the picture.
    base = compositeGrain(base, E, 0.16f, caches);
    // Rolling bright band, a copy of the picture 26 px to the right.
    base = compositeBand(base, F, t, 0.022, 0.22, 0.0, 26);
    base = shadeDropoutLines(base, F, t);
    return base.cropped(E);
}

Image renderVHS(const Image& image, double t) {
    ReadoutCaches caches;
    return renderVHS(image, t, caches);
}

Image renderVHS(const Image& image, double t, ReadoutCaches& caches) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    Image img = image.gaussianBlur(0.6).cropped(E);
    img = filters::colorControls(img, 1.4, 0.0, 1.05);
    img = img.clampedToExtent()
              .warped(std::make_shared<VHSWaveKernel>(18.0f, 0.05f, phase(3.2, t), 8.0f, 0.22f, phase(9.0, t)), img.extent())
              .cropped(E);
    img = Image(std::make_shared<ChromaBleedNode>(img.node(), 5)).cropped(E);
    img = compositeBand(img, F, t, 0.03, 0.35, 0.0, 45);
    img = compositeBand(img, F, t, 0.012, 0.7, 2.1, -30);
    img = shadeDropoutLines(img, F, t);
    if (vhsReadoutVisible(t)) img = vhsReadoutOverlay(F.w, F.h, caches).translated(std::floor(F.x), std::floor(F.y)).composited(img);
    img = vhsBatteryOverlay(F.w, F.h, vhsBatteryLevel(t), caches).translated(std::floor(F.x), std::floor(F.y)).composited(img);
    return img.cropped(E);
}

}  // namespace ostrela::effects
