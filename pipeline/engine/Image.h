#pragma once
// The image engine: lazy images over a graph of immutable nodes, rendered on the CPU.
//
// Geometry: rectangles are in output pixels, origin at the bottom left, y growing upwards. Pixel
// (i, j) covers [i, i+1) × [j, j+1); its centre (i + 0.5, j + 0.5) is what samplers and warp
// kernels see. Extents may be infinite (solid colours, clamped images).
//
// Working colour space: linear-light sRGB primaries, premultiplied alpha, 32-bit float per channel
// (RGBA order in memory). 8-bit inputs are decoded from sRGB by a table on entry and the renderer
// encodes back to sRGB by a table on the final write, so long chains neither band nor clip early.
// Filters defined on unpremultiplied colour (colour matrices) unpremultiply, apply and premultiply
// again; opaque pixels skip the division.
//
// Adding a filter: derive from Node (parameters + extent + roi + render over one tile). The
// renderer never needs to know about it.
#include <QImage>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace ostrela::engine {

struct Rect {
    double x = 0, y = 0, w = 0, h = 0;
    static Rect infinite();
    bool isInfinite() const;
    bool isEmpty() const { return !(w > 0) || !(h > 0); }
    // An infinite side has x = −∞ and w = +∞; its far edge is +∞, not NaN.
    double maxX() const { return std::isinf(w) ? std::numeric_limits<double>::infinity() : x + w; }
    double maxY() const { return std::isinf(h) ? std::numeric_limits<double>::infinity() : y + h; }
    Rect intersected(const Rect& o) const;
    Rect united(const Rect& o) const;
    Rect insetBy(double dx, double dy) const;  // negative values grow
    bool operator==(const Rect&) const = default;
};

// Integer pixel rectangle used while rendering.
struct IRect {
    int x = 0, y = 0, w = 0, h = 0;
    int maxX() const { return x + w; }
    int maxY() const { return y + h; }
    bool isEmpty() const { return w <= 0 || h <= 0; }
    bool contains(const IRect& o) const { return o.x >= x && o.y >= y && o.maxX() <= maxX() && o.maxY() <= maxY(); }
    IRect intersected(const IRect& o) const;
    IRect grown(int dx, int dy) const { return {x - dx, y - dy, w + 2 * dx, h + 2 * dy}; }
    bool operator==(const IRect&) const = default;
};

// The pixels whose centres lie inside r; infinite sides become a huge finite bound.
IRect pixelBounds(const Rect& r);
// The smallest integer rectangle containing r.
IRect enclosingIRect(const Rect& r);

struct Point { double x = 0, y = 0; };

// x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    static Affine translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }
    static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    // This transform followed by `next`.
    Affine then(const Affine& next) const;
    Affine inverted() const;
    Point map(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    Rect mapRect(const Rect& r) const;
    bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
};

// Linear premultiplied colour.
struct Color {
    float r = 0, g = 0, b = 0, a = 0;
    // From 8-bit-style sRGB components in 0…1 and an alpha.
    static Color fromSRGB(double r, double g, double b, double a = 1.0);
};

// Row-major 4×5: rows R, G, B, A; each four coefficients for (r, g, b, a) and a bias. Applied to
// unpremultiplied linear colour.
using ColorMatrix = std::array<float, 20>;
ColorMatrix identityMatrix();
// `second` applied after `first`.
ColorMatrix composeMatrices(const ColorMatrix& first, const ColorMatrix& second);
// Whether each colour channel of m's result depends on that channel alone, alpha kept.
bool isPerChannel(const ColorMatrix& m);
// Whether m's colour is grey: for any input (its colour rows are equal), or, `greyIn`, for grey
// input (the rows' colour coefficients add up alike and their alpha terms and biases agree).
bool matrixKeepsGrey(const ColorMatrix& m, bool greyIn);

class TileContext;

// A picture's pixels over a rectangle where nearly all are one value: inside `region` every
// pixel is `common` except the listed points, outside it every pixel is transparent.
struct SparsePixels {
    struct Point {
        int x, y;
        float v[4];
    };
    IRect region;
    float common[4] = {0, 0, 0, 0};
    std::vector<Point> points;
};

