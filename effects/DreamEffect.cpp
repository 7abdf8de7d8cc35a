#include "effects/DreamEffect.h"

#include "effects/DreamHalo.h"
#include "effects/DreamKernels.h"
#include "pipeline/engine/Schedule.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <immintrin.h>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::balancedTileRows;
using engine::TileWatcher;
using engine::materializeWatched;
using engine::HalfCopy;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;
namespace filters = engine::filters;

namespace dream {

const std::array<Orb, 10>& orbs() {
    static const std::array<Orb, 10> table{{
        {0.09, 0.07, 0.0, 0.11, 1.0, 0.92, 0.85, 0.34},
        {0.06, 0.1, 2.4, 0.09, 0.85, 0.88, 1.0, 0.3},
        {0.11, 0.05, 4.8, 0.07, 1.0, 0.8, 0.95, 0.32},
        {0.08, 0.12, 1.5, 0.06, 0.85, 1.0, 0.95, 0.26},
        {0.13, 0.08, 3.6, 0.045, 1.0, 0.95, 0.7, 0.28},
        {0.07, 0.14, 0.9, 0.08, 0.95, 0.85, 1.0, 0.28},
        {0.14, 0.06, 5.6, 0.055, 0.8, 0.95, 1.0, 0.26},
        {0.05, 0.09, 3.1, 0.1, 1.0, 0.9, 0.8, 0.3},
        {0.1, 0.13, 6.3, 0.04, 0.9, 1.0, 0.88, 0.24},
        {0.12, 0.04, 1.9, 0.065, 1.0, 0.88, 0.98, 0.27},
    }};
    return table;
}

double hueAngle(double t) { return std::sin(0.12 * t) * 0.9599310885968813; }
double fringeOffset(double t) { return std::sin(0.9 * t) + 2.0; }
double burstPulse(double t) { return std::sin(0.22 * t) * 0.4 + 0.6; }
double burstScale(int k, double t) { return 1 + k * 0.075 * burstPulse(t); }

Drift drift(double t) {
    return {std::sin(0.15 * t) * 4, std::cos(0.12 * t) * 3, 1.045 + std::sin(0.2 * t) * 0.015,
            std::sin(0.08 * t) * 0.010471975511965976};
}

engine::Affine driftTransform(double t, double midX, double midY) {
    const Drift d = drift(t);
    const double c = std::cos(d.angle), s = std::sin(d.angle);
    // Appended in order: translate(mid), rotate, scale, translate(−mid), translate(d); the last
    // appended acts first on a point.
    return engine::Affine::translation(d.dx - midX, d.dy - midY)
        .then(engine::Affine::scale(d.zoom, d.zoom))
        .then(engine::Affine{c, s, -s, c, 0, 0})
        .then(engine::Affine::translation(midX, midY));
}

engine::Point orbCentre(int i, const Rect& E, double t) {
    const Orb& o = orbs()[size_t(i)];
    return {E.x + E.w / 2 + std::sin(o.sx * t + o.ph) * E.w * 0.32, E.y + E.h / 2 + std::cos(o.sy * t + o.ph) * E.h * 0.28};
}

namespace {
struct Sparkle {
    double cx, cy, r, alpha;  // in the bitmap: x right, y down
};
std::vector<Sparkle> sparkleCircles(double W, double H, double t) {
    std::vector<Sparkle> out;
    for (int i = 0; i < 14; ++i) {
        const double x = i * 47.3;
        const double b = std::sin(t + x) * 0.5 + 0.5;
        if (!(b > 0.35)) continue;
        const double d = std::sin(3.1 * x) * 1.5 + 2.5;
        const double cx = (std::sin(x) * 0.5 + 0.5) * W, cy = (std::cos(1.7 * x) * 0.5 + 0.5) * H;
        out.push_back({cx, H - cy, d / 2, (b - 0.35) / 0.65 * 0.55});  // y up in the frame, y down in the bitmap
    }
    return out;
}
}  // namespace

QImage sparkles(int wp, int hp, double t) {
    QImage bitmap(std::max(wp, 1), std::max(hp, 1), QImage::Format_ARGB32_Premultiplied);
    if (bitmap.isNull()) return bitmap;
    bitmap.fill(Qt::transparent);
    QPainter p(&bitmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    for (const Sparkle& s : sparkleCircles(bitmap.width(), bitmap.height(), t)) {
        p.setBrush(QColor::fromRgbF(1.0f, 0.98f, 0.9f, float(s.alpha)));
        p.drawEllipse(QPointF(s.cx, s.cy), s.r, s.r);
    }
    return bitmap;
}

namespace {
Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}

bool gNarrowBurst = false;
bool narrowBurstForTesting() { return gNarrowBurst; }

// Step 9 from C′'s pixels: C′ and nine copies scaled about the centre, each at 24 %, screened
// one after another. Scaling about a point is axis-aligned, so each copy's columns and rows are
// found once per tile and once per row.
class BurstNode final : public engine::Node {
public:
    // `half`, when ready and of C′'s bounds, is read by the sixteen-lane copies instead of C′.
    BurstNode(Image c, PixelView v, std::array<double, 9> scales, double cx, double cy, const Rect& extent,
              std::shared_ptr<const HalfCopy> half = nullptr)
        : c_(std::move(c)), v_(v), scales_(scales), cx_(cx), cy_(cy), extent_(extent), half_(std::move(half)) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect b = v_.bounds;
        // Every tile of a pass spans the same columns: their taps are found once.
        std::call_once(columnsOnce_, [&] {
            columns_.x = r.x, columns_.w = r.w;
            columns_.col.resize(size_t(r.w) * 9);
            columns_.colw.resize(size_t(r.w) * 9);
            findColumns(r, columns_.col.data(), columns_.colw.data());
        });
        const int* col = columns_.col.data();
        const float* colw = columns_.colw.data();
        if (columns_.x != r.x || columns_.w != r.w) {
            int* c = reinterpret_cast<int*>(ctx.alloc(size_t(r.w) * 9));
            float* w = ctx.alloc(size_t(r.w) * 9);
            findColumns(r, c, w);
            col = c, colw = w;
        }
        int lo[9], hi[9];
        for (int k = 0; k < 9; ++k) {
            const int* cx = col + size_t(k) * r.w;
            // Columns are increasing in i: the run whose taps all lie inside is one interval.
            lo[k] = 0, hi[k] = r.w;
            while (lo[k] < r.w && cx[lo[k]] < 0) ++lo[k];
            while (hi[k] > lo[k] && cx[hi[k] - 1] + 1 >= b.w) --hi[k];
        }
        // Where every copy's taps lie inside, all nine are done together in registers.
        const bool fused = engine::cpu::hasAvx2Fma();
        int fl0 = *std::max_element(lo, lo + 9), pairs = 0, groups = 0;
        if (fused && !(scales_[0] > 1.0)) fl0 = r.w;  // the pairing needs magnified copies
        const int together0 = fused && fl0 < r.w ? std::max(0, *std::min_element(hi, hi + 9) - fl0) : 0;
        if (wideBurst()) groups = together0 / 16;
        else pairs = together0 / 2;
        const int fl1 = fl0 + 2 * pairs + 16 * groups;
        Pairs pt;
        Groups gt;
        if (pairs > 0) pt = pairTables(ctx, col, colw, r.w, fl0, pairs);
        if (groups > 0) gt = groupTables(ctx, col, colw, r.w, fl0, groups);
        float* blend = pairs > 0 ? ctx.alloc(chunkStride() * 9) : groups > 0 ? planeBuffer(ctx) : nullptr;
        std::vector<RowTaps> rows(size_t(fl1 > fl0 ? r.h : 0));
        int nTogether = 0;
        const __m128 a24 = _mm_set1_ps(0.24f);
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            const float* r0[9];
            const float* r1[9];
            float wy[9];
            bool allRows = true;
            for (int k = 0; k < 9; ++k) {
                const double f = cy_ + (y + 0.5 - cy_) / scales_[size_t(k)] - 0.5;
                const double fl = std::floor(f);
                const int y0 = int(fl) - b.y;
                wy[k] = float(f - fl);
                const bool in = y0 >= 0 && y0 + 1 < b.h;
                r0[k] = in ? v_.data + size_t(y0) * b.w * 4 : nullptr;
                r1[k] = in ? r0[k] + size_t(b.w) * 4 : nullptr;
                allRows = allRows && in;
            }
            const bool together = fl1 > fl0 && allRows;
            // C′ under the copies: read in place where the row lies inside, else copied in first.
            const float* crow = y >= b.y && y < b.maxY() && r.x >= b.x && r.maxX() <= b.maxX() ? v_.at(r.x, y) : nullptr;
            auto base = [&](int i0, int i1) {
                if (crow) {
                    if (i1 > i0) std::memcpy(o + 4 * i0, crow + 4 * i0, size_t(i1 - i0) * 4 * sizeof(float));
                    return;
                }
                for (int i = i0; i < i1; ++i) {
                    const float* c0 = v_.at(r.x + i, y);
                    _mm_storeu_ps(o + 4 * i, c0 ? _mm_loadu_ps(c0) : _mm_setzero_ps());
                }
            };
            if (together && crow) {
                base(0, fl0);
                base(fl1, r.w);
            } else {
                base(0, r.w);
            }
            if (together) {
                RowTaps& rt = rows[nTogether++];
                rt.o = o + 4 * fl0;
                rt.c = crow ? crow + 4 * fl0 : rt.o;
                for (int k = 0; k < 9; ++k) {
                    rt.r0[k] = r0[k];
                    rt.r1[k] = r1[k];
                    rt.wy[k] = wy[k];
                    rt.next[k] = r1[k] + 4 * size_t(b.w) <= v_.data + 4 * size_t(b.w) * (b.h - 1) ? r1[k] + 4 * size_t(b.w) : r1[k];
                }
            }
            const bool wide = engine::cpu::hasAvx();
            // Copy by copy everywhere else.
            for (int k = 0; k < 9; ++k) {
                const int* cx = col + size_t(k) * r.w;
                const float* cw = colw + size_t(k) * r.w;
                const __m128 vy = _mm_set1_ps(wy[k]);
                auto inside = [&](int i) {
                    const int x0 = cx[i];
                    const __m128 vx = _mm_set1_ps(cw[i]);
                    const float* q0 = r0[k] + 4 * x0;
                    const float* q1 = r1[k] + 4 * x0;
                    const __m128 a0 = _mm_loadu_ps(q0), a1 = _mm_loadu_ps(q0 + 4);
                    const __m128 b0 = _mm_loadu_ps(q1), b1 = _mm_loadu_ps(q1 + 4);
                    const __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
                    const __m128 top = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), vx));
                    return _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy));
                };
                const int klo = r0[k] ? lo[k] : 0, khi = r0[k] ? hi[k] : 0;
                int i0 = klo;
                if (!together && wide && khi > klo) i0 = spanWide(r0[k], r1[k], cx, cw, wy[k], klo, khi, o);
                for (int i = 0; i < r.w; ++i) {
                    if (together && i == fl0 && fl1 > fl0) {
                        i = fl1 - 1;
                        continue;
                    }
                    if (!together && i == klo && khi > klo) {
                        // [klo, i0) was done wide; [i0, khi) four lanes at a time.
                        for (i = i0; i < khi; ++i) {
                            const __m128 sv = _mm_mul_ps(inside(i), a24), acc = _mm_loadu_ps(o + 4 * i);
                            _mm_storeu_ps(o + 4 * i, _mm_sub_ps(_mm_add_ps(sv, acc), _mm_mul_ps(sv, acc)));
                        }
                        i = khi - 1;
                        continue;
                    }
                    __m128 s;
                    if (r0[k] && cx[i] >= 0 && cx[i] + 1 < b.w) {
                        s = inside(i);
                    } else {
                        float t[4];
                        engine::detail::sampleBilinear(v_.data, b, cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)],
                                                       cy_ + (y + 0.5 - cy_) / scales_[size_t(k)], t);
                        s = _mm_loadu_ps(t);
                    }
                    s = _mm_mul_ps(s, a24);
                    const __m128 acc = _mm_loadu_ps(o + 4 * i);
                    _mm_storeu_ps(o + 4 * i, _mm_sub_ps(_mm_add_ps(s, acc), _mm_mul_ps(s, acc)));
                }
            }
        }
        // The rows done together go in strips of columns, every row of the tile per strip, so the
        // source rows the nine copies read stay in cache from one output row to the next.
        for (int p0 = 0; p0 < pairs; p0 += kStripPairs)
            for (int j = 0; j < nTogether; ++j)
                rowTogether(rows[j].r0, rows[j].r1, rows[j].next, rows[j].wy, pt, p0, std::min(pairs, p0 + kStripPairs), blend, rows[j].c, rows[j].o);
        const uint16_t* half = half_ && half_->ready() && half_->bounds() == b ? half_->data() : nullptr;
        for (int g0 = 0; g0 < groups; g0 += kChunkGroups) {
            const int g1 = std::min(groups, g0 + kChunkGroups);
            for (int j = 0; j < nTogether; ++j) {
                const RowTaps& rt = rows[j];
                // The rows of a strip are far apart: the next one's pixels are fetched on the way.
                const RowTaps& after = j + 1 < nTogether ? rows[j + 1] : rows[0];
                const int ga = j + 1 < nTogether ? g0 : g1;
                const Ahead ahead{after.c + 64 * ga, after.o + 64 * ga, std::min(groups, ga + kChunkGroups) - ga};
                if (opaqueUnder(rt.c + 64 * g0, 16 * (g1 - g0)))
                    rowGroups<3>(rt.r0, rt.r1, rt.next, rt.wy, gt, g0, g1, blend, rt.c, rt.o, ahead, v_.data, half);
                else
                    rowGroups<4>(rt.r0, rt.r1, rt.next, rt.wy, gt, g0, g1, blend, rt.c, rt.o, ahead, v_.data, half);
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    // Per copy and output column of r: the left tap's column in C′ and its weight.
    void findColumns(const engine::IRect& r, int* col, float* colw) const {
        for (int k = 0; k < 9; ++k)
            for (int i = 0; i < r.w; ++i) {
                const double f = cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)] - 0.5;
                const double fl = std::floor(f);
                col[size_t(k) * r.w + i] = int(fl) - v_.bounds.x;
                colw[size_t(k) * r.w + i] = float(f - fl);
            }
    }
    struct Columns {
        int x = 0, w = -1;
        std::vector<int> col;
        std::vector<float> colw;
    };
    mutable std::once_flag columnsOnce_;
    mutable Columns columns_;

    static constexpr int kStripPairs = 64;
    struct RowTaps {
        const float* r0[9];
        const float* r1[9];
        const float* next[9];
        float wy[9];
        const float* c;  // C′ under the pairs (may be o itself)
        float* o;
    };

    // Per copy and pair of output pixels: where the pair's taps start in the copy's mixed row,
    // whether the second pixel's taps are one column on (magnified copies step by 0 or 1), and the
    // two pixels' weights, four lanes each.
    struct Pairs {
        int pairs = 0;
        int base[9] = {};  // first source column of each copy's mixed row
        int* off = nullptr;
        int* step = nullptr;
        float* w = nullptr;
    };
    static Pairs pairTables(engine::TileContext& ctx, const int* col, const float* colw, int n, int i0, int pairs) {
        Pairs t;
        t.pairs = pairs;
        t.off = reinterpret_cast<int*>(ctx.alloc(size_t(pairs) * 9));
        t.step = reinterpret_cast<int*>(ctx.alloc(size_t(pairs) * 9));
        t.w = ctx.alloc(size_t(pairs) * 9 * 8 + 8);
        t.w = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(t.w) + 31) & ~uintptr_t(31));
        for (int k = 0; k < 9; ++k) {
            const int* cx = col + size_t(k) * n;
            const float* cw = colw + size_t(k) * n;
            t.base[k] = cx[i0];
            for (int p = 0; p < pairs; ++p) {
                const int i = i0 + 2 * p;
                const size_t q = size_t(p) * 9 + k;
                t.off[q] = 4 * (cx[i] - t.base[k]);
                t.step[q] = cx[i + 1] - cx[i];
                for (int c = 0; c < 4; ++c) {
                    t.w[q * 8 + c] = cw[i];
                    t.w[q * 8 + 4 + c] = cw[i + 1];
                }
            }
        }
        return t;
    }

    // The pairs of one row: each copy's two source rows mixed first, once per source column, kept
    // as 1 − 24 % of the mix; then per pair the product of the nine copies' (1 − 24 % · copy) and
    // the screen 1 − (1 − C′)·Π (the screens one after another, reassociated). The row goes in
    // chunks of pairs small enough that the nine mixed stretches stay in the first-level cache.
    static constexpr int kChunkPairs = 48;
    static size_t chunkStride() { return size_t(2 * kChunkPairs + 4) * 4; }  // floats per copy, magnified copies
    __attribute__((target("avx2,fma"))) static void rowTogether(const float* const* r0, const float* const* r1,
                                                               const float* const* next, const float* wy, const Pairs& t,
                                                               int pBegin, int pEnd, float* blend, const float* under, float* o) {
        const __m256 one = _mm256_set1_ps(1.0f), m24 = _mm256_set1_ps(-0.24f);
        // The lane order for a step of 0 (both pixels from one column) and of 1, picked by a load:
        // the steps follow no pattern a branch predictor could learn.
        alignas(32) static const int selectors[2][8] = {{0, 1, 2, 3, 0, 1, 2, 3}, {0, 1, 2, 3, 4, 5, 6, 7}};
        const size_t stride = chunkStride();
        for (int p0 = pBegin; p0 < pEnd; p0 += kChunkPairs) {
            const int p1 = std::min(pEnd, p0 + kChunkPairs);
            int first[9];
            for (int k = 0; k < 9; ++k) {
                const int c0 = t.off[size_t(p0) * 9 + k] / 4;
                const int c1 = t.off[size_t(p1 - 1) * 9 + k] / 4 + 2 + t.step[size_t(p1 - 1) * 9 + k];  // past the last tap
                first[k] = 4 * c0;
                const __m256 vy = _mm256_set1_ps(wy[k]);
                const float* a0 = r0[k] + 4 * (t.base[k] + c0);
                const float* a1 = r1[k] + 4 * (t.base[k] + c0);
                // The row after a1 is the one a later output row reaches next: fetch it on the way.
                const float* ahead = next[k] + 4 * (t.base[k] + c0);
                float* d = blend + k * stride;
                const int n = c1 - c0;
                int c = 0;
                for (; c + 2 <= n; c += 2) {
                    if ((c & 3) == 0) _mm_prefetch(reinterpret_cast<const char*>(ahead + 4 * c), _MM_HINT_T0);
                    const __m256 a = _mm256_loadu_ps(a0 + 4 * c), b = _mm256_loadu_ps(a1 + 4 * c);
                    _mm256_storeu_ps(d + 4 * c, _mm256_fmadd_ps(_mm256_fmadd_ps(_mm256_sub_ps(b, a), vy, a), m24, one));
                }
                for (; c < n; ++c) {
                    const __m128 a = _mm_loadu_ps(a0 + 4 * c), b = _mm_loadu_ps(a1 + 4 * c);
                    const __m128 m = _mm_fmadd_ps(_mm_sub_ps(b, a), _mm256_castps256_ps128(vy), a);
                    _mm_storeu_ps(d + 4 * c, _mm_fmadd_ps(m, _mm256_castps256_ps128(m24), _mm256_castps256_ps128(one)));
                }
            }
            for (int p = p0; p < p1; ++p) {
                __m256 prod = one;
                const int* off = t.off + size_t(p) * 9;
                const int* st = t.step + size_t(p) * 9;
                const float* w = t.w + size_t(p) * 72;
                for (int k = 0; k < 9; ++k) {
                    const float* m = blend + k * stride + (off[k] - first[k]);
                    const __m256i sel = _mm256_load_si256(reinterpret_cast<const __m256i*>(selectors[st[k] & 1]));
                    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(m), sel);
                    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(m + 4), sel);
                    prod = _mm256_mul_ps(prod, _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), _mm256_load_ps(w + 8 * k), lo));
                }
                const __m256 c = _mm256_loadu_ps(under + 8 * p);
                _mm256_storeu_ps(o + 8 * p, _mm256_fnmadd_ps(_mm256_sub_ps(one, c), prod, one));
            }
        }
    }

    // With 512-bit registers the copies go sixteen pixels at a time, colour by colour: each copy's
    // mixed rows are kept as planes (red, green, blue, and alpha only where C′ is not opaque, since
    // over an opaque C′ the result's alpha is 1 whatever the copies hold), and a group's taps are
    // picked out of a 32-column window of a plane by one permute. The arithmetic is the pairs'.
    struct Groups {
        int* base = nullptr;  // per group and copy: the first source column of the group's taps
        uint8_t* idx = nullptr;  // per group and copy: sixteen tap columns, from base (bytes: the tables stay in cache)
        float* w = nullptr;   // per group and copy: sixteen horizontal weights
    };
    static constexpr int kChunkGroups = 8;
    struct Ahead {
        const float* under;
        const float* o;
        int groups;
    };
    static constexpr size_t kPlane = 16 * kChunkGroups + 2 + 32 + 14;  // a chunk's columns, the window's reach
    static float* planeBuffer(engine::TileContext& ctx) {
        float* b = ctx.alloc(kPlane * 4 * 9 + 16);
        b = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(b) + 63) & ~uintptr_t(63));
        std::fill(b, b + kPlane * 4 * 9, 0.0f);  // the windows read past a chunk's last column
        return b;
    }
    static Groups groupTables(engine::TileContext& ctx, const int* col, const float* colw, int n, int i0, int groups) {
        Groups t;
        t.base = reinterpret_cast<int*>(ctx.alloc(size_t(groups) * 9));
        t.idx = reinterpret_cast<uint8_t*>(ctx.alloc(size_t(groups) * 9 * 4));
        t.w = ctx.alloc(size_t(groups) * 9 * 16);
        for (int g = 0; g < groups; ++g)
            for (int k = 0; k < 9; ++k) {
                const int* cx = col + size_t(k) * n + i0 + 16 * g;
                const float* cw = colw + size_t(k) * n + i0 + 16 * g;
                const size_t q = size_t(g) * 9 + k;
                t.base[q] = cx[0];
                for (int j = 0; j < 16; ++j) {
                    t.idx[q * 16 + j] = uint8_t(cx[j] - cx[0]);  // 0 … 15: magnified copies step by 0 or 1
                    t.w[q * 16 + j] = cw[j];
                }
            }
        return t;
    }
    __attribute__((target("avx512f"))) static bool opaqueUnder(const float* c, int n) {
        const __m512 one = _mm512_set1_ps(1.0f);
        int i = 0;
        for (; i + 4 <= n; i += 4)
            if (_mm512_mask_cmp_ps_mask(0x8888, _mm512_loadu_ps(c + 4 * i), one, _CMP_LT_OQ)) return false;
        for (; i < n; ++i)
            if (c[4 * i + 3] < 1.0f) return false;
        return true;
    }
    // Four pixels of one copy's two source rows mixed (columns from n on read as zero), kept as
    // 1 − 24 % of the mix.
    __attribute__((target("avx512f"), always_inline)) static inline __m512 mixed4(const float* a0, const float* a1,
                                                                                const float* ahead, int n, int c, __m512 vy) {
        __m512 a, b;
        if (c + 4 <= n) {
            a = _mm512_loadu_ps(a0 + 4 * c), b = _mm512_loadu_ps(a1 + 4 * c);
        } else {
            const __mmask16 m = __mmask16((1u << (4 * std::max(n - c, 0))) - 1);
            a = _mm512_maskz_loadu_ps(m, a0 + 4 * c), b = _mm512_maskz_loadu_ps(m, a1 + 4 * c);
        }
        _mm_prefetch(reinterpret_cast<const char*>(ahead + 4 * c), _MM_HINT_T0);
        return _mm512_fmadd_ps(_mm512_fmadd_ps(_mm512_sub_ps(b, a), vy, a), _mm512_set1_ps(-0.24f), _mm512_set1_ps(1.0f));
    }
    // The same four pixels read from C′'s half-precision copy (the columns past n are read too:
    // the copy's rows run on, and its padding covers the last; no tap picks them).
    __attribute__((target("avx512f"), always_inline)) static inline __m512 mixed4(const uint16_t* a0, const uint16_t* a1,
                                                                                const uint16_t* ahead, int c, __m512 vy) {
        const __m512 a = _mm512_maskz_cvtph_ps(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a0 + 4 * c)));
        const __m512 b = _mm512_maskz_cvtph_ps(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a1 + 4 * c)));
        _mm_prefetch(reinterpret_cast<const char*>(ahead + 4 * c), _MM_HINT_T0);
        return _mm512_fmadd_ps(_mm512_fmadd_ps(_mm512_sub_ps(b, a), vy, a), _mm512_set1_ps(-0.24f), _mm512_set1_ps(1.0f));
    }
    // Sixteen pixels' horizontal mix of one plane, their taps picked from a 32-column window.
    __attribute__((target("avx512f"), always_inline)) static inline __m512 tap16(const float* plane, __m512i i0, __m512i i1, __m512 w) {
        const __m512 x0 = _mm512_loadu_ps(plane), x1 = _mm512_loadu_ps(plane + 16);
        const __m512 lo = _mm512_permutex2var_ps(x0, i0, x1), hi = _mm512_permutex2var_ps(x0, i1, x1);
        return _mm512_fmadd_ps(_mm512_sub_ps(hi, lo), w, lo);
    }
    __attribute__((target("avx512f"), always_inline)) static inline void screenUnder(const float* under, __m512 prod, float* o) {
        const __m512 one = _mm512_set1_ps(1.0f);
        _mm512_storeu_ps(o, _mm512_fnmadd_ps(_mm512_sub_ps(one, _mm512_loadu_ps(under)), prod, one));
    }
    template <int Planes>
    __attribute__((target("avx512f"))) static void rowGroups(const float* const* r0, const float* const* r1,
                                                             const float* const* next, const float* wy, const Groups& t,
                                                             int g0, int g1, float* planes, const float* under, float* o,
                                                             const Ahead& ahead, const float* data, const uint16_t* half) {
        const __m512 one = _mm512_set1_ps(1.0f);
        // Four pixels of red, green, blue, alpha each to sixteen of red, then green, … and back.
        const __m512i split0 = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
        const __m512i split1 = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
        const __m512i join0 = _mm512_setr_epi32(0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27);
        const __m512i join1 = _mm512_setr_epi32(4, 12, 20, 28, 5, 13, 21, 29, 6, 14, 22, 30, 7, 15, 23, 31);
        const __m512i oneI = _mm512_set1_epi32(1);
        int first[9];
        for (int k = 0; k < 9; ++k) {
            const int c0 = t.base[size_t(g0) * 9 + k];
            const size_t last = size_t(g1 - 1) * 9 + k;
            const int n = t.base[last] + t.idx[16 * last + 15] + 2 - c0;  // through the last group's last tap
            first[k] = c0;
            const __m512 vy = _mm512_set1_ps(wy[k]);
            const float* a0 = r0[k] + 4 * size_t(c0);
            const float* a1 = r1[k] + 4 * size_t(c0);
            const float* ahead = next[k] + 4 * size_t(c0);
            float* d = planes + size_t(k) * 4 * kPlane;
            // The copy's pixels sit at the same offsets as C′'s, a quarter of the bytes apart.
            const uint16_t* h0 = half ? half + (a0 - data) : nullptr;
            const uint16_t* h1 = half ? half + (a1 - data) : nullptr;
            const uint16_t* hn = half ? half + (ahead - data) : nullptr;
            for (int c = 0; c < n; c += 16) {
                __m512 v0, v1, v2, v3;
                if (half) {
                    v0 = mixed4(h0, h1, hn, c, vy), v1 = mixed4(h0, h1, hn, c + 4, vy);
                    v2 = mixed4(h0, h1, hn, c + 8, vy), v3 = mixed4(h0, h1, hn, c + 12, vy);
                } else {
                    v0 = mixed4(a0, a1, ahead, n, c, vy), v1 = mixed4(a0, a1, ahead, n, c + 4, vy);
                    v2 = mixed4(a0, a1, ahead, n, c + 8, vy), v3 = mixed4(a0, a1, ahead, n, c + 12, vy);
                }
                const __m512 rg0 = _mm512_permutex2var_ps(v0, split0, v1), ba0 = _mm512_permutex2var_ps(v0, split1, v1);
                const __m512 rg1 = _mm512_permutex2var_ps(v2, split0, v3), ba1 = _mm512_permutex2var_ps(v2, split1, v3);
                _mm512_storeu_ps(d + c, _mm512_maskz_shuffle_f32x4(0xFFFF, rg0, rg1, 0x44));
                _mm512_storeu_ps(d + kPlane + c, _mm512_maskz_shuffle_f32x4(0xFFFF, rg0, rg1, 0xEE));
                _mm512_storeu_ps(d + 2 * kPlane + c, _mm512_maskz_shuffle_f32x4(0xFFFF, ba0, ba1, 0x44));
                if constexpr (Planes == 4) _mm512_storeu_ps(d + 3 * kPlane + c, _mm512_maskz_shuffle_f32x4(0xFFFF, ba0, ba1, 0xEE));
            }
        }
        for (int g = g0; g < g1; ++g) {
            if (g - g0 < ahead.groups)
                for (int q = 0; q < 4; ++q) {
                    _mm_prefetch(reinterpret_cast<const char*>(ahead.under + 64 * (g - g0) + 16 * q), _MM_HINT_T0);
                    _mm_prefetch(reinterpret_cast<const char*>(ahead.o + 64 * (g - g0) + 16 * q), _MM_HINT_T0);
                }
            // Four products in named registers: an array here ends up on the stack.
            __m512 pr = one, pg = one, pb = one, pa = one;
            for (int k = 0; k < 9; ++k) {
                const size_t q = size_t(g) * 9 + k;
                const __m512i i0 = _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.idx + 16 * q)));
                const __m512i i1 = _mm512_add_epi32(i0, oneI);
                const __m512 w = _mm512_loadu_ps(t.w + 16 * q);
                const float* m = planes + size_t(k) * 4 * kPlane + (t.base[q] - first[k]);
                pr = _mm512_mul_ps(pr, tap16(m, i0, i1, w));
                pg = _mm512_mul_ps(pg, tap16(m + kPlane, i0, i1, w));
                pb = _mm512_mul_ps(pb, tap16(m + 2 * kPlane, i0, i1, w));
                if constexpr (Planes == 4) pa = _mm512_mul_ps(pa, tap16(m + 3 * kPlane, i0, i1, w));
            }
            const __m512 rg0 = _mm512_maskz_shuffle_f32x4(0xFFFF, pr, pg, 0x44), rg1 = _mm512_maskz_shuffle_f32x4(0xFFFF, pr, pg, 0xEE);
            const __m512 ba0 = _mm512_maskz_shuffle_f32x4(0xFFFF, pb, pa, 0x44), ba1 = _mm512_maskz_shuffle_f32x4(0xFFFF, pb, pa, 0xEE);
            screenUnder(under + 64 * g + 16 * 0, _mm512_permutex2var_ps(rg0, join0, ba0), o + 64 * g + 16 * 0);
            screenUnder(under + 64 * g + 16 * 1, _mm512_permutex2var_ps(rg0, join1, ba0), o + 64 * g + 16 * 1);
            screenUnder(under + 64 * g + 16 * 2, _mm512_permutex2var_ps(rg1, join0, ba1), o + 64 * g + 16 * 2);
            screenUnder(under + 64 * g + 16 * 3, _mm512_permutex2var_ps(rg1, join1, ba1), o + 64 * g + 16 * 3);
        }
    }
    static bool wideBurst() {
        const bool has = engine::cpu::hasAvx512();
        return has && !narrowBurstForTesting();
    }

    __attribute__((target("avx"))) static int spanWide(const float* r0, const float* r1, const int* cx,
                                                       const float* cw, float wy, int lo, int hi, float* o) {
        const __m256 vy = _mm256_set1_ps(wy), a24 = _mm256_set1_ps(0.24f);
        int i = lo;
        for (; i + 2 <= hi; i += 2) {
            const int xa = 4 * cx[i], xb = 4 * cx[i + 1];
            const __m256 vx = _mm256_set_m128(_mm_set1_ps(cw[i + 1]), _mm_set1_ps(cw[i]));
            const __m256 a0 = _mm256_loadu2_m128(r0 + xb, r0 + xa), a1 = _mm256_loadu2_m128(r0 + xb + 4, r0 + xa + 4);
            const __m256 b0 = _mm256_loadu2_m128(r1 + xb, r1 + xa), b1 = _mm256_loadu2_m128(r1 + xb + 4, r1 + xa + 4);
            const __m256 bot = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_sub_ps(a1, a0), vx));
            const __m256 top = _mm256_add_ps(b0, _mm256_mul_ps(_mm256_sub_ps(b1, b0), vx));
            const __m256 sv = _mm256_mul_ps(_mm256_add_ps(bot, _mm256_mul_ps(_mm256_sub_ps(top, bot), vy)), a24);
            const __m256 acc = _mm256_loadu_ps(o + 4 * i);
            _mm256_storeu_ps(o + 4 * i, _mm256_sub_ps(_mm256_add_ps(sv, acc), _mm256_mul_ps(sv, acc)));
        }
        return i;
    }

    Image c_;
    PixelView v_;
    std::array<double, 9> scales_;
    double cx_, cy_;
    Rect extent_;
    std::shared_ptr<const HalfCopy> half_;
};

