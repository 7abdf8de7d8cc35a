#include "pipeline/CardCompositor.h"

#include "pipeline/PaintedLayer.h"
#include "pipeline/Paths.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <tuple>

namespace ostrela {

using engine::Image;
using engine::IRect;
using engine::Node;
using engine::NodePtr;
using engine::Rect;

namespace {

// Cards of degenerate pictures (a 1:100 strip) or hand-edited fractions stay within a few
// frames' size, so their masks cannot run to gigabytes.
constexpr double kMaxCardWidth = 2 * cards::kOutputWidth;
constexpr double kMaxCardHeight = 4 * cards::kOutputHeight;

engine::Color premultipliedColor(const QString& hex, double alpha) {
    const RGBColor c = parseHexColor(hex);
    return engine::Color::fromSRGB(c.r, c.g, c.b, alpha);
}

int bitmapSide(double v) { return std::max(1, int(std::lround(v))); }
// A bitmap holding (ox, oy, W, H): whole pixels when there is no offset, else up to the far edge.
int maskSide(double offset, double v) { return offset == 0 ? bitmapSide(v) : std::max(1, int(std::ceil(offset + v - 1e-9))); }

// `in` times the mask's alpha; the extent is where both are.
class MaskNode final : public Node {
public:
    MaskNode(NodePtr in, NodePtr mask) : in_(std::move(in)), mask_(std::move(mask)) {}
    Rect extent() const override { return in_->extent().intersected(mask_->extent()); }
    int inputCount() const override { return 2; }
    const Node* input(int i) const override { return i == 0 ? in_.get() : mask_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.intersected(engine::pixelBounds(extent())); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect in = r.intersected(engine::pixelBounds(extent()));
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        const float* a = ctx.pull(*in_, in);
        const float* m = ctx.pull(*mask_, in);
        for (int j = 0; j < in.h; ++j) {
            const float* ap = a + size_t(j) * in.w * 4;
            const float* mp = m + size_t(j) * in.w * 4;
            float* o = out + (size_t(in.y - r.y + j) * r.w + (in.x - r.x)) * 4;
            for (int i = 0; i < in.w; ++i) {
                const float k = mp[4 * i + 3];
                o[4 * i] = ap[4 * i] * k;
                o[4 * i + 1] = ap[4 * i + 1] * k;
                o[4 * i + 2] = ap[4 * i + 2] * k;
                o[4 * i + 3] = ap[4 * i + 3] * k;
            }
        }
    }

private:
    NodePtr in_, mask_;
};

// A projective map of destination points to source points: s = (a·x + b·y + c, d·x + e·y + f) / (g·x + h·y + 1).
struct Homography {
    std::array<double, 8> k{1, 0, 0, 0, 1, 0, 0, 0};
    engine::Point map(double x, double y) const {
        const double w = k[6] * x + k[7] * y + 1.0;
        return {(k[0] * x + k[1] * y + k[2]) / w, (k[3] * x + k[4] * y + k[5]) / w};
    }
    // The map taking each from[i] to to[i]; false when the points are degenerate.
    static bool solve(const std::array<engine::Point, 4>& from, const std::array<engine::Point, 4>& to, Homography* out) {
        double m[8][9] = {};
        for (int i = 0; i < 4; ++i) {
            const double x = from[i].x, y = from[i].y, u = to[i].x, v = to[i].y;
            double* r0 = m[2 * i];
            double* r1 = m[2 * i + 1];
            r0[0] = x; r0[1] = y; r0[2] = 1; r0[6] = -u * x; r0[7] = -u * y; r0[8] = u;
            r1[3] = x; r1[4] = y; r1[5] = 1; r1[6] = -v * x; r1[7] = -v * y; r1[8] = v;
        }
        for (int c = 0; c < 8; ++c) {
            int p = c;
            for (int r = c + 1; r < 8; ++r)
                if (std::abs(m[r][c]) > std::abs(m[p][c])) p = r;
            if (std::abs(m[p][c]) < 1e-12) return false;
            if (p != c) std::swap(m[p], m[c]);
            for (int r = 0; r < 8; ++r) {
                if (r == c) continue;
                const double f = m[r][c] / m[c][c];
                if (f == 0) continue;
                for (int k = c; k < 9; ++k) m[r][k] -= f * m[c][k];
            }
        }
        for (int i = 0; i < 8; ++i) out->k[size_t(i)] = m[i][8] / m[i][i];
        return true;
    }
};

class PerspectiveKernel final : public engine::WarpKernel {
public:
    explicit PerspectiveKernel(const Homography& h) : h_(h) {}
    void mapRow(int x0, int y, int n, float* sx, float* sy) const override {
        const double py = y + 0.5;
        for (int i = 0; i < n; ++i) {
            const engine::Point p = h_.map(x0 + i + 0.5, py);
            sx[i] = float(p.x);
            sy[i] = float(p.y);
        }
    }
    Rect roi(const Rect& d) const override {
        const engine::Point c[4] = {h_.map(d.x, d.y), h_.map(d.maxX(), d.y), h_.map(d.x, d.maxY()), h_.map(d.maxX(), d.maxY())};
        double x0 = c[0].x, x1 = c[0].x, y0 = c[0].y, y1 = c[0].y;
        for (const auto& p : c) {
            x0 = std::min(x0, p.x); x1 = std::max(x1, p.x);
            y0 = std::min(y0, p.y); y1 = std::max(y1, p.y);
        }
        return {x0, y0, x1 - x0, y1 - y0};
    }

private:
    Homography h_;
};

// The small bitmaps are the same from frame to frame: keep the last few of each kind.
template <typename Key>
class BitmapCache {
public:
    Image get(const Key& key, const std::function<Image()>& make) {
        for (auto& e : entries_)
            if (e.first == key) return e.second;
        Image img = make();
        entries_.emplace_front(key, img);
        if (entries_.size() > 6) entries_.pop_back();
        return img;
    }

private:
    std::deque<std::pair<Key, Image>> entries_;
};

using SizeKey = std::tuple<double, double, double, double, double>;

QImage transparentBitmap(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    if (!img.isNull()) img.fill(Qt::transparent);
    return img;
}

}  // namespace

// ---- Styles and geometry ----

CardStyle CardStyle::overlayFromSettings() {
    CardStyle s;
    s.placement = settings::overlayPlacement();
    s.widthFraction = settings::overlayWidthFraction();
    s.frameWidth = settings::overlayBorderEnabled() ? cards::kFrameWidth : 0.0;
    s.frameColorHex = settings::overlayBorderColorHex();
    s.fancy = settings::fancyModeEnabled();
    s.fullScreen = settings::isOverlayFullScreen();
    if (s.fancy) {
        s.shadowAlpha = cards::kFancyShadowAlpha;
        s.shadowBlur = cards::kFancyShadowBlur;
        s.shadowOffset = cards::kFancyShadowOffset;
    }
    return s;
}

CardStyle CardStyle::pipFromSettings() {
    CardStyle s;
    s.placement = settings::videoCameraPiPPlacement();
    s.widthFraction = settings::videoCameraPiPWidthFraction();
    s.frameWidth = cards::kFrameWidth;
    s.frameColorHex = settings::overlayBorderColorHex();
    return s;
}

CardGeometry cardGeometry(const CardStyle& st, double pw, double ph, double barReserve, double topInset) {
    CardGeometry g;
    if (!(pw > 0) || !(ph > 0)) return g;
    double s = st.widthFraction * cards::kOutputWidth / pw;
    if (!(s > 0) || !std::isfinite(s)) s = 0;
    s = std::min({s, kMaxCardWidth / pw, kMaxCardHeight / ph});
    g.w = pw * s;
    g.h = ph * s;
    const double b = st.frameWidth;
    g.W = g.w + 2 * b;
    g.H = g.h + 2 * b;
    const double m = cards::kCornerMargin;
    if (st.fullScreen) {
        g.x = (cards::kOutputWidth - g.W) * 0.5;
        g.y = barReserve + ((cards::kOutputHeight - barReserve) - g.H) * 0.5;
        return g;
    }
    const bool right = st.placement == OverlayPlacement::topRight || st.placement == OverlayPlacement::bottomRight;
    const bool top = st.placement == OverlayPlacement::topLeft || st.placement == OverlayPlacement::topRight;
    g.x = right ? cards::kOutputWidth - g.W - m : m;
    g.y = top ? cards::kOutputHeight - g.H - m - topInset : barReserve + m;
    return g;
}

// ---- Building blocks ----

// The rounded rectangle (ox, oy, W, H), y up, painted white with its coverage in alpha.
QImage roundedRectBitmap(double W, double H, double r, double ox, double oy) {
    const int bw = maskSide(ox, W), bh = maskSide(oy, H);
    QImage img = transparentBitmap(bw, bh);
    if (img.isNull()) return img;
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    // A fractional height leaves the top row partial.
    path.addRoundedRect(QRectF(ox, bh - oy - H, W, H), r, r);
    p.fillPath(path, Qt::white);
    p.end();
    return img;
}

Image roundedRectMask(double W, double H, double r, double ox, double oy) {
    static thread_local BitmapCache<SizeKey> cache;
    return cache.get({W, H, r, ox, oy}, [&] {
        const QImage img = roundedRectBitmap(W, H, r, ox, oy);
        if (img.isNull()) return Image::solid({1, 1, 1, 1}).cropped({ox, oy, W, H});
        return Image::fromQImage(img);
    });
}

Image highlightEdge(double W, double H, double r, double ox, double oy) {
    static thread_local BitmapCache<SizeKey> cache;
    return cache.get({W, H, r, ox, oy}, [&] {
        const int bw = maskSide(ox, W), bh = maskSide(oy, H);
        QImage img = transparentBitmap(bw, bh);
        if (img.isNull()) return Image();
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QPen pen(QColor::fromRgbF(1, 1, 1, float(cards::kHighlightAlpha)));
        pen.setWidthF(cards::kHighlightWidth);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const double in = cards::kHighlightInset;
        const double rr = std::max(0.0, r - in);
        p.drawRoundedRect(QRectF(ox + in, bh - oy - H + in, W - 2 * in, H - 2 * in), rr, rr);
        p.end();
        return Image::fromQImage(img);
    });
}

Image fadeMask(double W, double h, double ox, double oy) {
    static thread_local BitmapCache<SizeKey> cache;
    return cache.get({W, h, 0.0, ox, oy}, [&] {
        const int bw = maskSide(ox, W), bh = maskSide(oy, h);
        QImage img = transparentBitmap(bw, bh);
        if (img.isNull()) return Image();
        QPainter p(&img);
        // Full at the top edge (y = oy + h), nothing at the bottom (y = oy).
        QLinearGradient g(QPointF(0, bh - oy - h), QPointF(0, bh - oy));
        g.setColorAt(0, QColor(255, 255, 255, 255));
        g.setColorAt(1, QColor(255, 255, 255, 0));
        p.fillRect(QRectF(0, 0, bw, bh), g);
        p.end();
        return Image::fromQImage(img);
    });
}

Image blendWithMask(const Image& image, const Image& mask) {
    if (image.isNull() || mask.isNull()) return {};
    return Image(std::make_shared<MaskNode>(image.node(), mask.node()));
}

Image reflection(const Image& face, double W, double H, double ox, double oy) {
    // Mirrored about the face's own middle, so it again covers (ox, oy, W, H), upside down.
    Image flipped = face.transformed(engine::Affine::scale(1, -1).then(engine::Affine::translation(0, H + 2 * oy)));
    const double rh = cards::kReflectionHeight * H;
    Image faded = blendWithMask(flipped.cropped({ox, oy, W, rh}), fadeMask(W, rh, ox, oy));
    engine::ColorMatrix m = engine::identityMatrix();
    m[18] = float(cards::kReflectionAlpha);  // alpha × 0.35
    return faded.colorMatrix(m).translated(0, -cards::kReflectionGap - rh);
}

Image glow(const QString& colorHex, double W, double H, double ox, double oy) {
    const double s = cards::kGlowSpread;
    return Image::solid(premultipliedColor(colorHex, cards::kGlowAlpha))
        .cropped({ox - s, oy - s, W + 2 * s, H + 2 * s})
        .gaussianBlur(cards::kGlowBlur);
}

Image perspectiveTilt(const Image& image, OverlayPlacement placement, double dx, double dy) {
    const Rect e = image.extent();
    if (image.isNull() || e.isEmpty() || e.isInfinite()) return image.translated(dx, dy);
    const double minX = e.x, minY = e.y, maxX = e.maxX(), maxY = e.maxY();
    const double tx = cards::kTiltX * e.w, ty = cards::kTiltY * e.h;
    const bool right = placement == OverlayPlacement::topRight || placement == OverlayPlacement::bottomRight;
    // Where the source corners go: top left, bottom left, top right, bottom right.
    std::array<engine::Point, 4> src{{{minX, maxY}, {minX, minY}, {maxX, maxY}, {maxX, minY}}};
    std::array<engine::Point, 4> dst;
    if (right)
        dst = {{{minX + tx, maxY - ty}, {minX + tx, minY + ty}, {maxX, maxY}, {maxX, minY}}};
    else
        dst = {{{minX, maxY}, {minX, minY}, {maxX - tx, maxY - ty}, {maxX - tx, minY + ty}}};
    for (auto& p : dst) p = {p.x + dx, p.y + dy};
    Homography back;  // output point → source point
    if (!Homography::solve(dst, src, &back)) return image.translated(dx, dy);
    return image.warped(std::make_shared<PerspectiveKernel>(back), {minX + dx, minY + dy, e.w, e.h});
}

// ---- The compositor ----

CardCompositor::CardCompositor() = default;
CardCompositor::~CardCompositor() = default;

void CardCompositor::clearCache() {
    cachedOverlayImage_ = QImage();
    cachedOverlayModDate_.reset();
}

QImage CardCompositor::loadOverlayImage() {
    // The path only: reading a frame must not create directories.
    const std::string dir = containerDirectoryPath();
    if (dir.empty()) {
        clearCache();
        return {};
    }
    const std::string path = dir + "/overlay.png";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        clearCache();
        return {};
    }
    // The modification date, with the file's identity and size: a replacement that happens to
    // carry the same time is still noticed.
    const FileStamp stamp{int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, uint64_t(st.st_ino),
                          int64_t(st.st_size)};
    if (!cachedOverlayImage_.isNull() && cachedOverlayModDate_ == stamp) return cachedOverlayImage_;
    // A file that failed to decode is not tried again until it changes.
    if (failedStamp_ == stamp) return {};
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(true);
    QImage img = reader.read();
    ++decodes_;
    if (img.isNull()) {
        failedStamp_ = stamp;  // the cache stays as it was
        return {};
    }
    failedStamp_.reset();
    if (img.format() != QImage::Format_ARGB32_Premultiplied) img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return {};
    cachedOverlayImage_ = img;
    cachedOverlayModDate_ = stamp;
    return cachedOverlayImage_;
}

