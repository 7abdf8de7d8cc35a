#pragma once
// The built-in nodes. Filters outside the engine only need Image.h; these are visible so the
// renderer can recognise plain copies and tests can inspect regions of interest.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pipeline/engine/Image.h"

#include <QImage>

namespace ostrela::engine {

// A node whose every pixel depends only on the same pixel of its inputs, computed by changing one
// input's pixels (the carried one) in place. The renderer evaluates a run of such nodes row by
// row in one pass (see PixelRuns.h), so their intermediate pictures never leave the cache; what
// a row node computes is the same either way.
class RowNode : public Node {
public:
    // The input whose pixels the result starts from; −1 starts from transparent.
    virtual int carriedInput() const { return 0; }
    // Where the operation changes the carried pixels; the other inputs are read only there.
    virtual IRect opBounds() const = 0;
    // Pixels outside these are transparent.
    virtual IRect keptBounds() const { return everywhere(); }
    // n pixels of one row inside opBounds(): `acc` holds the carried pixels, in[i] the same
    // columns of input i (null for the carried input).
    virtual void applyRow(const float* const* in, int n, float* acc) const = 0;
    // applyRow for the pixels (x … x + n − 1, y), for operations that depend on where they are.
    // Runs and RowNode::render call this one.
    virtual void applyRowAt(const float* const* in, int x, int y, int n, float* acc) const {
        (void)x, (void)y;
        applyRow(in, n, acc);
    }
    // applyRow with the carried pixels read from `carried` instead of `acc`, where the node can
    // (false: the caller copies them into acc and calls applyRow).
    virtual bool applyRowFrom(const float* const* in, const float* carried, int n, float* acc) const {
        (void)in, (void)carried, (void)n, (void)acc;
        return false;
    }
    // applyRow with the carried pixels moved by a fraction of a pixel, mixed float by float
    // between rows lo and hi by wy and then across by wx (as kernels::mixRows mixes them), in the
    // node's own pass, where it can; false otherwise.
    virtual bool applyRowMixed(const float* const* in, const float* lo, const float* hi, float wx, float wy, int n, float* acc) const {
        (void)in, (void)lo, (void)hi, (void)wx, (void)wy, (void)n, (void)acc;
        return false;
    }
    // Composites that stack into one pass over several layers (see PixelRuns): over, and screen
    // of the foreground times *scale.
    enum class Stacking { none, over, screen };
    virtual Stacking stacking(float* scale) const {
        (void)scale;
        return Stacking::none;
    }
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    static IRect everywhere() { return {-(1 << 29), -(1 << 29), 1 << 30, 1 << 30}; }
};

// A node that can hand out its pixels a row piece at a time once readied over a rectangle (a
// warp reading its pulled source): a run reads such an input without a buffer of the tile.
class RowSource {
public:
    virtual ~RowSource() = default;
    // Readies the rows of r; the state lives in ctx's arena until the tile ends. Null where the
    // node cannot (it is then rendered as usual).
    virtual const void* readyRows(TileContext& ctx, const IRect& r) const = 0;
    // Pixels [xa, xb) of row y (inside the readied rectangle) into out, as render() makes them.
    virtual void rowOf(const void* state, int y, int xa, int xb, float* out) const = 0;
    // Where those pixels are a move by a fraction of a pixel of two source rows that lie in
    // memory: the rows and weights, as kernels::ChainLayer reads them (row, above, wx, wy), so a
    // reader can mix them in its own pass. False where rowOf must make them.
    virtual bool movedRows(const void*, int, int, int, const float**, const float**, float*, float*) const { return false; }
    // Where those pixels lie in memory already (a picture kept in bands): where they start, or
    // null. A source whose rows all lie in memory says so; it may then be read by several steps.
    virtual const float* rowIn(const void*, int, int, int) const { return nullptr; }
    // Where those pixels lie in memory at half precision (a picture kept in halves), or null: a
    // run of overs or screens widens them in its own pass.
    virtual const uint16_t* halvesIn(const void*, int, int, int) const { return nullptr; }
    virtual bool rowsLieInMemory() const { return false; }
};

class SourceNode final : public Node {
public:
    explicit SourceNode(QImage image);  // premultiplied ARGB32 or RGB32
    Rect extent() const override { return {0, 0, double(image_.width()), double(image_.height())}; }
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    const QImage& image() const { return image_; }

private:
    QImage image_;
};

class SolidNode final : public Node {
public:
    explicit SolidNode(const Color& c) : color_(c) {}
    Rect extent() const override { return Rect::infinite(); }
    NodePtr withInputs(const std::vector<NodePtr>&) const override { return std::make_shared<SolidNode>(color_); }
    void render(TileContext& ctx, const IRect& r, float* out) const override;

private:
    Color color_;
};

class NoiseNode final : public Node {
public:
    Rect extent() const override { return Rect::infinite(); }
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    static float value(int x, int y, int channel);
};

class TransformNode final : public Node, public RowSource {
public:
    TransformNode(NodePtr in, const Affine& t);
    // Rows of an axis-aligned, not whole-pixel move or scale.
    const void* readyRows(TileContext& ctx, const IRect& r) const override;
    void rowOf(const void* state, int y, int xa, int xb, float* out) const override;
    bool movedRows(const void* state, int y, int xa, int xb, const float** row, const float** above, float* wx,
                   float* wy) const override;
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override;
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    bool grey() const override { return in_->grey(); }
    bool sparse(TileContext& ctx, const IRect& r, SparsePixels& out) const override;
    const NodePtr& inputPtr() const { return in_; }
    const Affine& transform() const { return t_; }
    // True for a whole-pixel translation (rendered as a shifted copy).
    bool isIntegerTranslation(int* dx, int* dy) const;

private:
    NodePtr in_;
    Affine t_, inv_;
    Rect extent_;
};

class CropNode final : public RowNode {
public:
    CropNode(NodePtr in, const Rect& rect) : in_(std::move(in)), rect_(rect) {}
    Rect extent() const override { return rect_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.intersected(pixelBounds(rect_)); }
    bool grey() const override { return in_->grey(); }
    bool sparse(TileContext& ctx, const IRect& r, SparsePixels& out) const override;
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    IRect opBounds() const override { return {}; }
    IRect keptBounds() const override { return pixelBounds(rect_); }
    void applyRow(const float* const*, int, float*) const override {}

private:
    NodePtr in_;
    Rect rect_;
};

class ClampNode final : public Node {
public:
    explicit ClampNode(NodePtr in) : in_(std::move(in)), px_(pixelBounds(in_->extent())) {}
    Rect extent() const override { return Rect::infinite(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override;
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    bool grey() const override { return in_->grey(); }

private:
    NodePtr in_;
    IRect px_;
};

class OverNode final : public RowNode {
public:
    OverNode(NodePtr fg, NodePtr bg) : fg_(std::move(fg)), bg_(std::move(bg)) {}
    Rect extent() const override { return fg_->extent().united(bg_->extent()); }
    int inputCount() const override { return 2; }
    const Node* input(int i) const override { return i == 0 ? fg_.get() : bg_.get(); }
    int carriedInput() const override { return 1; }
    IRect opBounds() const override { return pixelBounds(fg_->extent()); }
    bool grey() const override { return fg_->grey() && bg_->grey(); }
    void applyRow(const float* const* in, int n, float* acc) const override;
    bool applyRowFrom(const float* const* in, const float* carried, int n, float* acc) const override;
    Stacking stacking(float* scale) const override {
        *scale = 1.0f;
        return Stacking::over;
    }
    NodePtr withInputs(const std::vector<NodePtr>& in) const override { return std::make_shared<OverNode>(in.at(0), in.at(1)); }

private:
    NodePtr fg_, bg_;
};

class PointwiseNode final : public RowNode {
public:
    PointwiseNode(NodePtr in, std::vector<PixelOpPtr> ops) : in_(std::move(in)), ops_(std::move(ops)) {}
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    IRect opBounds() const override { return everywhere(); }
    IRect keptBounds() const override { return pixelBounds(in_->extent()); }
    bool grey() const override {
        bool g = in_->grey();
        for (const auto& op : ops_) g = op->keepsGrey(g);
        return g;
    }
    void applyRow(const float* const*, int n, float* acc) const override {
        for (const auto& op : ops_) op->apply(acc, n);
    }
    bool applyRowFrom(const float* const*, const float* carried, int n, float* acc) const override {
        if (ops_.empty()) return false;
        ops_[0]->applyFrom(carried, acc, n);
        for (size_t i = 1; i < ops_.size(); ++i) ops_[i]->apply(acc, n);
        return true;
    }
    bool applyRowMixed(const float* const*, const float* lo, const float* hi, float wx, float wy, int n, float* acc) const override {
        if (ops_.empty() || !ops_[0]->applyMixed(lo, hi, wx, wy, acc, n)) return false;
        for (size_t i = 1; i < ops_.size(); ++i) ops_[i]->apply(acc, n);
        return true;
    }
    NodePtr withInputs(const std::vector<NodePtr>& in) const override { return std::make_shared<PointwiseNode>(in.at(0), ops_); }
    const NodePtr& inputPtr() const { return in_; }
    const std::vector<PixelOpPtr>& ops() const { return ops_; }

private:
    NodePtr in_;
    std::vector<PixelOpPtr> ops_;
};

class MatrixOp final : public PixelOp {
public:
    explicit MatrixOp(const ColorMatrix& m);
    void apply(float* rgba, int count) const override;
    void applyFrom(const float* src, float* dst, int count) const override;
    const ColorMatrix* matrix() const override { return &m_; }
    // The factor when the matrix only scales alpha (a fade); negative otherwise.
    float fade() const { return alphaScale_; }
    // The three factors when the matrix only scales each colour channel (alpha kept, no bias),
    // which is the same as scaling the premultiplied channels; null otherwise. Such a matrix
    // gives the same pixels before or after a move or a mix of pixels, to rounding.
    const float* gain() const { return hasGain_ ? gain_.data() : nullptr; }

private:
    ColorMatrix m_;
    float alphaScale_ = -1;  // ≥ 0 when the matrix only scales alpha (fades, trails)
    std::array<float, 3> gain_{};
    bool hasGain_ = false;
};

// Separable Gaussian. Small σ runs exactly (kernel truncated at 3σ, normalised); from σ = 4 on it
// runs on a grid reduced by k (2, 4 or 8, anchored at multiples of k so tiles agree), with the
// reduced σ chosen so box reduction + bilinear expansion + blur add up to σ².
class BlurNode final : public Node {
public:
    // `soft`: a soft layer, made on the reduced grid from a smaller σ (see Image::softBlur).
    BlurNode(NodePtr in, double sigma, bool soft = false);
    Rect extent() const override;
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override;
    void render(TileContext& ctx, const IRect& r, float* out) const override;
    bool grey() const override { return in_->grey(); }
    int reduction() const { return k_; }
    double sigma() const { return sigma_; }
    int radius() const { return radius_; }  // in reduced-grid pixels
    // The choices the blur makes for a σ, for passes that work on its grid themselves: the
    // reduction k, the σ on the reduced grid, its radius there, and the grid samples (inclusive)
    // whose expansion covers pixels [lo, hi) (grid sample u is the average of pixels ku … ku + k − 1).
    static int reductionFor(double sigma, bool soft = false) {
        return sigma < (soft ? 2 : 4) ? 1 : sigma < 8 ? 2 : sigma < 16 ? 4 : 8;
    }
    static double gridSigma(double sigma, int k);
    static int gridRadius(double gridSigma) { return std::max(1, int(std::ceil(3.0 * gridSigma))); }
    struct Grid { int u0, u1; };
    static Grid gridRange(int lo, int hi, int k);

private:
    // render() from a source already in memory: roi(0, r) of the input, its bottom row first at
    // `src`, rows `stride` floats apart (a stored input is read without copying it).
    void renderFrom(TileContext& ctx, const IRect& r, const float* src, size_t stride, float* out) const;
    // render() from sparse input pixels: the common value blurred (separable over the region)
    // plus each point's difference from it spread by the kernel.
    void renderSparse(TileContext& ctx, const IRect& r, const SparsePixels& in, float* out) const;
    Grid gridFor(int lo, int hi) const { return gridRange(lo, hi, k_); }  // before the radius
    NodePtr in_;
    double sigma_;
    bool sparseReads_;  // reads sparse input as such (the building thread's choice)
    int k_ = 1;
    int radius_ = 0;
    std::vector<float> weights_;  // weights_[i] for offset i = 0 … radius
};

namespace detail {
// The bilinear expansion of a grid reduced by k back onto the columns x0 … x0 + n − 1, a row at a
// time: the two grid rows mixed first, then the output pixels read from the mixed row. The
// blur's own expansion, also used by passes that expand a stored grid themselves.
class GridExpansion {
public:
    // The grid's columns are gridX … gridX + gridW − 1.
    GridExpansion(TileContext& ctx, int k, int gridX, int gridW, int x0, int n);
    // Output row (n pixels) from grid rows l0 and l1 mixed at wy.
    void row(const float* l0, const float* l1, float wy, float* o) const;

private:
    int nu_, n_;
    int* cx_;
    float* cw_;
    float* mix_ = nullptr;
    bool regular_ = false, odd_ = false;
};
}  // namespace detail

class WarpNode final : public Node {
public:
    WarpNode(NodePtr in, WarpKernelPtr kernel, const Rect& extent)
        : in_(std::move(in)), kernel_(std::move(kernel)), extent_(extent) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    // The kernel's rule, plus one pixel for the bilinear footprint.
    IRect roi(int, const IRect& dest) const override;
    void render(TileContext& ctx, const IRect& r, float* out) const override;

private:
    NodePtr in_;
    WarpKernelPtr kernel_;
    Rect extent_;
};

}  // namespace ostrela::engine
