// What Flame looks like, measured on its output pixels: dark above the fire, sparse embers,
// and fire that stands up in separate tongues along the bottom; and the look as the renderer
// schedules it (kept rows, bands, runs) against the plain chain of filters on every vector target.
#include "effects/FlameEffect.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"
#include "tests/effects/Looks.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <string>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace ostrela;
using namespace ostrela::effects;
using namespace ostrela::effects::testing;
using engine::Image;
using engine::Rect;

namespace {

constexpr int kW = 1280, kH = 720;
// Frame times: early ones, and one of today's (seconds since 2001).
const double kTimes[] = {0.5, 3.7, 11.2, 820000123.4};

engine::Renderer& renderer() {
    static engine::Renderer r(2, 64);
    return r;
}

QImage rendered(const Image& im) { return renderer().renderQImage(im, {0, 0, kW, kH}); }

QImage onBlack(double t) {
    QImage black(kW, kH, QImage::Format_ARGB32_Premultiplied);
    black.fill(Qt::black);
    return rendered(flameLook().render(Image::fromQImage(black), t));
}

// The brightest of the three 8-bit channels of (x, y), top row first.
int level(const QImage& img, int x, int y) {
    const QRgb p = reinterpret_cast<const QRgb*>(img.constScanLine(y))[x];
    return std::max({qRed(p), qGreen(p), qBlue(p)});
}

struct Component {
    int area = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // bounding box, inclusive
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};

// The 4-connected components of the pixels of rows [top, bottom) where lit(x, y) holds,
// largest first.
template <typename Lit>
std::vector<Component> components(int top, int bottom, Lit lit) {
    const int h = bottom - top;
    std::vector<char> seen(size_t(kW) * h, 0);
    std::vector<Component> out;
    std::vector<std::pair<int, int>> stack;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < kW; ++x) {
            if (seen[size_t(y - top) * kW + x] || !lit(x, y)) continue;
            Component c{0, x, y, x, y};
            seen[size_t(y - top) * kW + x] = 1;
            stack.push_back({x, y});
            while (!stack.empty()) {
                const auto [px, py] = stack.back();
                stack.pop_back();
                ++c.area;
                c.x0 = std::min(c.x0, px), c.x1 = std::max(c.x1, px);
                c.y0 = std::min(c.y0, py), c.y1 = std::max(c.y1, py);
                const int nx[4] = {px - 1, px + 1, px, px}, ny[4] = {py, py, py - 1, py + 1};
                for (int k = 0; k < 4; ++k) {
                    if (nx[k] < 0 || nx[k] >= kW || ny[k] < top || ny[k] >= bottom) continue;
                    char& s = seen[size_t(ny[k] - top) * kW + nx[k]];
                    if (s || !lit(nx[k], ny[k])) continue;
                    s = 1;
                    stack.push_back({nx[k], ny[k]});
                }
            }
            out.push_back(c);
        }
    std::sort(out.begin(), out.end(), [](const Component& a, const Component& b) { return a.area > b.area; });
    return out;
}

}  // namespace

// Over a black camera frame nothing but a few ember specks shows above 40 % of the height: every
// row there is black in the main, lit pixels are rare, and each lit spot is a speck, not a veil.
TEST(FlameLook, BlackFrameStaysBlackAboveTheFire) {
    const int top = int(0.6 * kH);  // rows [0, top) lie above 40 % of the height
    for (double t : kTimes) {
        const QImage out = onBlack(t);
        long lit = 0;
        int worstMedian = 0;
        std::vector<int> row(kW);
        for (int y = 0; y < top; ++y) {
            for (int x = 0; x < kW; ++x) {
                row[size_t(x)] = level(out, x, y);
                lit += row[size_t(x)] > 8;
            }
            std::nth_element(row.begin(), row.begin() + kW / 2, row.end());
            worstMedian = std::max(worstMedian, row[kW / 2]);
        }
        const auto spots = components(0, top, [&](int x, int y) { return level(out, x, y) > 8; });
        const Component biggest = spots.empty() ? Component{} : spots.front();
        std::printf("t=%.1f: worst row median %d, lit %.3f %%, %zu spots, biggest %d px (%dx%d)\n", t, worstMedian,
                    100.0 * lit / (double(kW) * top), spots.size(), biggest.area, biggest.width(), biggest.height());
        EXPECT_LE(worstMedian, 2) << t;
        EXPECT_LT(double(lit) / (double(kW) * top), 0.02) << t;
        EXPECT_LE(biggest.area, 150) << t;
        EXPECT_LE(std::max(biggest.width(), biggest.height()), 16) << t;
    }
}

