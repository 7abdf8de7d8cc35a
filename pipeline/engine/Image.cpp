#include "pipeline/engine/Image.h"
#include "pipeline/engine/Schedule.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cstring>

namespace ostrela::engine {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kHuge = 1 << 28;  // pixel bound standing in for infinity

int clampToInt(double v) {
    if (!(v > -kHuge)) return -kHuge;
    if (!(v < kHuge)) return kHuge;
    return int(v);
}

void zero(float* p, size_t floats) { std::memset(p, 0, floats * sizeof(float)); }
}  // namespace

// ---- Geometry ----

Rect Rect::infinite() { return {-kInf, -kInf, kInf, kInf}; }
bool Rect::isInfinite() const { return std::isinf(x) || std::isinf(y) || std::isinf(w) || std::isinf(h); }

Rect Rect::intersected(const Rect& o) const {
    if (isEmpty() || o.isEmpty()) return {};
    double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    double x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (isInfinite() && o.isInfinite()) {
        if (std::isinf(x0) && std::isinf(x1)) return infinite();
    }
    if (!(x1 > x0) || !(y1 > y0)) return {};
    return {x0, y0, std::isinf(x1) || std::isinf(x0) ? kInf : x1 - x0, std::isinf(y1) || std::isinf(y0) ? kInf : y1 - y0};
}

