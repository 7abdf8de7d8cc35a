// What Flame looks like, measured on its output pixels: dark above the fire, sparse embers,
// and fire that stands up in separate tongues along the bottom.
#include "effects/FlameEffect.h"
#include "pipeline/engine/Renderer.h"
#include "tests/effects/Looks.h"

#include <gtest/gtest.h>

#include <QImage>

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
