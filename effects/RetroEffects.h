#pragma once
// Old TV and VHS, plus the drawing helpers the burned-in readouts share (Security Cam and Local
// Cable use them too).
//
// Layout frame: the readouts, bands and dropout lines are laid out in the part of the input
// extent E that the published frame shows, F = E ∩ (0, 0, 1280, 720) (E itself when they do not
// meet). For a 16:9 source F = E. For a 4:3 source E = (0, −120, 1280, 960) and a layout over E
// would put the top-corner readouts above the published picture; over F they sit where they do
// for a 16:9 source. Results are still cropped to E.
#include "effects/Effects.h"
#include "pipeline/engine/Image.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace ostrela::effects {

// Drawn overlays kept by their content (a handful of small bitmaps), oldest let go first.
class DrawnCache {
public:
    explicit DrawnCache(size_t capacity) : capacity_(capacity) {}
    engine::Image get(const QString& key, const std::function<engine::Image()>& make);
    void clear() { entries_.clear(); }

private:
    size_t capacity_;
    std::vector<std::pair<QString, engine::Image>> entries_;
};

// What Old TV, VHS, Security Cam and Local Cable keep between frames: readouts drawn this second,
// the grain prepared for the extent, the zoomed camera bytes. All of it can be made again.
struct ReadoutCaches {
    DrawnCache overlays{12};  // VHS readout and battery
    DrawnCache readouts{4};   // a second's whole readout
    DrawnCache lines{16};     // its lines, so a new second redraws only those that changed
    engine::Image grain;  // for grainExtent
    engine::Rect grainExtent;
    QImage scratch;  // reused from frame to frame; detaches if last frame's graph holds it
    void clear();
};

// A look drawn with readouts: its caches are let go when another look takes over.
template <engine::Image (*Render)(const engine::Image&, double, ReadoutCaches&)>
class ReadoutLook final : public Effect {
public:
    engine::Image render(const engine::Image& image, const FrameContext& frame) override { return Render(image, frame.t, caches_); }
    void suspend() override { caches_.clear(); }

private:
    ReadoutCaches caches_;
};

// One frame of each; without caches, everything is drawn for this frame alone.
engine::Image renderOldTV(const engine::Image& image, double t);
engine::Image renderOldTV(const engine::Image& image, double t, ReadoutCaches& caches);
engine::Image renderVHS(const engine::Image& image, double t);
engine::Image renderVHS(const engine::Image& image, double t, ReadoutCaches& caches);

// The visible layout frame F of an input extent (see above).
engine::Rect layoutFrame(const engine::Rect& extent);

// The dropout lines of dropoutLines(W, H, t) at F's origin, applied straight to `base` as the
// source-over of black at each line's alpha (with the fractional coverage of partly covered rows),
// without a frame-sized bitmap.
engine::Image shadeDropoutLines(const engine::Image& base, const engine::Rect& frame, double t);

// Glitch or rolling band: the picture clamped, moved by (dx, 0), cropped to (F.x, y, F.w, h) with
// y = F.y + (sin(speed·t + phase)·0.42 + 0.5)·F.h − h / 2, brightened (brightness 0.12,
// contrast 1.2) and composited over the picture.
engine::Image compositeBand(const engine::Image& image, const engine::Rect& frame, double t, double heightFraction,
                            double speed, double phase, double dx);

// Grey noise grain (the noise cropped to E, saturation 0, alpha times `opacity`) composited over
// `base`; the grain is the same every frame, so it is prepared once per extent.
engine::Image compositeGrain(const engine::Image& base, const engine::Rect& E, float opacity);
engine::Image compositeGrain(const engine::Image& base, const engine::Rect& E, float opacity, ReadoutCaches& caches);

// VHS: whether the "▶ PLAY" / "12:00" readout shows at t (floor(2t) even), and the battery level
// (1…4 bars) at t.
bool vhsReadoutVisible(double t);
int vhsBatteryLevel(double t);

// Pixel text: `text` in Courier-Bold (Liberation Mono Bold) at s / k points, opaque white, in a
// bitmap of max(1, ceil(bw) + 4) × max(1, ceil(1.5·s / k)).
QImage pixelText(const QString& text, double s, int k);

// The readout and battery overlays for a frame of W × H, as images placed in frame coordinates
// relative to F's origin; cached (their content changes only with the size and, for the battery,
// the level).
engine::Image vhsReadoutOverlay(double W, double H);
engine::Image vhsReadoutOverlay(double W, double H, ReadoutCaches& caches);
engine::Image vhsBatteryOverlay(double W, double H, int level);
engine::Image vhsBatteryOverlay(double W, double H, int level, ReadoutCaches& caches);

namespace draw {
// Drawing surfaces in bitmap coordinates with y up, as the layouts are written. A surface covers
// the region (x0, y0, w, h) of a W × H frame bitmap; the painter works in frame top-down pixels,
// so drawing into a region is the same as drawing into the frame-sized bitmap.
struct Surface {
    QImage image;
    int x0 = 0, y0 = 0;  // the region's bottom-left corner in frame pixels (y up)
    int frameH = 0;
    // Frame-bitmap point (y up) → painter point in this surface (y down).
    QPointF at(double x, double y) const { return {x - x0, y0 + image.height() - y}; }
    // Rectangle given by its bottom-left corner in y-up frame coordinates.
    QRectF rect(double x, double y, double w, double h) const { return {at(x, y + h), QSizeF(w, h)}; }
};
// A transparent 72-dpi surface (1 point = 1 pixel) for the region; null image if it cannot be made.
Surface surface(int frameW, int frameH, int x0, int y0, int w, int h);
// `paint` into the surface with a drop shadow: offset (dx, dy) y up, Gaussian blur of `blur` (σ =
// blur / 2), black at `alpha`, under the painted shapes.
void withShadow(Surface& s, double dx, double dy, double blur, double alpha, const std::function<void(QPainter&)>& paint);
// The surface as an image at (frame.x + x0, frame.y + y0).
engine::Image place(const Surface& s, const engine::Rect& frame);
// Fonts at a point size on 72-dpi surfaces; the families are the installed matches of Menlo-Bold,
// Courier-Bold and Impact.
QFont menloBold(double points);
QFont courierBold(double points);
QFont impact(double points);
}  // namespace draw

}  // namespace ostrela::effects