// Step 1 with the ripple kernel's formula, sampled inline: the kernel's horizontal term depends
// on the row only and its vertical term on the column only, so each is evaluated once per row
// and once per column of a tile rather than per pixel. Beyond its extent the picture's edge
// pixels repeat; the taps are clamped onto the pixels inside rather than the margin copied out.
class RippleNode final : public engine::Node {
public:
    RippleNode(Image picture, float amplitude, float time, const Rect& extent)
        : in_(std::move(picture)), px_(engine::pixelBounds(in_.extent())), kernel_(amplitude, time), extent_(extent) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.node().get(); }
    engine::IRect roi(int, const engine::IRect& d) const override { return taps(d).intersected(px_); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect pr = roi(0, r);
        if (pr.isEmpty()) {
            std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
            return;
        }
        const float* src = ctx.pull(*in_.node(), pr);
        // Column terms from the kernel itself (row r.y), row terms from one pixel per row.
        float* sx = ctx.alloc(size_t(r.w));
        float* dyc = ctx.alloc(size_t(r.w));
        kernel_.mapRow(r.x, r.y, r.w, sx, dyc);
        const float py0 = float(r.y) + 0.5f;
        for (int i = 0; i < r.w; ++i) dyc[i] -= py0;
        Taps t;
        t.off = reinterpret_cast<int*>(ctx.alloc(size_t(r.w) + 8));
        t.wx = ctx.alloc(size_t(r.w) + 8);
        t.wy = ctx.alloc(size_t(r.w) + 8);
        t.fx = ctx.alloc(size_t(r.w) + 8);
        t.fy = ctx.alloc(size_t(r.w) + 8);
        t.inside = reinterpret_cast<int*>(ctx.alloc(size_t(r.w) + 8));
        const bool wide = engine::cpu::hasAvx2Fma(), wide16 = engine::cpu::hasAvx512();
        for (int j = 0; j < r.h; ++j) {
            float x1, y1;
            kernel_.mapRow(r.x, r.y + j, 1, &x1, &y1);
            const float dx = x1 - (float(r.x) + 0.5f);
            const float py = float(r.y + j) + 0.5f;
            float* o = out + size_t(j) * r.w * 4;
            int i = 0;
            if (wide) {
                i = positionsWide(pr, r.x, r.w, dx, py, dyc, t);
                if (wide16) pairsWide16(src, pr, i, t, o);
                else pairsWide(src, pr, i, t, o);
            }
            for (; i < r.w; ++i) {
                const float fx = (float(r.x + i) + 0.5f) + dx - 0.5f, fy = py + dyc[i] - 0.5f;
                pixel(src, pr, fx, fy, o + 4 * i);
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    struct Taps {
        int* off;
        float *wx, *wy, *fx, *fy;
        int* inside;
    };

    engine::IRect taps(const engine::IRect& d) const {
        const Rect dest{double(d.x), double(d.y), double(d.w), double(d.h)};
        return engine::enclosingIRect(kernel_.roi(dest)).grown(1, 1);
    }

    static __m128 mix(const float* p0, const float* p1, const float* q0, const float* q1, float wx, float wy) {
        const __m128 vx = _mm_set1_ps(wx), vy = _mm_set1_ps(wy);
        const __m128 a0 = _mm_loadu_ps(p0), a1 = _mm_loadu_ps(p1);
        const __m128 b0 = _mm_loadu_ps(q0), b1 = _mm_loadu_ps(q1);
        const __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
        const __m128 top = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), vx));
        return _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy));
    }

    // One pixel sampled at (fx, fy) (pixel centres at integers), its taps clamped onto pr.
    void pixel(const float* src, const engine::IRect& pr, float fx, float fy, float* o) const {
        const float flx = std::floor(fx), fly = std::floor(fy);
        if (!(std::abs(flx) < 1e9f) || !(std::abs(fly) < 1e9f)) {
            _mm_storeu_ps(o, _mm_setzero_ps());
            return;
        }
        const int X = int(flx), Y = int(fly);
        const int x0 = std::clamp(X, pr.x, pr.maxX() - 1) - pr.x, x1 = std::clamp(X + 1, pr.x, pr.maxX() - 1) - pr.x;
        const int y0 = std::clamp(Y, pr.y, pr.maxY() - 1) - pr.y, y1 = std::clamp(Y + 1, pr.y, pr.maxY() - 1) - pr.y;
        const float* r0 = src + size_t(y0) * pr.w * 4;
        const float* r1 = src + size_t(y1) * pr.w * 4;
        _mm_storeu_ps(o, mix(r0 + 4 * x0, r0 + 4 * x1, r1 + 4 * x0, r1 + 4 * x1, fx - flx, fy - fly));
    }

    // The row's sample positions eight at a time; returns how many were found (the pixels the
    // pair passes below then make).
    __attribute__((target("avx2,fma"))) static int positionsWide(const engine::IRect& pr, int x0, int n, float dx, float py,
                                                                 const float* dyc, const Taps& t) {
        const __m256 half = _mm256_set1_ps(0.5f), vdx = _mm256_set1_ps(dx), vpy = _mm256_set1_ps(py);
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i lox = _mm256_set1_epi32(pr.x), loy = _mm256_set1_epi32(pr.y);
        const __m256i hix = _mm256_set1_epi32(pr.w - 1), hiy = _mm256_set1_epi32(pr.h - 1), w4 = _mm256_set1_epi32(pr.w * 4);
        const __m256i neg = _mm256_set1_epi32(-1);
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 cx = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x0 + i), lane)), half);
            const __m256 fx = _mm256_sub_ps(_mm256_add_ps(cx, vdx), half);
            const __m256 fy = _mm256_sub_ps(_mm256_add_ps(vpy, _mm256_loadu_ps(dyc + i)), half);
            const __m256 flx = _mm256_floor_ps(fx), fly = _mm256_floor_ps(fy);
            const __m256i X = _mm256_sub_epi32(_mm256_cvtps_epi32(flx), lox), Y = _mm256_sub_epi32(_mm256_cvtps_epi32(fly), loy);
            // Inside: 0 ≤ X < w − 1 and 0 ≤ Y < h − 1.
            const __m256i in = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(X, neg), _mm256_cmpgt_epi32(hix, X)),
                                                _mm256_and_si256(_mm256_cmpgt_epi32(Y, neg), _mm256_cmpgt_epi32(hiy, Y)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t.off + i),
                                _mm256_add_epi32(_mm256_mullo_epi32(Y, w4), _mm256_slli_epi32(X, 2)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(t.inside + i), in);
            _mm256_storeu_ps(t.wx + i, _mm256_sub_ps(fx, flx));
            _mm256_storeu_ps(t.wy + i, _mm256_sub_ps(fy, fly));
            _mm256_storeu_ps(t.fx + i, fx);
            _mm256_storeu_ps(t.fy + i, fy);
        }
        return i;
    }

    // Pixels k and k + 1 of the found ones: where both taps lie inside, in one pass of eight
    // lanes (each pixel's two columns in one load per row; down first, then across), else one
    // by one.
    __attribute__((target("avx2,fma"), always_inline)) inline void pairAt(const float* src, const engine::IRect& pr, int k,
                                                                         const Taps& t, float* o) const {
        const size_t stride = size_t(pr.w) * 4;
        if (t.inside[k] && t.inside[k + 1]) {
            const float* p = src + t.off[k];
            const float* q = src + t.off[k + 1];
            const __m256 p0 = _mm256_loadu_ps(p), p1 = _mm256_loadu_ps(p + stride);
            const __m256 q0 = _mm256_loadu_ps(q), q1 = _mm256_loadu_ps(q + stride);
            const __m256 vp = _mm256_fmadd_ps(_mm256_sub_ps(p1, p0), _mm256_set1_ps(t.wy[k]), p0);
            const __m256 vq = _mm256_fmadd_ps(_mm256_sub_ps(q1, q0), _mm256_set1_ps(t.wy[k + 1]), q0);
            const __m256 lo = _mm256_permute2f128_ps(vp, vq, 0x20), hi = _mm256_permute2f128_ps(vp, vq, 0x31);
            const __m256 vx = _mm256_setr_m128(_mm_set1_ps(t.wx[k]), _mm_set1_ps(t.wx[k + 1]));
            _mm256_storeu_ps(o + 4 * k, _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), vx, lo));
            return;
        }
        for (int m = k; m < k + 2; ++m) {
            if (t.inside[m]) {
                const float* p = src + t.off[m];
                _mm_storeu_ps(o + 4 * m, mix(p, p + 4, p + stride, p + stride + 4, t.wx[m], t.wy[m]));
            } else {
                pixel(src, pr, t.fx[m], t.fy[m], o + 4 * m);
            }
        }
    }
    __attribute__((target("avx2,fma"))) void pairsWide(const float* src, const engine::IRect& pr, int done, const Taps& t, float* o) const {
        for (int k = 0; k + 2 <= done; k += 2) pairAt(src, pr, k, t, o);
    }
    // The same four pixels at a time where their taps lie side by side in one pair of rows (the
    // ripple moves a row's pixels by one distance across and by a slowly changing one down):
    // one sixteen-lane load per row and column, the pairs' operations pixel for pixel.
    __attribute__((target("avx512f,avx2,fma"))) void pairsWide16(const float* src, const engine::IRect& pr, int done, const Taps& t,
                                                               float* o) const {
        const size_t stride = size_t(pr.w) * 4;
        const __m128i step = _mm_setr_epi32(0, 4, 8, 12);
        const __m512i spread = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
        int k = 0;
        for (; k + 4 <= done; k += 4) {
            const __m128i off = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.off + k));
            const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.inside + k));
            const __m128i side = _mm_cmpeq_epi32(off, _mm_add_epi32(_mm_shuffle_epi32(off, 0), step));
            if (_mm_movemask_ps(_mm_castsi128_ps(_mm_and_si128(in, side))) != 0xF) {
                pairAt(src, pr, k, t, o);
                pairAt(src, pr, k + 2, t, o);
                continue;
            }
            const float* p = src + t.off[k];
            const __m512 a0 = _mm512_loadu_ps(p), a1 = _mm512_loadu_ps(p + 4);
            const __m512 b0 = _mm512_loadu_ps(p + stride), b1 = _mm512_loadu_ps(p + stride + 4);
            const __m512 wy = _mm512_maskz_permutexvar_ps(0xFFFF, spread, _mm512_zextps128_ps512(_mm_loadu_ps(t.wy + k)));
            const __m512 wx = _mm512_maskz_permutexvar_ps(0xFFFF, spread, _mm512_zextps128_ps512(_mm_loadu_ps(t.wx + k)));
            const __m512 lo = _mm512_fmadd_ps(_mm512_sub_ps(b0, a0), wy, a0), hi = _mm512_fmadd_ps(_mm512_sub_ps(b1, a1), wy, a1);
            _mm512_storeu_ps(o + 4 * k, _mm512_fmadd_ps(_mm512_sub_ps(hi, lo), wx, lo));
        }
        for (; k + 2 <= done; k += 2) pairAt(src, pr, k, t, o);
    }

    Image in_;
    engine::IRect px_;
    DreamRippleKernel kernel_;
    Rect extent_;
};