class Node {
public:
    virtual ~Node() = default;
    virtual Rect extent() const = 0;
    virtual int inputCount() const { return 0; }
    virtual const Node* input(int) const { return nullptr; }
    // The input rectangle needed to produce `dest`.
    virtual IRect roi(int inputIndex, const IRect& dest) const { return dest; }
    // Writes every pixel of `r` into `out` (r.w × r.h RGBA floats, bottom row first, tightly packed).
    virtual void render(TileContext& ctx, const IRect& r, float* out) const = 0;
    // Nodes whose pixels are already in memory (bottom row first, bounds->w pixels a row) hand
    // them out so readers skip the copy render() would make.
    virtual const float* storedPixels(IRect* bounds) const {
        (void)bounds;
        return nullptr;
    }
    // A node that can take a per-pixel operation into its own pass returns the node that does
    // (this one followed by op); null otherwise.
    virtual std::shared_ptr<const Node> absorbing(const std::shared_ptr<const class PixelOp>& op) const {
        (void)op;
        return nullptr;
    }
    // Whether every pixel's three colour channels are equal (to rounding): a per-pixel chain over
    // the picture is then a function of one value and is read from a table (see Image::pixelOp).
    virtual bool grey() const { return false; }
    // The pixels over r as sparse pixels, where the node knows them so (a reader then touches
    // only the points: a blur spreads each one instead of reading every pixel); false otherwise.
    virtual bool sparse(TileContext& ctx, const IRect& r, SparsePixels& out) const {
        (void)ctx, (void)r, (void)out;
        return false;
    }
    // The same operation over other inputs (one for each of this node's), for nodes whose pixel
    // depends on the same pixel of their inputs alone and not on where it lies, so the graph can
    // be remade on another grid; null for any other node.
    virtual std::shared_ptr<const Node> withInputs(const std::vector<std::shared_ptr<const Node>>& inputs) const {
        (void)inputs;
        return nullptr;
    }
};
using NodePtr = std::shared_ptr<const Node>;

// One operation of a fused per-pixel chain, applied in place to a run of pixels.
class PixelOp {
public:
    virtual ~PixelOp() = default;
    virtual void apply(float* rgba, int count) const = 0;
    // The same from `src` into `dst` (a chain's first operation reads its input where it lies).
    virtual void applyFrom(const float* src, float* dst, int count) const;
    // The same on pixels moved by a fraction of a pixel, mixed float by float as kernels::mixRows
    // mixes them: between rows lo and hi by wy, then (wx not 0) each with the next by wx; into
    // dst, where the operation can mix them in its own pass; false otherwise.
    virtual bool applyMixed(const float* lo, const float* hi, float wx, float wy, float* dst, int count) const {
        (void)lo, (void)hi, (void)wx, (void)wy, (void)dst, (void)count;
        return false;
    }
    // Affine colour operations expose their matrix so consecutive ones are composed into one.
    virtual const ColorMatrix* matrix() const { return nullptr; }
    // Whether each colour channel of the result depends on that channel alone, alpha kept.
    virtual bool perChannel() const;
    // Whether the result is grey: for any pixel, or (`greyIn`) for grey ones.
    virtual bool keepsGrey(bool greyIn) const;
    // One operation doing this and then `next` in a single step (tone stages share one encode and
    // decode), or null.
    virtual std::shared_ptr<const PixelOp> followedBy(const std::shared_ptr<const PixelOp>& next) const {
        (void)next;
        return nullptr;
    }
};
using PixelOpPtr = std::shared_ptr<const PixelOp>;