QImage CardCompositor::scaledPicture(const QImage& picture, int rw, int rh, bool reuse) {
    if (picture.width() == rw && picture.height() == rh) return picture;
    const qint64 key = picture.cacheKey();
    if (reuse)
        for (const Scaled& s : scaled_)
            if (s.key == key && s.w == rw && s.h == rh) return s.image;
    QImage src = picture;
    if (src.format() != QImage::Format_ARGB32_Premultiplied && src.format() != QImage::Format_RGB32)
        src = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage out;
    if (reuse) {
        out = QImage(rw, rh, src.format());
    } else {
        // The camera changes every frame: one scratch, copied only while last frame's graph holds it.
        if (pipScratch_.size() != QSize(rw, rh) || pipScratch_.format() != src.format())
            pipScratch_ = QImage(rw, rh, src.format());
    }
    QImage& target = reuse ? out : pipScratch_;
    if (target.isNull()) return {};
    cv::Mat in(src.height(), src.width(), CV_8UC4, const_cast<uchar*>(src.constBits()), size_t(src.bytesPerLine()));
    cv::Mat o(rh, rw, CV_8UC4, target.bits(), size_t(target.bytesPerLine()));
    // Shrinking: averaging whole k × k blocks is OpenCV's fast area path (a fractional factor
    // takes its slow general one, ten times longer); the rest, less than 2×, is bilinear.
    const int k = std::min(src.width() / rw, src.height() / rh);
    if (k >= 2) {
        const cv::Mat whole = in(cv::Rect(0, 0, src.width() - src.width() % k, src.height() - src.height() % k));
        cv::resize(whole, areaScratch_, cv::Size(whole.cols / k, whole.rows / k), 0, 0, cv::INTER_AREA);
        if (areaScratch_.size() == o.size()) areaScratch_.copyTo(o);
        else cv::resize(areaScratch_, o, o.size(), 0, 0, cv::INTER_LINEAR);
    } else {
        cv::resize(in, o, o.size(), 0, 0, cv::INTER_LINEAR);
    }
    if (reuse) {
        scaled_.insert(scaled_.begin(), Scaled{key, rw, rh, out});
        if (scaled_.size() > 3) scaled_.pop_back();
        return out;
    }
    return pipScratch_;
}