Image scaledAbout(const Image& in, double s, double cx, double cy) {
    return in.transformed(engine::Affine::translation(-cx, -cy)
                              .then(engine::Affine::scale(s, s))
                              .then(engine::Affine::translation(cx, cy)));
}
}  // namespace

void setNarrowBurstForTesting(bool on) { gNarrowBurst = on; }

}  // namespace dream

Image DreamSequence::render(const Image& image, const FrameContext& frame) {
    using namespace dream;
    const double t = frame.t;
    const Rect E = image.extent();
    const double W = E.w, H = E.h, midX = E.x + W / 2, midY = E.y + H / 2;

    // 1. Ripple. Both sines of the kernel repeat every 20π seconds, so the time is handed over
    // reduced by that period: single precision cannot hold seconds since 2001 finely enough to
    // animate (it steps by a minute), while the reduced value gives the same formula exactly.
    Image picture = image;
    {
        const float time = float(std::fmod(t, 20 * M_PI));
        Image rippled = straightforwardChains() || image.isNull()
                            ? applyWarp(image, std::make_shared<DreamRippleKernel>(9.0f, time))
                            : Image(std::make_shared<RippleNode>(image, 9.0f, time, image.extent()));
        if (!rippled.isNull()) picture = rippled.cropped(E);
    }

    // 2–4. Grade, gamma, hue drift.
    Image G;
    if (engine::PixelOpPtr op = straightforwardChains() || picture.isNull() ? nullptr : gradeGammaHueOp(0.92, 0.015, 0.88, 0.9, hueAngle(t))) {
        G = picture.pixelOp(std::move(op));
    } else {
        G = filters::colorControls(picture, 0.92, 0.015, 0.88);
        G = straightforwardChains() ? filters::gammaAdjust(G, 0.9) : G.pixelOp(wideGammaOp(0.9f));
        G = filters::hueAdjust(G, hueAngle(t));
    }
    // G is read by the glow's blur and as its background: evaluate it once. Each tile decodes
    // the camera rows the ripple reaches beyond it too: 90-row tiles (eight for 720 rows) keep
    // that extra a fifth of the frame.
    const int gRows = balancedTileRows(engine::pixelBounds(G.extent()).h, 90);
    GridGatherer gather(engine::pixelBounds(G.extent()), glowGrid(E), gRows, false);
    G = gather.active() && !G.isNull() ? materializeWatched(G, gRows, gather.watcher()) : materialize(G, gRows);
    const Image gridOfG = gather.finish(pixelsOf(G));

    // 5–7. Glow, bloom and colour fringe.
    const bool fast = !straightforwardChains();
    const double o = fringeOffset(t);
    Image Cp;
    // The burst streams through C′ nine times over: it reads a half-precision copy made beside it.
    std::shared_ptr<HalfCopy> halfOfCp = fast ? std::make_shared<HalfCopy>(engine::pixelBounds(E)) : nullptr;
    const TileWatcher toHalf = halfOfCp ? halfOfCp->watcher() : TileWatcher();
    Image C = fast ? glowBloomFringe(G, o, E, echo_, Cp, gridOfG, &toHalf) : Image();
    if (C.isNull()) {
        Image glow = G.gaussianBlur(5.5).cropped(E);
        glow = filters::colorControls(glow, 1.0, 0.06, 1.0);
        const Image x = materialize(alphaScaled(glow, 0.32).composited(G).cropped(E));
        const Image B = materialize(filters::bloom(x, 6.0, 0.45).cropped(E));
        Image red = filters::colorMatrixWithBias(B, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0})
                        .translated(o, 0);
        Image blue = filters::colorMatrixWithBias(B, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0})
                         .translated(-o, 0);
        C = materialize(filters::screenBlend(filters::screenBlend(red, blue), B).cropped(E));
    }

    // 8. Echo of the previous frame (made beside C above where it could be), then remember this
    // one (without its echo).
    if (Cp.isNull()) Cp = echo_.isNull() ? C : materialize(alphaScaled(echo_, 0.16).composited(C).cropped(E));
    echo_ = C;

    // 9. Zoom burst.
    Image acc = Cp;
    if (const PixelView v = pixelsOf(Cp); v && fast) {
        std::array<double, 9> scales;
        for (int k = 1; k <= 9; ++k) scales[size_t(k - 1)] = burstScale(k, t);
        // The drift magnifies, so it reads only the middle of the burst: the burst is made over
        // that part alone, with two pixels to spare for the sampler's taps.
        // Its width is kept a multiple of sixteen pixels, the wide copies' group.
        const engine::IRect eb = engine::pixelBounds(E);
        engine::IRect rb = engine::enclosingIRect(driftTransform(t, midX, midY).inverted().mapRect(E).insetBy(-2, -2)).intersected(eb);
        const int w16 = std::min(eb.w, (rb.w + 15) / 16 * 16);
        rb.x = std::clamp(rb.x - (w16 - rb.w) / 2, eb.x, eb.maxX() - w16);
        rb.w = w16;
        const Rect reach = Rect{double(rb.x), double(rb.y), double(rb.w), double(rb.h)}.intersected(E);
        acc = materialize(Image(std::make_shared<BurstNode>(Cp, v, scales, midX, midY, E, std::move(halfOfCp))).cropped(reach));
    } else {
        for (int k = 1; k <= 9; ++k) {
            Image copy = alphaScaled(scaledAbout(Cp, burstScale(k, t), midX, midY).cropped(E), 0.24);
            acc = filters::screenBlend(copy, acc).cropped(E);
        }
    }

    // 10. Drift.
    acc = resampled(acc, driftTransform(t, midX, midY), E);

    // 11. Orbs. Beyond its outer radius an orb is fully transparent and screening it changes
    // nothing, so each is evaluated over its bounding square only.
    // 12. Warm centre light.
    const engine::Point warm{midX + std::sin(0.1 * t) * 24, midY + std::cos(0.09 * t) * 18};
    const Color warmInner = Color::fromSRGB(1.0, 0.97, 0.9, 0.09), warmOuter = Color::fromSRGB(1.0, 0.97, 0.9, 0);
    if (fast && !acc.isNull()) {
        // All eleven screened in one pass over the drifted picture.
        std::vector<Light> lights;
        auto rgba = [](const Color& c) { return std::array<float, 4>{c.r, c.g, c.b, c.a}; };
        for (int i = 0; i < 10; ++i) {
            const Orb& orb = orbs()[size_t(i)];
            const engine::Point c = orbCentre(i, E, t);
            const double r1 = orb.size * W;
            lights.push_back({c.x, c.y, 0.2 * r1, r1, rgba(Color::fromSRGB(orb.r, orb.g, orb.b, orb.a)),
                              rgba(Color::fromSRGB(orb.r, orb.g, orb.b, 0))});
        }
        lights.push_back({warm.x, warm.y, 0.1 * W, 0.75 * W, rgba(warmInner), rgba(warmOuter)});
        acc = screenLights(acc.cropped(E), std::move(lights), E);
    } else {
        for (int i = 0; i < 10; ++i) {
            const Orb& orb = orbs()[size_t(i)];
            const engine::Point c = orbCentre(i, E, t);
            const double r1 = orb.size * W;
            Image g = filters::radialGradient(c, 0.2 * r1, r1, Color::fromSRGB(orb.r, orb.g, orb.b, orb.a),
                                              Color::fromSRGB(orb.r, orb.g, orb.b, 0));
            if (g.isNull()) continue;
            g = g.cropped(E).cropped({c.x - r1 - 1, c.y - r1 - 1, 2 * r1 + 2, 2 * r1 + 2});
            acc = filters::screenBlend(g, acc).cropped(E);
        }
        Image g = filters::radialGradient(warm, 0.1 * W, 0.75 * W, warmInner, warmOuter);
        if (!g.isNull()) acc = filters::screenBlend(g.cropped(E), acc).cropped(E);
    }

    // 13. Vignette.
    acc = filters::vignette(acc, 0.55, 1.9);

    // 14. Sparkles.
    const int wp = std::max(1, int(std::lround(W))), hp = std::max(1, int(std::lround(H)));
    const QImage sp = sparkles(wp, hp, t);
    if (!sp.isNull()) {
        // The bitmap covers the extent, its top row at the extent's top.
        const Image bitmap = Image::fromQImage(sp).translated(E.x, E.y);
        if (!fast) {
            acc = bitmap.composited(acc);
        } else {
            // Only the squares about the sparkles hold anything: the rest is transparent, and
            // putting it over the picture would change nothing.
            for (const Sparkle& s : sparkleCircles(sp.width(), sp.height(), t)) {
                const double x0 = std::floor(s.cx - s.r) - 2, y0 = std::floor(sp.height() - s.cy - s.r) - 2;
                const double side = std::ceil(2 * s.r) + 5;
                acc = bitmap.cropped({E.x + x0, E.y + y0, side, side}).composited(acc);
            }
        }
    }
    return acc.cropped(E);
}

}  // namespace ostrela::effects