// The ember layer keeps only sparse specks: under 2 % of the pixels show at all, even along the
// bottom where the fade lets most of them through; and there are some.
TEST(FlameLook, EmbersAreSparseSpecks) {
    const Rect E{0, 0, kW, kH};
    for (double t : kTimes) {
        const QImage embers = rendered(flame::emberLayer(E, t));
        long shown = 0, shownLow = 0;
        const int low = int(0.75 * kH);  // the bottom quarter, faded by at most a quarter
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool on = qAlpha(reinterpret_cast<const QRgb*>(embers.constScanLine(y))[x]) >= 3;
                shown += on;
                shownLow += on && y >= low;
            }
        const double share = double(shown) / (double(kW) * kH), shareLow = double(shownLow) / (double(kW) * (kH - low));
        std::printf("t=%.1f: embers show on %.3f %% of the frame, %.3f %% of its bottom quarter\n", t, 100 * share,
                    100 * shareLow);
        EXPECT_LT(share, 0.02) << t;
        EXPECT_LT(shareLow, 0.02) << t;
        EXPECT_GT(shareLow, 0.0005) << t;
    }
}

// Over black, the fire along the bottom is separate bright tongues with dark gaps between them,
// each standing on the bottom of the frame and taller than it is wide.
TEST(FlameLook, FireRisesInTongues) {
    const int top = int(0.6 * kH);
    for (double t : kTimes) {
        const QImage out = onBlack(t);
        auto bright = [&](int x, int y) { return level(out, x, y) >= 100; };
        long lit = 0;
        for (int y = top; y < kH; ++y)
            for (int x = 0; x < kW; ++x) lit += bright(x, y);
        const auto shapes = components(top, kH, bright);
        std::printf("t=%.1f: bright %.1f %% of the bottom 40 %%, %zu shapes; largest:", t, 100.0 * lit / (double(kW) * (kH - top)),
                    shapes.size());
        for (size_t i = 0; i < std::min<size_t>(5, shapes.size()); ++i)
            std::printf(" %d px %dx%d at x %d..%d y %d..%d;", shapes[i].area, shapes[i].width(), shapes[i].height(), shapes[i].x0,
                        shapes[i].x1, shapes[i].y0, shapes[i].y1);
        std::printf("\n");
        // Dark gaps: well under half of the band is bright, yet there is fire.
        EXPECT_LT(double(lit) / (double(kW) * (kH - top)), 0.4) << t;
        ASSERT_GE(shapes.size(), 3u) << t;
        for (int i = 0; i < 3; ++i) {
            const Component& c = shapes[size_t(i)];
            EXPECT_GE(c.area, 400) << t << " shape " << i;
            EXPECT_GT(c.height(), c.width()) << t << " shape " << i;
            EXPECT_LT(c.width(), kW / 4) << t << " shape " << i;
            EXPECT_GE(c.y1, int(0.85 * kH)) << t << " shape " << i;  // rises from the bottom
        }
    }
}

// ---- The look as scheduled against the plain chain, on every vector target ----