Image CardCompositor::buildCard(const QImage& picture, const CardStyle& st, double barReserve, double topInset,
                               bool stillPicture) {
    if (picture.isNull()) return {};
    const double pw = picture.width(), ph = picture.height();
    const CardGeometry g = cardGeometry(st, pw, ph, barReserve, topInset);
    if (!(g.w > 0.5) || !(g.h > 0.5)) return {};

    // Resampled once on 8-bit pixels (area filter when shrinking) to whole pixels, then stretched
    // by the remaining fraction of a pixel so the picture is exactly w × h.
    const int rw = bitmapSide(g.w), rh = bitmapSide(g.h);
    const QImage scaled = scaledPicture(picture, rw, rh, stillPicture);
    if (scaled.isNull()) return {};
    const double b = st.frameWidth;
    const double W = g.W, H = g.H, r = cards::kCornerRadius;
    // Without a tilt the card is built on the frame's pixel grid: the fraction of its position
    // goes into the painted masks and the picture's transform, the whole pixels into a copy.
    const bool tilt = st.fancy && !st.fullScreen;
    const double bx = tilt ? 0.0 : std::floor(g.x), by = tilt ? 0.0 : std::floor(g.y);
    const double ox = tilt ? 0.0 : g.x - bx, oy = tilt ? 0.0 : g.y - by;
    const Image pic = Image::fromQImage(scaled).transformed(
        engine::Affine::scale(g.w / rw, g.h / rh).then(engine::Affine::translation(b + ox, b + oy)));
    const Image mask = roundedRectMask(W, H, r, ox, oy);
    const Rect bounds = mask.extent();
    const Image shadow = blendWithMask(Image::solid({0, 0, 0, float(st.shadowAlpha)}).cropped(bounds), mask)
                             .gaussianBlur(st.shadowBlur)
                             .translated(0, st.shadowOffset);
    // The colour fills the whole card, so transparent parts of the picture show it.
    Image framed = pic.composited(Image::solid(premultipliedColor(st.frameColorHex, 1.0)).cropped(bounds));
    if (st.fancy) framed = highlightEdge(W, H, r, ox, oy).composited(framed);
    const Image face = blendWithMask(framed, mask);
    Image card = face.composited(shadow);
    if (st.fancy) {
        card = card.composited(reflection(face, W, H, ox, oy));
        card = card.composited(glow(st.frameColorHex, W, H, ox, oy));
        if (tilt) return perspectiveTilt(card, st.placement, g.x, g.y);
    }
    return card.translated(bx, by);
}