Rect Rect::united(const Rect& o) const {
    if (isEmpty()) return o;
    if (o.isEmpty()) return *this;
    double x0 = std::min(x, o.x), y0 = std::min(y, o.y);
    double x1 = std::max(maxX(), o.maxX()), y1 = std::max(maxY(), o.maxY());
    if (std::isinf(x0) || std::isinf(x1) || std::isinf(y0) || std::isinf(y1)) return infinite();
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::insetBy(double dx, double dy) const {
    if (isInfinite()) return *this;
    Rect r{x + dx, y + dy, w - 2 * dx, h - 2 * dy};
    return r.isEmpty() ? Rect{} : r;
}

IRect IRect::intersected(const IRect& o) const {
    int x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    int x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

IRect pixelBounds(const Rect& r) {
    if (r.isEmpty()) return {};
    if (r.isInfinite()) {
        // Infinite sides only occur as whole infinite rects here (or infinite widths).
        int x0 = clampToInt(std::ceil(r.x - 0.5)), y0 = clampToInt(std::ceil(r.y - 0.5));
        int x1 = clampToInt(std::ceil(r.maxX() - 0.5)), y1 = clampToInt(std::ceil(r.maxY() - 0.5));
        return {x0, y0, x1 - x0, y1 - y0};
    }
    int x0 = int(std::ceil(r.x - 0.5)), y0 = int(std::ceil(r.y - 0.5));
    int x1 = int(std::ceil(r.maxX() - 0.5)), y1 = int(std::ceil(r.maxY() - 0.5));
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

IRect enclosingIRect(const Rect& r) {
    if (r.isEmpty()) return {};
    int x0 = clampToInt(std::floor(r.x)), y0 = clampToInt(std::floor(r.y));
    int x1 = clampToInt(std::ceil(r.maxX())), y1 = clampToInt(std::ceil(r.maxY()));
    return {x0, y0, x1 - x0, y1 - y0};
}

Affine Affine::then(const Affine& n) const {
    return {n.a * a + n.c * b, n.b * a + n.d * b, n.a * c + n.c * d, n.b * c + n.d * d,
            n.a * tx + n.c * ty + n.tx, n.b * tx + n.d * ty + n.ty};
}

Affine Affine::inverted() const {
    double det = a * d - b * c;
    if (det == 0) return {0, 0, 0, 0, 0, 0};
    double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
    return {ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
}

Rect Affine::mapRect(const Rect& r) const {
    if (r.isEmpty()) return {};
    if (r.isInfinite()) return Rect::infinite();
    Point p[4] = {map({r.x, r.y}), map({r.maxX(), r.y}), map({r.x, r.maxY()}), map({r.maxX(), r.maxY()})};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (auto& q : p) {
        x0 = std::min(x0, q.x); x1 = std::max(x1, q.x);
        y0 = std::min(y0, q.y); y1 = std::max(y1, q.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

Color Color::fromSRGB(double r, double g, double b, double a) {
    float af = float(std::clamp(a, 0.0, 1.0));
    return {float(color::srgbToLinear(std::clamp(r, 0.0, 1.0))) * af, float(color::srgbToLinear(std::clamp(g, 0.0, 1.0))) * af,
            float(color::srgbToLinear(std::clamp(b, 0.0, 1.0))) * af, af};
}

ColorMatrix identityMatrix() {
    ColorMatrix m{};
    m[0] = m[6] = m[12] = m[18] = 1.0f;
    return m;
}

ColorMatrix composeMatrices(const ColorMatrix& f, const ColorMatrix& s) {
    ColorMatrix out{};
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) {
            float v = 0;
            for (int k = 0; k < 4; ++k) v += s[row * 5 + k] * f[k * 5 + col];
            out[row * 5 + col] = v;
        }
        float bias = s[row * 5 + 4];
        for (int k = 0; k < 4; ++k) bias += s[row * 5 + k] * f[k * 5 + 4];
        out[row * 5 + 4] = bias;
    }
    return out;
}

// ---- Helpers ----

namespace detail {
void clearOutside(float* out, const IRect& r, const Rect& extent) {
    IRect e = pixelBounds(extent);
    if (e.contains(r)) return;
    IRect in = r.intersected(e);
    for (int j = 0; j < r.h; ++j) {
        float* row = out + size_t(j) * r.w * 4;
        int y = r.y + j;
        if (in.isEmpty() || y < in.y || y >= in.maxY()) {
            zero(row, size_t(r.w) * 4);
            continue;
        }
        zero(row, size_t(in.x - r.x) * 4);
        zero(row + size_t(in.maxX() - r.x) * 4, size_t(r.maxX() - in.maxX()) * 4);
    }
}

void sampleBilinearRows(const float* r0, const float* r1, int x, int w, double fx, float wy, float* o) {
    o[0] = o[1] = o[2] = o[3] = 0.0f;
    const double flx = std::floor(fx);
    if (!(std::abs(flx) < 1e9)) return;
    const int x0 = int(flx) - x;
    const float wx = float(fx - flx);
    auto add = [&](const float* row, int c0, float k) {
        if (!row || c0 < 0 || c0 >= w || k == 0.0f) return;
        for (int c = 0; c < 4; ++c) o[c] += k * row[size_t(c0) * 4 + c];
    };
    add(r0, x0, (1 - wx) * (1 - wy));
    add(r0, x0 + 1, wx * (1 - wy));
    add(r1, x0, (1 - wx) * wy);
    add(r1, x0 + 1, wx * wy);
}

void sampleBilinear(const float* buf, const IRect& br, double px, double py, float* o) {
    const double fy = py - 0.5, fly = std::floor(fy);
    if (!(std::abs(fly) < 1e9)) {
        o[0] = o[1] = o[2] = o[3] = 0.0f;
        return;
    }
    const int y0 = int(fly) - br.y;
    auto row = [&](int y) { return y >= 0 && y < br.h ? buf + size_t(y) * br.w * 4 : nullptr; };
    sampleBilinearRows(row(y0), row(y0 + 1), br.x, br.w, px - 0.5, float(fy - fly), o);
}
}  // namespace detail

// ---- Nodes ----

SourceNode::SourceNode(QImage image) : image_(std::move(image)) {}

void SourceNode::render(TileContext&, const IRect& r, float* out) const {
    const int w = image_.width(), h = image_.height();
    for (int j = 0; j < r.h; ++j) {
        float* row = out + size_t(j) * r.w * 4;
        int y = r.y + j;
        int qy = h - 1 - y;  // the QImage's first row is the top of the extent
        if (qy < 0 || qy >= h) {
            zero(row, size_t(r.w) * 4);
            continue;
        }
        int x0 = std::clamp(0 - r.x, 0, r.w), x1 = std::clamp(w - r.x, 0, r.w);
        zero(row, size_t(x0) * 4);
        if (x1 > x0) color::decodeRow(image_.constScanLine(qy) + size_t(r.x + x0) * 4, x1 - x0, row + size_t(x0) * 4);
        zero(row + size_t(std::max(x1, x0)) * 4, size_t(r.w - std::max(x1, x0)) * 4);
    }
}

void SolidNode::render(TileContext&, const IRect& r, float* out) const {
    size_t n = size_t(r.w) * r.h;
    for (size_t i = 0; i < n; ++i) {
        out[4 * i] = color_.r; out[4 * i + 1] = color_.g; out[4 * i + 2] = color_.b; out[4 * i + 3] = color_.a;
    }
}

float NoiseNode::value(int x, int y, int channel) {
    // Murmur-style finaliser over the packed coordinates: cheap, well mixed, no state.
    uint64_t h = (uint64_t(uint32_t(x)) << 32 | uint32_t(y)) * 0x9E3779B97F4A7C15ull + uint64_t(channel) * 0xD1B54A32D192ED03ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return float(uint32_t(h) >> 8) * (1.0f / 16777216.0f);
}

void NoiseNode::render(TileContext&, const IRect& r, float* out) const {
    for (int j = 0; j < r.h; ++j) {
        float* o = out + size_t(j) * r.w * 4;
        for (int i = 0; i < r.w; ++i)
            for (int c = 0; c < 4; ++c) o[4 * i + c] = value(r.x + i, r.y + j, c);
    }
}

TransformNode::TransformNode(NodePtr in, const Affine& t)
    : in_(std::move(in)), t_(t), inv_(t.inverted()), extent_(t.mapRect(in_->extent())) {}

bool TransformNode::sparse(TileContext& ctx, const IRect& r, SparsePixels& out) const {
    int dx, dy;
    if (!isIntegerTranslation(&dx, &dy) || !in_->sparse(ctx, {r.x - dx, r.y - dy, r.w, r.h}, out)) return false;
    out.region.x += dx;
    out.region.y += dy;
    for (SparsePixels::Point& p : out.points) p.x += dx, p.y += dy;
    return true;
}

bool TransformNode::isIntegerTranslation(int* dx, int* dy) const {
    if (t_.a != 1 || t_.b != 0 || t_.c != 0 || t_.d != 1) return false;
    if (t_.tx != std::floor(t_.tx) || t_.ty != std::floor(t_.ty)) return false;
    if (std::abs(t_.tx) > kHuge || std::abs(t_.ty) > kHuge) return false;
    *dx = int(t_.tx);
    *dy = int(t_.ty);
    return true;
}

IRect TransformNode::roi(int, const IRect& dest) const {
    int dx, dy;
    if (isIntegerTranslation(&dx, &dy)) return {dest.x - dx, dest.y - dy, dest.w, dest.h};
    // Pixel centres of dest mapped back; the bilinear footprint adds one pixel on each side.
    Rect centres{dest.x + 0.5, dest.y + 0.5, std::max(dest.w - 1.0, 1e-9), std::max(dest.h - 1.0, 1e-9)};
    Rect s = inv_.mapRect(centres);
    int x0 = int(std::floor(s.x - 0.5)), y0 = int(std::floor(s.y - 0.5));
    int x1 = int(std::floor(s.maxX() - 0.5)) + 2, y1 = int(std::floor(s.maxY() - 0.5)) + 2;
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace {
struct AxisRows {
    const float* src;
    // Or an input whose rows lie in memory apart (kept in bands or in a ring): its rows read in place.
    const RowSource* rows;
    const void* rowsState;
    IRect sr, r;
    const int* cx;
    const float* cw;
    int* edges;
    float* mix;  // magnified or moved: the two source rows mixed, over the columns a piece reads
    bool moved;  // a plain move: every pixel mixed across by the same weight wx
    float wx;
    // Row y0 of the source (0 the first of sr), or null outside it.
    const float* row(int y0) const {
        if (y0 < 0 || y0 >= sr.h) return nullptr;
        return rows ? rows->rowIn(rowsState, sr.y + y0, sr.x, sr.maxX()) : src + size_t(y0) * sr.w * 4;
    }
};
}  // namespace

const void* TransformNode::readyRows(TileContext& ctx, const IRect& r) const {
    int dx, dy;
    if (isIntegerTranslation(&dx, &dy) || inv_.b != 0 || inv_.c != 0 || r.isEmpty()) return nullptr;
    auto* s = reinterpret_cast<AxisRows*>(ctx.alloc((sizeof(AxisRows) + sizeof(float) - 1) / sizeof(float)));
    s->r = r;
    // A stored input is read where it lies: outside its pixels it is transparent, as a pulled copy
    // would be.
    IRect sb;
    s->src = nullptr;
    s->rows = nullptr;
    s->rowsState = nullptr;
    const auto* source = dynamic_cast<const RowSource*>(in_.get());
    if (const float* p = in_->storedPixels(&sb); p && !sb.isEmpty()) {
        s->sr = sb;
        s->src = p;
    } else if (source && source->rowsLieInMemory()) {
        // Beyond its pixels the input is transparent, as beyond a stored picture's.
        const Rect e = in_->extent();
        s->sr = e.isInfinite() ? roi(0, r) : roi(0, r).intersected(pixelBounds(e));
        s->rowsState = s->sr.isEmpty() ? nullptr : source->readyRows(ctx, s->sr);
        if (s->rowsState) s->rows = source;
    }
    if (!s->src && !s->rows) {
        s->sr = roi(0, r);
        s->src = ctx.pull(*in_, s->sr);
    }
    // Column positions and weights once for the rectangle; row weights once per row.
    int* cx = reinterpret_cast<int*>(ctx.alloc(size_t(r.w)));
    float* cw = ctx.alloc(size_t(r.w));
    // A move by a fraction of a pixel across: the same weight for every column, from the move
    // alone, so a pixel's value does not depend on where the rectangle starts.
    s->moved = inv_.a == 1.0 && std::abs(inv_.tx) < 1e9;
    const double ftx = s->moved ? std::floor(inv_.tx) : 0.0;
    s->wx = float(inv_.tx - ftx);
    for (int i = 0; i < r.w; ++i) {
        if (s->moved) {
            cx[i] = r.x + i + int(ftx) - s->sr.x;
            cw[i] = s->wx;
            continue;
        }
        double f = inv_.a * (r.x + i + 0.5) + inv_.tx - 0.5 - s->sr.x;
        double fl = std::floor(f);
        cx[i] = int(fl);
        cw[i] = float(f - fl);
    }
    s->cx = cx;
    s->cw = cw;
    s->edges = reinterpret_cast<int*>(ctx.alloc(size_t(r.w)));
    // Magnified (each output pixel a step of less than a source pixel): the source rows are
    // mixed once for all the output pixels between the same columns, then taken across.
    s->mix = (inv_.a > 0 && inv_.a < 1) || s->moved ? ctx.alloc((size_t(r.w) + 2) * 4) : nullptr;
    return s;
}

void TransformNode::rowOf(const void* state, int y, int xa, int xb, float* o) const {
    const AxisRows& s = *static_cast<const AxisRows*>(state);
    const int n = xb - xa;
    double f = inv_.d * (y + 0.5) + inv_.ty - 0.5;
    double fl = std::floor(f);
    int y0 = int(fl) - s.sr.y;
    float wy = float(f - fl);
    int ne = 0;
    const float* p0 = s.row(y0);
    const float* p1 = s.row(y0 + 1);
    if (p0 && p1 && s.mix) {
        const int* cx = s.cx + (xa - s.r.x);
        // Columns rise with i: the pixels whose taps lie inside are one interval.
        int lo = 0, hi = n;
        while (lo < n && cx[lo] < 0) s.edges[ne++] = lo++;
        while (hi > lo && cx[hi - 1] + 1 >= s.sr.w) --hi;
        for (int i = hi; i < n; ++i) s.edges[ne++] = i;
        if (hi > lo) {
            const int c0 = cx[lo], c1 = cx[hi - 1] + 2;
            kernels::mixRows(p0 + size_t(c0) * 4, p1 + size_t(c0) * 4, size_t(c1 - c0) * 4, wy, s.mix);
            if (s.moved)  // then each pixel with its right neighbour in the mix
                kernels::mixRows(s.mix, s.mix + 4, size_t(hi - lo) * 4, s.wx, o + size_t(lo) * 4);
            else
                kernels::tapsRow(s.mix, cx + lo, s.cw + (xa - s.r.x) + lo, c0, hi - lo, o + size_t(lo) * 4);
        }
    } else if (p0 && p1) {
        ne = kernels::bilinearColumnsRow(p0, p1, s.sr.w, s.cx + (xa - s.r.x), s.cw + (xa - s.r.x), wy, n, o, s.edges);
    } else {
        for (int i = 0; i < n; ++i) s.edges[i] = i;
        ne = n;
    }
    if (!(std::abs(fl) < 1e9)) p0 = p1 = nullptr;
    for (int e = 0; e < ne; ++e) {
        const int i = s.edges[e];
        detail::sampleBilinearRows(p0, p1, s.sr.x, s.sr.w, inv_.a * (xa + i + 0.5) + inv_.tx - 0.5, wy, o + 4 * i);
    }
}

bool TransformNode::movedRows(const void* state, int y, int xa, int xb, const float** row, const float** above, float* wx,
                              float* wy) const {
    const AxisRows& s = *static_cast<const AxisRows*>(state);
    if (!s.moved || xa >= xb) return false;
    const double f = inv_.d * (y + 0.5) + inv_.ty - 0.5, fl = std::floor(f);
    const int y0 = int(fl) - s.sr.y;
    const int c0 = s.cx[xa - s.r.x], c1 = s.cx[xb - 1 - s.r.x];
    if (y0 < 0 || y0 + 1 >= s.sr.h || c0 < 0 || c1 + 1 >= s.sr.w) return false;
    *row = s.row(y0) + size_t(c0) * 4;
    *above = s.row(y0 + 1) + size_t(c0) * 4;
    *wx = s.wx;
    *wy = float(f - fl);
    return true;
}

void TransformNode::render(TileContext& ctx, const IRect& r, float* out) const {
    int dx, dy;
    if (isIntegerTranslation(&dx, &dy)) {
        ctx.renderInto(*in_, roi(0, r), out);
        return;
    }
    if (const void* rows = readyRows(ctx, r)) {
        for (int j = 0; j < r.h; ++j) rowOf(rows, r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4);
        return;
    }
    const IRect sr = roi(0, r);
    const float* src = ctx.pull(*in_, sr);
    for (int j = 0; j < r.h; ++j) {
        float* o = out + size_t(j) * r.w * 4;
        for (int i = 0; i < r.w; ++i) {
            Point p = inv_.map({r.x + i + 0.5, r.y + j + 0.5});
            detail::sampleBilinear(src, sr, p.x, p.y, o + 4 * i);
        }
    }
}

void CropNode::render(TileContext& ctx, const IRect& r, float* out) const {
    IRect c = pixelBounds(rect_);
    if (c.contains(r)) {
        ctx.renderInto(*in_, r, out);
        return;
    }
    IRect in = r.intersected(c);
    zero(out, size_t(r.w) * r.h * 4);
    if (in.isEmpty()) return;
    const float* src = ctx.pull(*in_, in);
    for (int j = 0; j < in.h; ++j)
        std::memcpy(out + (size_t(in.y - r.y + j) * r.w + (in.x - r.x)) * 4, src + size_t(j) * in.w * 4,
                    size_t(in.w) * 4 * sizeof(float));
}

bool CropNode::sparse(TileContext& ctx, const IRect& r, SparsePixels& out) const {
    const IRect c = pixelBounds(rect_), in = r.intersected(c);
    if (in.isEmpty()) {
        out.region = {};
        out.points.clear();
        return true;
    }
    if (!in_->sparse(ctx, in, out)) return false;
    out.region = out.region.intersected(in);
    return true;
}

IRect ClampNode::roi(int, const IRect& dest) const {
    if (px_.isEmpty()) return {};
    int x0 = std::clamp(dest.x, px_.x, px_.maxX() - 1), x1 = std::clamp(dest.maxX() - 1, px_.x, px_.maxX() - 1) + 1;
    int y0 = std::clamp(dest.y, px_.y, px_.maxY() - 1), y1 = std::clamp(dest.maxY() - 1, px_.y, px_.maxY() - 1) + 1;
    return {x0, y0, x1 - x0, y1 - y0};
}

void ClampNode::render(TileContext& ctx, const IRect& r, float* out) const {
    if (px_.isEmpty()) {
        zero(out, size_t(r.w) * r.h * 4);
        return;
    }
    IRect sr = roi(0, r);
    if (sr == r) {
        ctx.renderInto(*in_, r, out);
        return;
    }
    const float* src = ctx.pull(*in_, sr);
    for (int j = 0; j < r.h; ++j) {
        int sy = std::clamp(r.y + j, sr.y, sr.maxY() - 1) - sr.y;
        const float* srow = src + size_t(sy) * sr.w * 4;
        float* o = out + size_t(j) * r.w * 4;
        // Left run, copied middle, right run.
        int mid0 = std::clamp(sr.x - r.x, 0, r.w), mid1 = std::clamp(sr.maxX() - r.x, 0, r.w);
        for (int i = 0; i < mid0; ++i) std::memcpy(o + 4 * i, srow, 4 * sizeof(float));
        if (mid1 > mid0)
            std::memcpy(o + 4 * mid0, srow + size_t(r.x + mid0 - sr.x) * 4, size_t(mid1 - mid0) * 4 * sizeof(float));
        const float* last = srow + size_t(sr.w - 1) * 4;
        for (int i = std::max(mid1, mid0); i < r.w; ++i) std::memcpy(o + 4 * i, last, 4 * sizeof(float));
    }
}

void OverNode::applyRow(const float* const* in, int n, float* acc) const { kernels::overRow(in[0], n, acc); }
bool OverNode::applyRowFrom(const float* const* in, const float* carried, int n, float* acc) const {
    kernels::overRowFrom(in[0], carried, n, acc);
    return true;
}

void PixelOp::applyFrom(const float* src, float* dst, int n) const {
    if (src != dst) std::memcpy(dst, src, size_t(n) * 4 * sizeof(float));
    apply(dst, n);
}

void PointwiseNode::render(TileContext& ctx, const IRect& r, float* out) const {
    // Inputs that produce rows independently (decoded pictures, generators) are pulled a few rows
    // at a time so the pixels stay in cache from decode through every operation; others once.
    const Node* in = in_.get();
    const bool rowwise = dynamic_cast<const SourceNode*>(in) || dynamic_cast<const SolidNode*>(in) ||
                         dynamic_cast<const NoiseNode*>(in);
    const int chunk = rowwise ? 4 : r.h;
    for (int j0 = 0; j0 < r.h; j0 += chunk) {
        const int h = std::min(chunk, r.h - j0);
        float* rows = out + size_t(j0) * r.w * 4;
        ctx.renderInto(*in, {r.x, r.y + j0, r.w, h}, rows);
        for (int j = 0; j < h; ++j)
            for (const auto& op : ops_) op->apply(rows + size_t(j) * r.w * 4, r.w);
    }
    detail::clearOutside(out, r, extent());
}

MatrixOp::MatrixOp(const ColorMatrix& m) : m_(m) {
    ColorMatrix fade = identityMatrix();
    fade[18] = m[18];
    if (m == fade && m[18] >= 0.0f && m[18] <= 1.0f) alphaScale_ = m[18];
    ColorMatrix gain = identityMatrix();
    for (int c = 0; c < 3; ++c) gain[size_t(c * 6)] = m[size_t(c * 6)];
    if (alphaScale_ < 0.0f && m == gain && !(m == identityMatrix())) {
        hasGain_ = true;
        gain_ = {m[0], m[6], m[12]};
    }
}

void MatrixOp::apply(float* p, int n) const { applyFrom(p, p, n); }

void MatrixOp::applyFrom(const float* src, float* dst, int n) const {
    if (alphaScale_ >= 0.0f)
        kernels::alphaScaleRow(alphaScale_, src, dst, n);
    else if (hasGain_)
        kernels::gainRow(gain_.data(), src, dst, n);
    else
        kernels::matrixRowFrom(m_.data(), src, dst, n);
}

IRect WarpNode::roi(int, const IRect& dest) const {
    Rect d{double(dest.x), double(dest.y), double(dest.w), double(dest.h)};
    return enclosingIRect(kernel_->roi(d)).grown(1, 1);
}

void WarpNode::render(TileContext& ctx, const IRect& r, float* out) const {
    if (kernel_->separable())
        if (auto* clamp = dynamic_cast<const ClampNode*>(in_.get())) {
            // Taps clamped onto the picture itself: read the picture, not its clamped copy.
            const Node& pic = *clamp->input(0);
            const IRect pr = roi(0, r).intersected(pixelBounds(pic.extent()));
            if (pr.isEmpty()) {
                std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
                return;
            }
            const kernels::WarpSource source{ctx.pull(pic, pr), pr.x, pr.y, pr.w, pr.h};
            // The columns' terms from the kernel's first row.
            float* sx = ctx.alloc(size_t(r.w));
            float* dyc = ctx.alloc(size_t(r.w));
            kernel_->mapRow(r.x, r.y, r.w, sx, dyc);
            const float py0 = float(r.y) + 0.5f;
            for (int i = 0; i < r.w; ++i) dyc[i] -= py0;
            // Nothing moves down (a tear, a wobble): each row is its source row moved across.
            const bool across = std::all_of(dyc, dyc + r.w, [](float v) { return v == 0.0f; });
            for (int j = 0; j < r.h; ++j) {
                // The row's move read at column 0, so every rectangle of the row sees the same one.
                float x1, y1;
                kernel_->mapRow(0, r.y + j, 1, &x1, &y1);
                const float dx = x1 - 0.5f;
                float* o = out + size_t(j) * r.w * 4;
                if (across)
                    kernels::shiftRow(source, r.x, r.w, dx, r.y + j, o);
                else
                    kernels::separableWarpRow(source, r.x, r.w, dx, float(r.y + j) + 0.5f, dyc, o);
            }
            detail::clearOutside(out, r, extent_);
            return;
        }
    IRect sr = roi(0, r);
    const float* src = ctx.pull(*in_, sr);
    float* sx = ctx.alloc(size_t(r.w));
    float* sy = ctx.alloc(size_t(r.w));
    for (int j = 0; j < r.h; ++j) {
        kernel_->mapRow(r.x, r.y + j, r.w, sx, sy);
        float* o = out + size_t(j) * r.w * 4;
        for (int i = 0; i < r.w; ++i) detail::sampleBilinear(src, sr, sx[i], sy[i], o + 4 * i);
    }
    detail::clearOutside(out, r, extent_);
}

// ---- Image ----

Image Image::fromQImage(const QImage& image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) return {};
    if (image.format() == QImage::Format_ARGB32_Premultiplied || image.format() == QImage::Format_RGB32)
        return Image(std::make_shared<SourceNode>(image));
    return Image(std::make_shared<SourceNode>(image.convertToFormat(QImage::Format_ARGB32_Premultiplied)));
}

Image Image::noise() {
    static const NodePtr node = std::make_shared<NoiseNode>();
    return Image(node);
}

Image Image::solid(const Color& c) { return Image(std::make_shared<SolidNode>(c)); }

Rect Image::extent() const { return node_ ? node_->extent() : Rect{}; }

Image Image::transformed(const Affine& t) const {
    if (!node_ || t.isIdentity()) return *this;
    if (auto* inner = dynamic_cast<const TransformNode*>(node_.get()))
        return Image(std::make_shared<TransformNode>(inner->inputPtr(), inner->transform().then(t)));
    // Channel gains are moved past: the move then reads the picture below where it lies, and a
    // run can take the gain into its own pass.
    if (auto* pw = dynamic_cast<const PointwiseNode*>(node_.get()); pw && !straightforwardChains()) {
        bool gains = !pw->ops().empty();
        for (const PixelOpPtr& op : pw->ops()) {
            auto* m = dynamic_cast<const MatrixOp*>(op.get());
            gains = gains && m && m->gain();
        }
        if (gains) return Image(std::make_shared<PointwiseNode>(Image(pw->inputPtr()).transformed(t).node(), pw->ops()));
    }
    return Image(std::make_shared<TransformNode>(node_, t));
}

Image Image::cropped(const Rect& r) const {
    if (!node_) return *this;
    Rect e = extent();
    Rect c = e.intersected(r);
    if (c.isEmpty()) return {};
    if (!e.isInfinite() && c == e) return *this;
    return Image(std::make_shared<CropNode>(node_, c));
}

Image Image::clampedToExtent() const {
    if (!node_ || extent().isInfinite() || extent().isEmpty()) return *this;
    return Image(std::make_shared<ClampNode>(node_));
}

Image Image::composited(const Image& background) const {
    if (!node_) return background;
    if (!background.node_) return *this;
    return Image(std::make_shared<OverNode>(node_, background.node_));
}

Image Image::colorMatrix(const ColorMatrix& m) const { return pixelOp(std::make_shared<MatrixOp>(m)); }

bool isPerChannel(const ColorMatrix& m) {
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            if (row != col && m[size_t(row * 5 + col)] != 0.0f) return false;
    return m[18] == 1.0f && m[19] == 0.0f;
}

bool matrixKeepsGrey(const ColorMatrix& m, bool greyIn) {
    const auto row = [&](int r, int c) { return m[size_t(r * 5 + c)]; };
    bool same = true;
    for (int c = 0; c < 5; ++c) same = same && row(0, c) == row(1, c) && row(0, c) == row(2, c);
    if (same || !greyIn) return same;
    const auto sum = [&](int r) { return row(r, 0) + row(r, 1) + row(r, 2); };
    return sum(0) == sum(1) && sum(0) == sum(2) && row(0, 3) == row(1, 3) && row(0, 3) == row(2, 3) &&
           row(0, 4) == row(1, 4) && row(0, 4) == row(2, 4);
}

bool PixelOp::perChannel() const { return matrix() && isPerChannel(*matrix()); }
bool PixelOp::keepsGrey(bool greyIn) const { return matrix() && matrixKeepsGrey(*matrix(), greyIn); }

void LuminanceMapOp::apply(float* p, int n) const {
    for (int i = 0; i < n; ++i, p += 4) colourAt(p[0] * w_[0] + p[1] * w_[1] + p[2] * w_[2], p);
}

const float* LuminanceMapOp::table() const {
    std::call_once(baked_, [this] {
        table_.assign(size_t(kTableSteps + 2) * 4, 0.0f);
        for (int i = 0; i <= kTableSteps + 1; ++i)
            colourAt(float(std::min(i, kTableSteps)) / kTableSteps, &table_[size_t(i) * 4]);
    });
    return table_.data();
}

namespace {
// A luminance map read from its table.
class LuminanceTableOp final : public PixelOp {
public:
    explicit LuminanceTableOp(std::shared_ptr<const LuminanceMapOp> map) : map_(std::move(map)) {}
    void apply(float* p, int n) const override {
        const float* table = map_->table();
        thread_local std::vector<int> outside;
        outside.resize(size_t(n));
        const int m = kernels::luminanceMapRow(p, n, map_->weights().data(), table, LuminanceMapOp::kTableSteps, outside.data());
        for (int e = 0; e < m; ++e) map_->apply(p + 4 * outside[size_t(e)], 1);
    }
    bool perChannel() const override { return false; }

private:
    std::shared_ptr<const LuminanceMapOp> map_;
};

// A per-pixel chain over a grey picture: a function of the grey level, read from a table of it
// for opaque pixels (what camera pictures are); the rest go through the chain itself.
class GreyChainOp final : public PixelOp {
public:
    static constexpr int kSteps = 4096;
    explicit GreyChainOp(std::vector<PixelOpPtr> chain) : chain_(std::move(chain)) {}
    const std::vector<PixelOpPtr>& chain() const { return chain_; }
    void apply(float* p, int n) const override { applyFrom(p, p, n); }
    void applyFrom(const float* src, float* p, int n) const override {
        std::call_once(baked_, [this] { bake(); });
        thread_local std::vector<int> outside;
        thread_local std::vector<float> rest;
        outside.resize(size_t(n));
        const int m = kernels::greyMapRow(src, p, n, table_.data(), level_.empty() ? nullptr : level_.data(), kSteps, flat_, outside.data());
        if (m == 0) return;
        rest.resize(size_t(m) * 4);
        for (int e = 0; e < m; ++e) std::memcpy(&rest[size_t(e) * 4], p + 4 * outside[size_t(e)], 4 * sizeof(float));
        for (const PixelOpPtr& op : chain_) op->apply(rest.data(), m);
        for (int e = 0; e < m; ++e) std::memcpy(p + 4 * outside[size_t(e)], &rest[size_t(e) * 4], 4 * sizeof(float));
    }
    bool perChannel() const override {
        return std::all_of(chain_.begin(), chain_.end(), [](const PixelOpPtr& op) { return op->perChannel(); });
    }
    bool keepsGrey(bool greyIn) const override {
        for (const PixelOpPtr& op : chain_) greyIn = op->keepsGrey(greyIn);
        return greyIn;
    }

private:
    void bake() const {
        table_.resize(size_t(kSteps + 2) * 4);
        for (int i = 0; i <= kSteps + 1; ++i) {
            const float v = float(std::min(i, kSteps)) / kSteps;
            float* e = &table_[size_t(i) * 4];
            e[0] = e[1] = e[2] = v;
            e[3] = 1.0f;
        }
        for (const PixelOpPtr& op : chain_) op->apply(table_.data(), kSteps + 2);
        bool greyOpaque = true;
        for (int i = 0; i <= kSteps + 1 && greyOpaque; ++i) {
            const float* e = &table_[size_t(i) * 4];
            greyOpaque = e[1] == e[0] && e[2] == e[0] && e[3] == 1.0f;
        }
        if (greyOpaque)
            for (int i = 0; i <= kSteps + 1; ++i) level_.push_back(table_[size_t(i) * 4]);
        flat_ = -1;
        while (flat_ + 1 <= kSteps && std::equal(&table_[0], &table_[4], &table_[size_t(flat_ + 1) * 4])) ++flat_;
        if (flat_ == 0) flat_ = -1;
    }

    std::vector<PixelOpPtr> chain_;
    mutable std::once_flag baked_;
    mutable std::vector<float> table_, level_;
    mutable int flat_ = -1;
};
}  // namespace

Image Image::pixelOp(PixelOpPtr op) const {
    if (!node_ || !op) return *this;
    if (auto map = std::dynamic_pointer_cast<const LuminanceMapOp>(op); map && !straightforwardChains())
        op = std::make_shared<LuminanceTableOp>(std::move(map));
    if (NodePtr taken = node_->absorbing(op)) return Image(std::move(taken));
    if (!straightforwardChains()) {
        // Over a grey picture the chain is a function of one value: a table of it.
        const auto* pw = dynamic_cast<const PointwiseNode*>(node_.get());
        const auto* chain = pw && pw->ops().size() == 1 ? dynamic_cast<const GreyChainOp*>(pw->ops()[0].get()) : nullptr;
        if (chain) {
            std::vector<PixelOpPtr> ops = chain->chain();
            if (PixelOpPtr both = ops.back()->followedBy(op))
                ops.back() = std::move(both);
            else
                ops.push_back(std::move(op));
            return Image(std::make_shared<PointwiseNode>(pw->inputPtr(), std::vector<PixelOpPtr>{std::make_shared<GreyChainOp>(std::move(ops))}));
        }
        if (node_->grey())
            return Image(std::make_shared<PointwiseNode>(node_, std::vector<PixelOpPtr>{std::make_shared<GreyChainOp>(std::vector<PixelOpPtr>{std::move(op)})}));
    }
    if (auto* pw = dynamic_cast<const PointwiseNode*>(node_.get())) {
        std::vector<PixelOpPtr> ops = pw->ops();
        if (op->matrix() && !ops.empty() && ops.back()->matrix())
            ops.back() = std::make_shared<MatrixOp>(composeMatrices(*ops.back()->matrix(), *op->matrix()));
        else if (PixelOpPtr both = !ops.empty() && !straightforwardChains() ? ops.back()->followedBy(op) : nullptr)
            ops.back() = std::move(both);
        else
            ops.push_back(std::move(op));
        return Image(std::make_shared<PointwiseNode>(pw->inputPtr(), std::move(ops)));
    }
    return Image(std::make_shared<PointwiseNode>(node_, std::vector<PixelOpPtr>{std::move(op)}));
}

Image Image::gaussianBlur(double sigma) const {
    if (!node_ || !(sigma > 0.0)) return *this;
    return Image(std::make_shared<BlurNode>(node_, sigma));
}

Image Image::softBlur(double sigma) const {
    if (!node_ || !(sigma > 0.0)) return *this;
    return Image(std::make_shared<BlurNode>(node_, sigma, !straightforwardChains()));
}

Image Image::warped(WarpKernelPtr kernel, const Rect& ext) const {
    if (!node_ || !kernel) return *this;
    return Image(std::make_shared<WarpNode>(node_, std::move(kernel), ext));
}

}  // namespace ostrela::engine