namespace {

// Two renders of one rectangle compared: in 8-bit levels (the largest difference, the mean over
// every byte, how many bytes differ by more than 2) and in linear floats (the largest difference,
// how many values differ by more than 1e-3).
struct Difference {
    int max = 0;
    double mean = 0;
    long over2 = 0;
    double linear = 0;
    long linearOver = 0;
};

struct Render {
    QImage bytes;
    std::vector<float> floats;
};

Render renderBoth(const Image& im, const engine::IRect& r) { return {renderer().renderQImage(im, r), renderer().renderFloat(im, r)}; }

Difference difference(const Render& a, const Render& b) {
    Difference d;
    if (a.bytes.size() != b.bytes.size() || a.floats.size() != b.floats.size()) {
        ADD_FAILURE() << "renders differ in size";
        d.max = 255;
        return d;
    }
    const int n = a.bytes.width() * 4;
    double sum = 0;
    for (int y = 0; y < a.bytes.height(); ++y) {
        const uchar* p = a.bytes.constScanLine(y);
        const uchar* q = b.bytes.constScanLine(y);
        for (int x = 0; x < n; ++x) {
            const int e = std::abs(int(p[x]) - int(q[x]));
            d.max = std::max(d.max, e);
            d.over2 += e > 2;
            sum += e;
        }
    }
    d.mean = sum / (double(n) * std::max(a.bytes.height(), 1));
    for (size_t i = 0; i < a.floats.size(); ++i) {
        const double e = std::abs(a.floats[i] - b.floats[i]);
        d.linear = std::max(d.linear, e);
        d.linearOver += e > 1e-3;
    }
    return d;
}

// `make` rendered as scheduled and then with the plain chain (Flame's kept rows
// forgotten before each).
template <typename Make>
std::pair<Render, Render> fastAndPlain(const Make& make) {
    Render out[2];
    for (int plain = 0; plain < 2; ++plain) {
        flameLook().suspend();
        engine::setStraightforwardChains(plain == 1);
        out[plain] = make();
    }
    engine::setStraightforwardChains(false);
    flameLook().suspend();
    return {out[0], out[1]};
}

// Within the schedules' rounding: 2 levels at most and, in linear light, well under a level of
// the darkest sRGB codes, with a mean far under one level. A handful of values may differ more:
// the tone filters' unpremultiply is not continuous where a channel of the (independent-channel)
// octave noise meets its alpha, and there the last bit of a mix, which the schedule and the
// plain chain round differently (and each target differently), picks the side; a pixel or two of
// a frame then differs by more, on one target or another.
void expectClose(const std::pair<Render, Render>& p, const std::string& what) {
    const Difference d = difference(p.first, p.second);
    std::printf("%s: max %d (%ld bytes over 2), mean %.5f (8-bit units), linear %.2e (%ld values over 1e-3)\n", what.c_str(),
                d.max, d.over2, d.mean, d.linear, d.linearOver);
    EXPECT_LE(d.over2, 16) << what;
    EXPECT_LE(d.linearOver, 16) << what;
    EXPECT_LT(d.mean, 0.01) << what;
}

QImage camera(int w, int h, int alphaRight) {
    QImage cam(w, h, QImage::Format_ARGB32_Premultiplied);
    cam.fill(Qt::transparent);
    QPainter p(&cam);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(40, 60, 180));
    g.setColorAt(0.5, QColor(220, 170, 60));
    g.setColorAt(1, QColor(20, 110, 70));
    p.fillRect(QRect(0, 0, w / 2, h), g);
    p.setOpacity(alphaRight / 255.0);
    p.fillRect(QRect(w / 2, 0, w - w / 2, h), g);
    p.setOpacity(1);
    p.setPen(QPen(Qt::white, 3));
    for (int i = 0; i < 40; ++i) p.drawLine(i * w / 40, 0, w - i * w / 40, h);
    return cam;
}

}  // namespace

// The whole look over a camera frame, three frames in a row so the kept octave rows are reused
// and scrolled: the fire's tail, S from the kept rows, the embers, the grade read from the
// picture's bytes and the frame's screens, on every target.
TEST(FlameLook, ScheduledLookMatchesThePlainChainOnEveryTarget) {
    const Image src = Image::fromQImage(camera(kW, kH, 255));
    ostrela::test::forEachSimdTarget([&] {
        const auto frames = fastAndPlain([&] {
            for (int f = 0; f < 2; ++f) rendered(flameLook().render(src, 820000123.4 + f / 30.0));
            return renderBoth(flameLook().render(src, 820000123.4 + 2 / 30.0), {0, 0, kW, kH});
        });
        expectClose(frames, "Flame over a camera frame");
    });
}

// The fire alone over the band it is evaluated in (where the screens over the frame would hide
// much of it): the displaced tail, S from the kept rows and the mask.
TEST(FlameLook, FireMatchesThePlainChainOnEveryTarget) {
    const Rect E{0, 0, kW, kH};
    const Rect band{0, 0, kW, 0.4 * kH};
    ostrela::test::forEachSimdTarget([&] {
        for (double t : {0.5, 820000123.4}) {
            const auto p = fastAndPlain([&] {
                const Image fire = flame::fireLayer(E, t, band, &flameLook().caches());
                return renderBoth(fire, {0, 0, kW, int(0.4 * kH)});
            });
            expectClose(p, "fire at t=" + std::to_string(t));
        }
    });
}