Image CardCompositor::composeCard(const Image& frame, const QImage& picture, const CardStyle& st, double barReserve,
                                  double topInset, bool still) {
    lastExtent_ = {};
    if (picture.isNull()) return frame;
    if (!still && !st.fancy) {
        const CardGeometry g = cardGeometry(st, picture.width(), picture.height(), barReserve, topInset);
        if (!(g.w > 0.5) || !(g.h > 0.5)) return frame;
        return composeLiveCard(frame, picture, st, g);
    }
    if (!still) {
        const Image card = buildCard(picture, st, barReserve, topInset, false);
        if (card.isNull()) return frame;
        lastExtent_ = card.extent();
        return card.composited(frame);
    }
    // The overlay card only changes with its picture, settings or the bar: render it once into a
    // bitmap at its place and composite that, instead of the whole graph every frame.
    const CardKey key{picture.cacheKey(), st, barReserve, topInset};
    if (cardKey_ != key) {
        cardKey_.reset();
        cardImage_ = {};
        cardImage_ = renderOnce(buildCard(picture, st, barReserve, topInset, true));
        cardKey_ = key;
    }
    if (cardImage_.isNull()) return frame;
    lastExtent_ = cardImage_.extent();
    return placeOver(cardImage_, 0, frame);
}

Image CardCompositor::renderOnce(const Image& graph) {
    if (graph.isNull()) return {};
    // Far beyond the frame nothing is seen; the bound keeps a runaway extent from allocating.
    const engine::IRect r = engine::enclosingIRect(graph.extent()).intersected({-4096, -4096, 2 * 4096 + 1280, 2 * 4096 + 720});
    if (r.isEmpty()) return {};
    if (!cardRenderer_) cardRenderer_ = std::make_unique<engine::Renderer>(1, 128);
    // Kept in floats until stored: the glow's and shadow's faint tails fade out smoothly.
    const std::vector<float> pixels = cardRenderer_->renderFloat(graph, r);
    ++cardRenders_;
    return paintedLayer(pixels, r);
}