// A per-pixel step whose colour is a function of one weighted sum of the pixel's channels as
// they stand (weights adding up to 1), alpha kept. Put into a picture with Image::pixelOp, it is
// read from a table over sums 0…1 baked once from colourAt (4,096 steps, mixed between two
// entries: exact to rounding for maps linear between multiples of 1/4096, within 1e-7 for smooth
// ones); sums outside that range, and every pixel when the plain chains are asked for, are
// computed by colourAt.
class LuminanceMapOp : public PixelOp {
public:
    static constexpr int kTableSteps = 4096;
    explicit LuminanceMapOp(std::array<float, 3> weights) : w_(weights) {}
    virtual void colourAt(float sum, float* rgb) const = 0;
    void apply(float* rgba, int count) const override;
    bool perChannel() const override { return false; }
    const std::array<float, 3>& weights() const { return w_; }
    // The table: (kTableSteps + 2) RGBA entries, the last repeated (alpha unused), baked on first use.
    const float* table() const;

private:
    std::array<float, 3> w_;
    mutable std::once_flag baked_;
    mutable std::vector<float> table_;
};

// A warp kernel maps destination pixel centres to source points. It is given one row at a time
// so row-constant terms are computed once per row.
class WarpKernel {
public:
    virtual ~WarpKernel() = default;
    // For destination pixels x0 … x0+n−1 of row y (centres at x+0.5, y+0.5), the source points.
    virtual void mapRow(int x0, int y, int n, float* sx, float* sy) const = 0;
    // The source rectangle read for a destination rectangle.
    virtual Rect roi(const Rect& dest) const = 0;
    // True when each row moves across by one distance and each column down by one: source x is
    // the destination x plus a term of the row alone, source y the destination y plus a term of
    // the column alone (a ripple). The renderer then samples whole registers of a row at once.
    virtual bool separable() const { return false; }
};
using WarpKernelPtr = std::shared_ptr<const WarpKernel>;

class Image {
public:
    Image() = default;  // empty: extent empty, renders transparent
    explicit Image(NodePtr node) : node_(std::move(node)) {}

    // Any QImage; converted to premultiplied ARGB32 when needed (shared, not copied, when it
    // already is). Extent (0, 0, width, height); the QImage's top row is the top of the extent.
    static Image fromQImage(const QImage& image);
    static Image solid(const Color& premultipliedLinear);  // infinite extent
    // Random noise: infinite extent; each channel of pixel (x, y) is a pure hash of the integer
    // coordinates, uniform in 0…1 (alpha too, as with a classic random generator).
    static Image noise();
    // A transparent image with an empty extent.
    static Image empty() { return Image(); }

    bool isNull() const { return !node_; }
    Rect extent() const;
    const NodePtr& node() const { return node_; }

    Image transformed(const Affine& t) const;  // bilinear sampling
    Image translated(double dx, double dy) const { return transformed(Affine::translation(dx, dy)); }
    Image scaled(double sx, double sy) const { return transformed(Affine::scale(sx, sy)); }
    Image cropped(const Rect& r) const;
    Image clampedToExtent() const;  // edge pixels repeat outward; infinite extent
    Image composited(const Image& background) const;  // this source-over background
    Image colorMatrix(const ColorMatrix& m) const;
    Image pixelOp(PixelOpPtr op) const;  // fused with a per-pixel chain below it
    Image gaussianBlur(double sigma) const;
    // A blur whose result is a soft layer (a glow, a heat haze): the engine may make it on a grid
    // reduced by two from σ = 2 on, where gaussianBlur waits for σ = 4. With the plain chains
    // asked for, it is gaussianBlur.
    Image softBlur(double sigma) const;
    // `this` is the (usually clamped) source; the result has extent `extent`.
    Image warped(WarpKernelPtr kernel, const Rect& extent) const;

private:
    NodePtr node_;
};

// Low-level helpers shared by filters.
namespace detail {
// Zeroes the pixels of buffer `r` whose centres lie outside `extent`.
void clearOutside(float* out, const IRect& r, const Rect& extent);
// Bilinear sample of a buffer covering `br` at point (px, py) in output coordinates; outside the
// buffer counts as transparent. Weights depend only on the point, never on the buffer's position,
// so tiles agree bit for bit.
void sampleBilinear(const float* buf, const IRect& br, double px, double py, float* out4);
// The same from two rows (w pixels from column x; null: transparent) mixed by wy, at source
// column position fx (pixel centres at whole numbers).
void sampleBilinearRows(const float* row0, const float* row1, int x, int w, double fx, float wy, float* out4);
}  // namespace detail

}  // namespace ostrela::engine