// A picture smaller than the frame, half of it translucent, moved by an odd number of pixels: every
// row of every pass ends in a part-filled block, the frame pass reads the picture's bytes at an
// offset and scales translucent and empty pixels as the matrix filter does.
TEST(FlameLook, OddlyPlacedTranslucentPictureMatchesThePlainChainOnEveryTarget) {
    const Image src = Image::fromQImage(camera(1250, 700, 160)).translated(13, 7);
    ostrela::test::forEachSimdTarget([&] {
        for (double t : {4.5, 820000123.4})
            expectClose(fastAndPlain([&] { return renderBoth(flameLook().render(src, t), {0, 0, kW, kH}); }),
                        "oddly placed picture at t=" + std::to_string(t));
    });
}

// The embers alone over an odd rectangle, from their kept noise rows, with specks there.
TEST(FlameLook, EmbersMatchThePlainChainOnEveryTarget) {
    const Rect E{3, 2, 1251, 701};
    ostrela::test::forEachSimdTarget([&] {
        for (double t : {3.25, 820000123.4}) {
            const auto p = fastAndPlain([&] { return renderBoth(flame::emberLayer(E, t, &flameLook().caches()), {3, 2, 1251, 701}); });
            long lit = 0;
            for (int y = 0; y < p.second.bytes.height(); ++y)
                for (int x = 0; x < p.second.bytes.width(); ++x)
                    lit += qAlpha(reinterpret_cast<const QRgb*>(p.second.bytes.constScanLine(y))[x]) > 8;
            EXPECT_GT(lit, 1251 * 701 / 10000) << t;
            expectClose(p, "embers at t=" + std::to_string(t));
        }
    });
}

// Frames whose graphs are still held while later ones are made (the embers' kept noise rows are
// rewritten each frame) keep their own picture: each equals the plain chain at its own time.
TEST(FlameLook, HeldFramesKeepTheirOwnEmbers) {
    const Image src = Image::fromQImage(camera(kW, kH, 255));
    const double t0 = 820000123.4;
    std::vector<Image> held;
    flameLook().suspend();
    for (int f = 0; f < 3; ++f) held.push_back(flameLook().render(src, t0 + f * 3.0));
    std::vector<Render> fast;
    for (int f = 2; f >= 0; --f) fast.push_back(renderBoth(held[size_t(f)], {0, 0, kW, kH}));
    held.clear();
    engine::setStraightforwardChains(true);
    for (int f = 2; f >= 0; --f)
        expectClose({fast[size_t(2 - f)], renderBoth(flameLook().render(src, t0 + f * 3.0), {0, 0, kW, kH})},
                    "held frame " + std::to_string(f));
    engine::setStraightforwardChains(false);
    flameLook().suspend();
}

// A half-transparent picture: the frame pass scales translucent pixels as the matrix filter does
// (on unpremultiplied colour), and the picture stays translucent where neither layer covers it.
TEST(FlameLook, TranslucentPictureMatchesThePlainChainOnEveryTarget) {
    QImage half(kW, kH, QImage::Format_ARGB32_Premultiplied);
    half.fill(QColor(200, 120, 40, 128));
    const Image src = Image::fromQImage(half);
    ostrela::test::forEachSimdTarget([&] {
        const auto p = fastAndPlain([&] { return renderBoth(flameLook().render(src, 12.25), {0, 0, kW, kH}); });
        expectClose(p, "translucent picture");
        EXPECT_LT(qAlpha(p.first.bytes.pixel(640, 10)), 250);
    });
}

// A camera frame fitted by moving a larger picture by whole pixels, with detail in every pixel:
// the frame pass reads the picture's bytes itself and must place them as the plain chain does.
TEST(FlameLook, MovedPictureMatchesThePlainChainOnEveryTarget) {
    QImage big(1320, 760, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x)
            big.setPixel(x, y, qRgba((x * 7) & 255, (y * 5) & 255, (x + y) & 255, x < 660 ? 255 : 200));
    const Image src = Image::fromQImage(big).translated(-20, -20);
    ostrela::test::forEachSimdTarget([&] {
        expectClose(fastAndPlain([&] { return renderBoth(flameLook().render(src, 4.5), {0, 0, kW, kH}); }), "moved picture");
    });
}