Image CardCompositor::composeLiveCard(const Image& frame, const QImage& picture, const CardStyle& st,
                                      const CardGeometry& g) {
    const double W = g.W, H = g.H, r = cards::kCornerRadius, b = st.frameWidth;
    const double bx = std::floor(g.x), by = std::floor(g.y), ox = g.x - bx, oy = g.y - by;
    const ChromeKey key{st, g.x, g.y, W, H};
    if (chromeKey_ != key) {
        chromeKey_.reset();
        // The card with an empty picture: frame colour inside the rounded corners, over the shadow.
        const Image mask = roundedRectMask(W, H, r, ox, oy);
        const Rect bounds = mask.extent();
        const Image shadow = blendWithMask(Image::solid({0, 0, 0, float(st.shadowAlpha)}).cropped(bounds), mask)
                                 .gaussianBlur(st.shadowBlur)
                                 .translated(0, st.shadowOffset);
        const Image face = blendWithMask(Image::solid(premultipliedColor(st.frameColorHex, 1.0)).cropped(bounds), mask);
        chromeImage_ = renderOnce(face.composited(shadow).translated(bx, by));
        chromeMask_ = roundedRectBitmap(W, H, r, ox, oy);
        chromeKey_ = key;
    }
    if (chromeImage_.isNull()) return frame;
    lastExtent_ = chromeImage_.extent();
    Image out = placeOver(chromeImage_, 0, frame);

    // The picture: area-resampled to whole pixels, then moved by its fractions onto the grid.
    const int rw = bitmapSide(g.w), rh = bitmapSide(g.h);
    const QImage scaled = scaledPicture(picture, rw, rh, false);
    if (scaled.isNull()) return out;
    const double left = g.x + b, bottom = g.y + b, top = bottom + g.h;
    const int px0 = int(std::floor(left)), px1 = int(std::ceil(left + g.w));
    const int py0 = int(std::floor(bottom)), py1 = int(std::ceil(top));
    const int pw = px1 - px0, ph = py1 - py0;
    if (pw <= 0 || ph <= 0) return out;
    if (placedScratch_.size() != QSize(pw, ph)) placedScratch_ = QImage(pw, ph, QImage::Format_ARGB32_Premultiplied);
    if (placedScratch_.isNull()) return out;
    const double sx = g.w / rw, sy = g.h / rh;
    const double offX = left - px0, offY = py1 - top;  // rows count downwards
    const double m[6] = {sx, 0, 0.5 * sx - 0.5 + offX, 0, sy, 0.5 * sy - 0.5 + offY};
    cv::Mat src(scaled.height(), scaled.width(), CV_8UC4, const_cast<uchar*>(scaled.constBits()), size_t(scaled.bytesPerLine()));
    cv::Mat dst(ph, pw, CV_8UC4, placedScratch_.bits(), size_t(placedScratch_.bytesPerLine()));
    cv::warpAffine(src, dst, cv::Mat(2, 3, CV_64F, const_cast<double*>(m)), dst.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0, 0));
    // RGB32 pixels carry 0xFF in their top byte, so the warped result is valid premultiplied.
    // Round the picture's corners with the card's own coverage.
    if (!chromeMask_.isNull()) {
        const int mx0 = px0 - int(bx), myTop = int(by) + chromeMask_.height() - py1;
        for (int j = 0; j < ph; ++j) {
            const int my = myTop + j;
            auto* row = reinterpret_cast<uint32_t*>(placedScratch_.scanLine(j));
            const auto* mrow = (my >= 0 && my < chromeMask_.height())
                                   ? reinterpret_cast<const uint32_t*>(chromeMask_.constScanLine(my))
                                   : nullptr;
            for (int i = 0; i < pw; ++i) {
                const int mx = mx0 + i;
                const uint32_t cov = (mrow && mx >= 0 && mx < chromeMask_.width()) ? (mrow[mx] >> 24) : 0u;
                if (cov == 255) continue;
                const uint32_t p = row[i];
                auto mul = [cov](uint32_t c) { return (c * cov + 127) / 255; };
                row[i] = mul(p >> 24) << 24 | mul((p >> 16) & 0xFF) << 16 | mul((p >> 8) & 0xFF) << 8 | mul(p & 0xFF);
            }
        }
    }
    return placeOver(paintedLayer(placedScratch_, px0, py0), 0, out);
}

Image CardCompositor::composeOverlayCard(const Image& frame, double barReserve, double topInset) {
    lastExtent_ = {};
    if (!settings::overlayImageEnabled()) return frame;
    const QImage picture = loadOverlayImage();
    if (picture.isNull()) return frame;
    return composeCard(frame, picture, CardStyle::overlayFromSettings(), barReserve, topInset, /*still=*/true);
}

Image CardCompositor::composePiPCard(const Image& frame, const QImage& camera, double barReserve, double topInset) {
    lastExtent_ = {};
    if (!settings::videoCameraPiPEnabled() || camera.isNull()) return frame;
    return composeCard(frame, camera, CardStyle::pipFromSettings(), barReserve, topInset);
}

}  // namespace ostrela
