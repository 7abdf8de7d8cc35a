#include "pipeline/engine/Filters.h"

#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/ColorSpace.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

namespace ostrela::engine::filters {

namespace {

// ---- Tone run: encoded-space stages between one encode and one decode ----

struct ToneStage {
    bool isMatrix = true;
    ColorMatrix m = identityMatrix();  // on (e.r, e.g, e.b, a); alpha row identity in every tone filter
    // False colour with translucent colours: premultiplied encoded colours (rgb, a) at L = 0 and 1.
    std::array<float, 4> c0{}, c1{};
};

class ToneOp final : public PixelOp {
public:
    static constexpr size_t kMaxStages = 8;
    // The kernels' constants are worked out here, once, as the graph is built (the plain chains
    // are asked for, or not, then).
    explicit ToneOp(std::vector<ToneStage> stages, std::array<float, 3> gain = {1, 1, 1})
        : stages_(std::move(stages)), gain_(gain), ns_(prepare()) {}
    const std::vector<ToneStage>& stages() const { return stages_; }
    // Linear colour channels are multiplied by these after the decode (a light matrix that only
    // scales colour, taken into the run).
    bool hasGain() const { return gain_ != std::array<float, 3>{1, 1, 1}; }
    // `st` after `stages`: a matrix after a matrix is composed into it; false when the run is full.
    static bool appendStage(std::vector<ToneStage>& stages, const ToneStage& st) {
        if (st.isMatrix && !stages.empty() && stages.back().isMatrix)
            stages.back().m = composeMatrices(stages.back().m, st.m);
        else if (stages.size() < kMaxStages)
            stages.push_back(st);
        else
            return false;
        return true;
    }

    void apply(float* p, int n) const override { run(p, n, false); }
    bool applyMixed(const float* lo, const float* hi, float wx, float wy, float* dst, int n) const override {
        kernels::toneRunMixed(lo, hi, wx, wy, n, prep_.data(), ns_, gainOrNull(), dst);
        return true;
    }
    PixelOpPtr followedBy(const PixelOpPtr& next) const override {
        // A diagonal light matrix without bias, alpha kept: on premultiplied pixels of alpha in
        // 0…1 (as the run leaves them) unpremultiplying and premultiplying again cancel, so it
        // scales the linear colour.
        if (const ColorMatrix* m = next->matrix(); m && !straightforwardChains() && isPerChannel(*m) && (*m)[4] == 0 &&
                                                   (*m)[9] == 0 && (*m)[14] == 0) {
            std::array<float, 3> gain = gain_;
            for (int c = 0; c < 3; ++c) gain[size_t(c)] *= (*m)[size_t(c * 6)];
            return std::make_shared<ToneOp>(stages_, gain);
        }
        const auto* tone = dynamic_cast<const ToneOp*>(next.get());
        if (!tone || hasGain() || tone->hasGain()) return nullptr;
        std::vector<ToneStage> stages = stages_;
        for (const ToneStage& st : tone->stages())
            if (!appendStage(stages, st)) return nullptr;
        return std::make_shared<ToneOp>(std::move(stages));
    }
    // Encoding and decoding treat the channels alike: what decides is each stage.
    bool keepsGrey(bool greyIn) const override {
        bool g = greyIn;
        for (const ToneStage& st : stages_)
            g = st.isMatrix ? matrixKeepsGrey(st.m, g)
                            : st.c0[0] == st.c0[1] && st.c0[0] == st.c0[2] && st.c1[0] == st.c1[1] && st.c1[0] == st.c1[2];
        return g && gain_[0] == gain_[1] && gain_[0] == gain_[2];
    }
    // The pixels hold unpremultiplied sRGB-encoded colour and alpha already (read straight from
    // 8-bit pictures); the result is linear premultiplied as from apply().
    void applyEncoded(float* p, int n) const { run(p, n, true); }
    // From n premultiplied BGRA8 pixels, whose codes are the encoded values already, into `out`.
    void applyBytes(const uint8_t* bgra, int n, float* out) const { kernels::toneRunBytes(bgra, n, prep_.data(), ns_, gainOrNull(), out); }

private:
    // As many pixels at a time as a register holds, as planes, so every lane does useful work.
    void run(float* p, int n, bool encoded) const { kernels::toneRun(p, n, prep_.data(), ns_, encoded, gainOrNull()); }
    const float* gainOrNull() const { return hasGain() ? gain_.data() : nullptr; }
    int prepare() {
        const int ns = int(std::min(stages_.size(), kMaxStages));
        for (int s = 0; s < ns; ++s) {
            const ToneStage& st = stages_[s];
            prep_[s].isMatrix = st.isMatrix;
            prep_[s].diagonal = st.isMatrix && isPerChannel(st.m);
            std::copy(st.m.begin(), st.m.begin() + 15, prep_[s].m);
            for (int c = 0; c < 4; ++c) {
                prep_[s].c0[c] = st.c0[c];
                prep_[s].d[c] = st.c1[c] - st.c0[c];
            }
            // From transparent black, last: the colour is c1's wherever there is any.
            prep_[s].flat = !st.isMatrix && s == ns - 1 && st.c0 == std::array<float, 4>{0, 0, 0, 0} && st.c1[3] > 0.0f &&
                           !straightforwardChains();
            if (prep_[s].flat)
                for (int c = 0; c < 3; ++c) prep_[s].flatColour[c] = kernels::decodeSrgbTone(st.c1[c] / st.c1[3]);
        }
        if (ns == 1) kernels::findFoot(prep_[0]);
        return ns;
    }

    std::vector<ToneStage> stages_;
    std::array<float, 3> gain_;
    std::array<kernels::ToneParams, kMaxStages> prep_{};
    int ns_;
};

// A tone run straight on an 8-bit picture: its codes are the encoded values already (code / 255,
// unpremultiplied as the decoder does), so the run skips decode → encode and reads the bytes.
class SourceToneNode final : public Node {
public:
    // The picture moved by whole pixels (dx, dy), as fitted camera frames are.
    // `after`: per-pixel operations on the result, taken in when the pixels are read by table.
    SourceToneNode(NodePtr source, std::shared_ptr<const ToneOp> tone, int dx = 0, int dy = 0, std::vector<PixelOpPtr> after = {})
        : source_(std::move(source)), image_(static_cast<const SourceNode&>(*source_).image()), tone_(std::move(tone)), dx_(dx), dy_(dy),
          tableable_(!straightforwardChains() && tableSaturation(*tone_, &saturation_) &&
                     (image_.format() == QImage::Format_ARGB32_Premultiplied || image_.format() == QImage::Format_RGB32)),
          after_(std::move(after)),
          // Three table reads a pixel beat a single tone step only when they replace more.
          byTable_(tableable_ && (saturation_ == 0.0f || tone_->stages().size() + after_.size() >= 2)) {}
    Rect extent() const override {
        const Rect e = source_->extent();
        return {e.x + dx_, e.y + dy_, e.w, e.h};
    }
    const NodePtr& source() const { return source_; }
    const ToneOp& tone() const { return *tone_; }
    int dx() const { return dx_; }
    int dy() const { return dy_; }
    const std::vector<PixelOpPtr>& after() const { return after_; }
    bool grey() const override {
        bool g = tone_->keepsGrey(false);
        for (const PixelOpPtr& op : after_) g = op->keepsGrey(g);
        return g;
    }
    // What follows per pixel (per channel, above saturation 0) is still a function of the table's
    // value: into the table with it.
    NodePtr absorbing(const PixelOpPtr& op) const override {
        // Off the table, what the run itself can take in (a gain) is done in its pass.
        if (!tableable_ && after_.empty())
            if (auto both = std::dynamic_pointer_cast<const ToneOp>(tone_->followedBy(op)))
                return std::make_shared<SourceToneNode>(source_, std::move(both), dx_, dy_);
        if (!tableable_ || after_.size() >= 8 || (saturation_ > 0.0f && !op->perChannel())) return nullptr;
        std::vector<PixelOpPtr> after = after_;
        after.push_back(op);
        return std::make_shared<SourceToneNode>(source_, tone_, dx_, dy_, std::move(after));
    }
    void render(TileContext& ctx, const IRect& dest, float* out) const override {
        const IRect r{dest.x - dx_, dest.y - dy_, dest.w, dest.h};  // in the picture's own pixels
        const int w = image_.width(), h = image_.height();
        const int x0 = std::clamp(-r.x, 0, r.w), x1 = std::clamp(w - r.x, 0, r.w);
        if (byTable_) std::call_once(baked_, [this] { bake(); });
        int* others = byTable_ ? reinterpret_cast<int*>(ctx.alloc(size_t(std::max(x1 - x0, 0)))) : nullptr;
        const bool opaque = image_.format() == QImage::Format_RGB32;
        const float* planes[4] = {planes_[0].data(), planes_[1].data(), planes_[2].data(), planes_[3].data()};
        for (int j = 0; j < r.h; ++j) {
            float* row = out + size_t(j) * r.w * 4;
            const int qy = h - 1 - (r.y + j);  // the picture's first row is the top of the extent
            if (qy < 0 || qy >= h || x1 <= x0) {
                std::memset(row, 0, size_t(r.w) * 4 * sizeof(float));
                continue;
            }
            std::memset(row, 0, size_t(x0) * 4 * sizeof(float));
            std::memset(row + size_t(x1) * 4, 0, size_t(r.w - x1) * 4 * sizeof(float));
            const uint8_t* src = image_.constScanLine(qy) + size_t(r.x + x0) * 4;
            float* o = row + size_t(x0) * 4;
            if (byTable_) {
                const int m = saturation_ > 0.0f
                                  ? kernels::lumaChannelsRow(src, x1 - x0, opaque, planes, kTableSize, saturation_, o, others)
                                  : kernels::lumaTableRow(src, x1 - x0, opaque, table_.data(), kTableSize, o, others);
                for (int e = 0; e < m; ++e) {
                    const int i = others[e];
                    encodedPixel(src + 4 * i, o + 4 * i);
                    tone_->applyEncoded(o + 4 * i, 1);
                    for (const PixelOpPtr& op : after_) op->apply(o + 4 * i, 1);
                }
                continue;
            }
            tone_->applyBytes(src, x1 - x0, o);
            for (const PixelOpPtr& op : after_) op->apply(o, x1 - x0);
        }
    }

private:
    static constexpr int kTableSize = 1024;
    // Whether the run is a function of one value per channel, read by table. The first stage is
    // colour controls (each colour row a multiple of (1 − s)·w + s·e_c, w the luminance weights,
    // any matrix after them composed in): at saturation 0 every channel is then a function of the
    // luminance and any per-pixel step may follow; otherwise channel c is one of
    // (1 − s)·L + s·e_c, and what follows has to work per channel.
    static bool tableSaturation(const ToneOp& tone, float* saturation) {
        if (tone.stages().empty() || !tone.stages()[0].isMatrix) return false;
        const ColorMatrix& m = tone.stages()[0].m;
        const float w[3] = {kLumR, kLumG, kLumB};
        float s = -1.0f;
        for (int row = 0; row < 3; ++row) {
            const int c1 = (row + 1) % 3, c2 = (row + 2) % 3;
            const float p = m[size_t(row * 5 + c1)] / w[c1];
            if (std::abs(m[size_t(row * 5 + c2)] - p * w[c2]) > 1e-6f * (1.0f + std::abs(p))) return false;
            const float q = m[size_t(row * 5 + row)] - p * w[row], k = p + q;
            if (std::abs(k) < 1e-6f) continue;  // a constant channel fits any saturation
            const float sr = std::abs(q) <= 1e-6f * (1.0f + std::abs(k)) ? 0.0f : q / k;
            if (s >= 0.0f && std::abs(sr - s) > 1e-5f) return false;
            s = sr;
        }
        s = std::max(s, 0.0f);
        if (!(s < 0.999f)) return false;
        *saturation = s;
        if (s == 0.0f) return true;
        for (size_t i = 1; i < tone.stages().size(); ++i)
            if (!tone.stages()[i].isMatrix || !isPerChannel(tone.stages()[i].m)) return false;
        return true;
    }
    // The chain run on greys whose encoded values step evenly from 0 to 1, and the last entry again.
    void bake() const {
        table_.resize(size_t(kTableSize + 1) * 4);
        for (int i = 0; i < kTableSize; ++i) {
            const float v = float(i) / float(kTableSize - 1);
            float* t = table_.data() + size_t(i) * 4;
            t[0] = t[1] = t[2] = v;
            t[3] = 1.0f;
        }
        tone_->applyEncoded(table_.data(), kTableSize);
        for (const PixelOpPtr& op : after_) op->apply(table_.data(), kTableSize);
        std::copy_n(table_.data() + size_t(kTableSize - 1) * 4, 4, table_.data() + size_t(kTableSize) * 4);
        if (saturation_ > 0.0f)
            for (int c = 0; c < 4; ++c) {
                planes_[c].resize(kTableSize + 1);
                for (int k = 0; k <= kTableSize; ++k) planes_[c][size_t(k)] = table_[size_t(k) * 4 + c];
            }
    }
    // One BGRA8 pixel as unpremultiplied encoded RGBA.
    static void encodedPixel(const uint8_t* src, float* o) {
        const float k = 1.0f / 255.0f;
        const unsigned a = src[3];
        if (a == 255) {
            o[0] = src[2] * k;
            o[1] = src[1] * k;
            o[2] = src[0] * k;
            o[3] = 1.0f;
        } else if (a == 0) {
            o[0] = o[1] = o[2] = o[3] = 0.0f;
        } else {
            auto un = [a](unsigned c) { return float(std::min(255u, (c * 255u + a / 2) / a)); };
            o[0] = un(src[2]) * k;
            o[1] = un(src[1]) * k;
            o[2] = un(src[0]) * k;
            o[3] = float(a) * k;
        }
    }

    NodePtr source_;
    QImage image_;
    std::shared_ptr<const ToneOp> tone_;
    int dx_, dy_;
    float saturation_ = 0.0f;  // of the first stage, when read by table
    bool tableable_;
    std::vector<PixelOpPtr> after_;
    bool byTable_;
    mutable std::once_flag baked_;
    mutable std::vector<float> table_;
    mutable std::vector<float> planes_[4];  // the table a channel at a time, for saturations above 0
};

class GammaOp final : public PixelOp {
public:
    explicit GammaOp(float power) : power_(power) {}
    void apply(float* p, int n) const override { kernels::gammaRow(p, n, power_); }
    bool perChannel() const override { return true; }
    bool keepsGrey(bool greyIn) const override { return greyIn; }
    float power() const { return power_; }

private:
    float power_;
};

// ---- Tone curves ----

constexpr int kCurveSteps = 16384;

// A curve of the encoded value baked for the gamma power: a table, and per segment of the range a
// cubic through four of its points.
class BakedCurve {
public:
    explicit BakedCurve(double power) {
        for (int i = 0; i <= kCurveSteps; ++i) table_[size_t(i)] = float(curveAt(double(i) / kCurveSteps, power));
        table_[kCurveSteps + 1] = table_[kCurveSteps];
        fitCubics(power);
    }
    kernels::CurveTable view() const {
        return {table_.data(), kCurveSteps, {cubic_[0], cubic_[1], cubic_[2], cubic_[3]}, tableInstead_, loose_};
    }

private:
    // decode → power → encode, as the gamma filter between two tone steps.
    static double curveAt(double e, double power) {
        const double lin = color::srgbToLinear(e);
        return lin > 0 ? color::linearToSRGB(std::pow(lin, power)) : 0.0;
    }
    // Segment s covers 2^(s/2 − 8) · (1 + (s mod 2) / 2) on by half that octave. Each cubic
    // meets the curve at four Chebyshev points of its segment; where the curve has a kink inside
    // one (sRGB's toe under some powers) and the cubic strays by more than 3e-5, the table serves.
    void fitCubics(double power) {
        for (int sgm = 0; sgm < 16; ++sgm) {
            const double lo = std::ldexp(1.0 + 0.5 * (sgm % 2), sgm / 2 - 8), w = std::ldexp(0.5, sgm / 2 - 8);
            double a[4][5];
            for (int i = 0; i < 4; ++i) {
                const double t = 0.5 - 0.5 * std::cos((2 * i + 1) * M_PI / 8);
                for (int k = 0; k < 4; ++k) a[i][k] = std::pow(t, k);
                a[i][4] = curveAt(lo + w * t, power);
            }
            for (int col = 0; col < 4; ++col)  // the nodes are distinct: no pivot vanishes
                for (int row = 0; row < 4; ++row) {
                    if (row == col) continue;
                    const double f = a[row][col] / a[col][col];
                    for (int k = col; k < 5; ++k) a[row][k] -= f * a[col][k];
                }
            for (int k = 0; k < 4; ++k) cubic_[k][sgm] = float(a[k][4] / a[k][k]);
            double worst = 0;
            for (int q = 0; q <= 64; ++q) {
                const double t = q / 64.0;
                const double v = ((cubic_[3][sgm] * t + cubic_[2][sgm]) * t + cubic_[1][sgm]) * t + cubic_[0][sgm];
                worst = std::max(worst, std::abs(v - curveAt(lo + w * t, power)));
            }
            tableInstead_[sgm] = worst > 3e-5 ? 1.0f : 0.0f;
            loose_ = loose_ || worst > 3e-5;
        }
    }
    std::array<float, kCurveSteps + 2> table_;
    alignas(64) float cubic_[4][16];  // per segment: c0 + c1·t + c2·t² + c3·t³, t ∈ [0, 1)
    alignas(64) float tableInstead_[16];  // non-zero for segments no cubic fits closely enough
    bool loose_ = false;
};

// Baking takes milliseconds and a look asks for the same power every frame: the last few curves
// are kept by their power.
std::shared_ptr<const BakedCurve> gammaCurve(double power) {
    static std::mutex lock;
    static std::vector<std::pair<double, std::shared_ptr<const BakedCurve>>> recent;
    std::lock_guard<std::mutex> hold(lock);
    for (auto& [p, c] : recent)
        if (p == power) return c;
    auto c = std::make_shared<const BakedCurve>(power);
    if (recent.size() == 4) recent.erase(recent.begin());
    recent.emplace_back(power, c);
    return c;
}

class ToneCurveOp final : public PixelOp {
public:
    ToneCurveOp(const float* grade, const float* hue, std::shared_ptr<const BakedCurve> curve) : curve_(std::move(curve)) {
        std::copy(grade, grade + 12, grade_);
        std::copy(hue, hue + 9, hue_);
    }
    void apply(float* p, int n) const override { kernels::toneCurveRun(p, n, grade_, hue_, curve_->view()); }

private:
    float grade_[12];
    float hue_[9];
    std::shared_ptr<const BakedCurve> curve_;
};

// Whether m leaves alpha alone and takes none of it into colour.
bool keepsAlpha(const ColorMatrix& m) {
    return m[3] == 0 && m[8] == 0 && m[13] == 0 && m[15] == 0 && m[16] == 0 && m[17] == 0 && m[18] == 1 && m[19] == 0;
}

PixelOpPtr toneCurveOp(const ToneStage& before, double power, const ToneStage& after) {
    if (!before.isMatrix || !after.isMatrix || !keepsAlpha(before.m) || !keepsAlpha(after.m)) return nullptr;
    if (after.m[4] != 0 || after.m[9] != 0 || after.m[14] != 0) return nullptr;
    float grade[12], hue[9];
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            grade[row * 4 + col] = before.m[size_t(row * 5 + col)];
            hue[row * 3 + col] = after.m[size_t(row * 5 + col)];
        }
        grade[row * 4 + 3] = before.m[size_t(row * 5 + 4)];
    }
    return std::make_shared<ToneCurveOp>(grade, hue, gammaCurve(power));
}

// Appends a tone stage to the image, joining a tone run that ends its per-pixel chain.
Image withTone(const Image& in, const ToneStage& stage) {
    if (in.isNull()) return in;
    if (dynamic_cast<const SourceNode*>(in.node().get()))
        return Image(std::make_shared<SourceToneNode>(in.node(), std::make_shared<ToneOp>(std::vector<ToneStage>{stage})));
    if (auto* tr = dynamic_cast<const TransformNode*>(in.node().get())) {
        int dx = 0, dy = 0;
        if (tr->isIntegerTranslation(&dx, &dy) && dynamic_cast<const SourceNode*>(tr->inputPtr().get()))
            return Image(std::make_shared<SourceToneNode>(tr->inputPtr(), std::make_shared<ToneOp>(std::vector<ToneStage>{stage}), dx, dy));
    }
    if (auto* st = dynamic_cast<const SourceToneNode*>(in.node().get()); st && st->after().empty() && !st->tone().hasGain()) {
        std::vector<ToneStage> stages = st->tone().stages();
        if (!ToneOp::appendStage(stages, stage)) return in.pixelOp(std::make_shared<ToneOp>(std::vector<ToneStage>{stage}));
        return Image(std::make_shared<SourceToneNode>(st->source(), std::make_shared<ToneOp>(std::move(stages)), st->dx(), st->dy()));
    }
    if (auto* pw = dynamic_cast<const PointwiseNode*>(in.node().get())) {
        // Tone matrix, gamma, tone matrix: one curve of each encoded channel between the two.
        const auto& ops = pw->ops();
        if (ops.size() >= 2 && !straightforwardChains())
            if (auto* gamma = dynamic_cast<const GammaOp*>(ops.back().get()))
                if (auto* tone = dynamic_cast<const ToneOp*>(ops[ops.size() - 2].get()); tone && tone->stages().size() == 1 && !tone->hasGain())
                    if (PixelOpPtr curve = toneCurveOp(tone->stages()[0], gamma->power(), stage)) {
                        std::vector<PixelOpPtr> fused(ops.begin(), ops.end() - 1);
                        fused.back() = std::move(curve);
                        return Image(std::make_shared<PointwiseNode>(pw->inputPtr(), std::move(fused)));
                    }
        // A tone run that ends the chain takes the stage in (see ToneOp::followedBy).
        if (PixelOpPtr both = pw->ops().back()->followedBy(std::make_shared<ToneOp>(std::vector<ToneStage>{stage}))) {
            std::vector<PixelOpPtr> ops = pw->ops();
            ops.back() = std::move(both);
            return Image(std::make_shared<PointwiseNode>(pw->inputPtr(), std::move(ops)));
        }
    }
    return in.pixelOp(std::make_shared<ToneOp>(std::vector<ToneStage>{stage}));
}

ToneStage matrixStage(const ColorMatrix& m) {
    ToneStage s;
    s.m = m;
    return s;
}

// Encoded unpremultiplied components of a premultiplied linear colour.
std::array<float, 4> encodedColor(const Color& c) {
    if (!(c.a > 0.0f)) return {0, 0, 0, 0};
    const float inv = 1.0f / c.a;
    return {encodeSRGBFast(c.r * inv), encodeSRGBFast(c.g * inv), encodeSRGBFast(c.b * inv), std::clamp(c.a, 0.0f, 1.0f)};
}

// ---- Nodes ----

void vignetteRow(float* o, const float* dx2, int n, float dy2, float k, bool darken) {
    kernels::vignetteRow(o, dx2, n, dy2, k, darken);
}

// Darkens (or lightens) each pixel by its distance from the centre: a step of a row, so it runs
// in the same pass as the per-pixel steps and composites under it.
class VignetteNode final : public RowNode {
public:
    VignetteNode(NodePtr in, double intensity, double radius, const Rect& e) : in_(std::move(in)), intensity_(intensity) {
        cx_ = e.x + 0.5 * e.w;
        cy_ = e.y + 0.5 * e.h;
        const double R = 0.5 * std::hypot(e.w, e.h) * std::max(std::abs(radius), 1e-6);
        invR2_ = 1.0 / (R * R);
    }
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    bool grey() const override { return in_->grey(); }
    IRect opBounds() const override { return everywhere(); }
    // Never called without a position: runs and RowNode::render go through applyRowAt.
    void applyRow(const float* const* in, int n, float* acc) const override { applyRowAt(in, 0, 0, n, acc); }
    void applyRowAt(const float* const*, int x, int y, int n, float* acc) const override {
        const float k = float(std::abs(intensity_) * invR2_);
        // Column terms depend on x alone (never accumulated), so tiles agree; the rows of a tile
        // share them (a row is done a piece or two at a time), so the last few are kept.
        struct Columns {
            double cx = 0;
            int x = 0, n = -1;
            std::vector<float> dx2;
        };
        thread_local std::array<Columns, 8> kept;
        thread_local size_t next = 0;
        Columns* cols = nullptr;
        for (Columns& c : kept)
            if (c.cx == cx_ && c.x == x && c.n == n) cols = &c;
        if (!cols) {
            cols = &kept[next++ % kept.size()];
            cols->dx2.resize(size_t(n));
            for (int i = 0; i < n; ++i) {
                const float dx = float(x + i + 0.5 - cx_);
                cols->dx2[size_t(i)] = dx * dx;
            }
            cols->cx = cx_, cols->x = x, cols->n = n;
        }
        const float dy = float(y + 0.5 - cy_);
        vignetteRow(acc, cols->dx2.data(), n, dy * dy, k, intensity_ >= 0);
    }

private:
    NodePtr in_;
    double intensity_;
    double cx_, cy_, invR2_;
};

enum class BlendMode { screen, multiply };

class BlendNode final : public RowNode {
public:
    BlendNode(NodePtr fg, NodePtr bg, BlendMode mode, float fgScale = 1.0f)
        : fg_(std::move(fg)), bg_(std::move(bg)), mode_(mode), scale_(fgScale) {}
    Rect extent() const override { return fg_->extent().united(bg_->extent()); }
    int inputCount() const override { return 2; }
    const Node* input(int i) const override { return i == 0 ? fg_.get() : bg_.get(); }
    IRect roi(int i, const IRect& dest) const override {
        return i == 0 ? dest.intersected(pixelBounds(fg_->extent())) : dest;
    }
    int carriedInput() const override { return 1; }
    IRect opBounds() const override { return pixelBounds(fg_->extent()); }
    bool grey() const override { return fg_->grey() && bg_->grey(); }
    Stacking stacking(float* scale) const override {
        *scale = scale_;
        return mode_ == BlendMode::screen ? Stacking::screen : Stacking::none;
    }
    NodePtr withInputs(const std::vector<NodePtr>& in) const override {
        return std::make_shared<BlendNode>(in.at(0), in.at(1), mode_, scale_);
    }
    bool plainScreen() const { return mode_ == BlendMode::screen && scale_ == 1.0f; }
    const NodePtr& top() const { return fg_; }
    const NodePtr& background() const { return bg_; }
    bool applyRowFrom(const float* const* in, const float* carried, int n, float* acc) const override {
        if (mode_ != BlendMode::screen) return false;
        kernels::screenRowFrom(in[0], scale_, carried, n, acc);
        return true;
    }
    void applyRow(const float* const* in, int n, float* acc) const override {
        if (mode_ == BlendMode::screen)
            kernels::screenRow(in[0], scale_, n, acc);
        else
            kernels::multiplyRow(in[0], scale_, n, acc);
    }

private:
    NodePtr fg_, bg_;
    BlendMode mode_;
    float scale_;
};

class MaskBlendNode final : public RowNode {
public:
    MaskBlendNode(NodePtr in, NodePtr bg, NodePtr mask) : in_(std::move(in)), bg_(std::move(bg)), mask_(std::move(mask)) {}
    Rect extent() const override { return bg_->extent().united(in_->extent().intersected(mask_->extent())); }
    int inputCount() const override { return 3; }
    const Node* input(int i) const override { return i == 0 ? in_.get() : i == 1 ? bg_.get() : mask_.get(); }
    IRect roi(int i, const IRect& dest) const override { return i == 1 ? dest : dest.intersected(opBounds()); }
    int carriedInput() const override { return 1; }
    IRect opBounds() const override { return pixelBounds(in_->extent().intersected(mask_->extent())); }
    void applyRow(const float* const* in, int n, float* acc) const override { kernels::maskBlendRow(in[0], in[2], n, acc); }

private:
    NodePtr in_, bg_, mask_;
};

class EdgesNode final : public Node {
public:
    // `in` is the clamped input; `extent` the original one.
    EdgesNode(NodePtr in, const Rect& extent, double intensity)
        : in_(std::move(in)), extent_(extent), intensity_(float(intensity)), grey_(in_->grey()) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.grown(1, 1); }
    bool grey() const override { return grey_; }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        const IRect sr = r.grown(1, 1);
        const float* src = ctx.pull(*in_, sr);
        if (grey_) {
            // Every channel's edges are the red channel's: one plane, a third of the work.
            float* enc = ctx.alloc(size_t(sr.w) * sr.h);
            kernels::encodeGreyPlane(src, size_t(sr.w) * sr.h, enc);
            for (int j = 0; j < r.h; ++j) {
                const float* m0 = enc + size_t(j) * sr.w;
                const float* centre = src + (size_t(j + 1) * sr.w + 1) * 4;
                kernels::sobelGreyRow(m0, m0 + sr.w, m0 + 2 * size_t(sr.w), centre, intensity_ / 8.0f, r.w, out + size_t(j) * r.w * 4);
            }
            detail::clearOutside(out, r, extent_);
            return;
        }
        // Premultiplied encoded values of the whole footprint, once.
        float* enc = ctx.allocPixels(sr);
        kernels::encodePremultipliedRow(src, size_t(sr.w) * sr.h, enc);
        const size_t stride = size_t(sr.w) * 4;
        for (int j = 0; j < r.h; ++j) {
            const float* m0 = enc + size_t(j) * stride;  // row below
            kernels::sobelRow(m0, m0 + stride, m0 + 2 * stride, intensity_ / 8.0f, r.w, out + size_t(j) * r.w * 4);
        }
        detail::clearOutside(out, r, extent_);
    }

private:
    NodePtr in_;
    Rect extent_;
    float intensity_;
    bool grey_;
};

class DisplacementNode final : public Node {
public:
    DisplacementNode(NodePtr in, NodePtr disp, double scale)
        : in_(std::move(in)), disp_(std::move(disp)), scale_(float(scale)), margin_(int(std::ceil(std::abs(scale) * 0.5)) + 1) {}
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 2; }
    const Node* input(int i) const override { return i == 0 ? in_.get() : disp_.get(); }
    IRect roi(int i, const IRect& dest) const override { return i == 0 ? dest.grown(margin_, margin_) : dest; }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        // Pictures kept in memory are read where they lie, when they hold all the input's pixels
        // the tile reads (outside them the sampler reads transparent, as outside the extent).
        IRect sr = roi(0, r), dr = r;
        const IRect need = roi(0, r).intersected(pixelBounds(in_->extent()));
        const float* src = in_->storedPixels(&sr);
        if (!src || !(need.isEmpty() || sr.contains(need))) src = ctx.pull(*in_, sr = roi(0, r));
        const float* d = disp_->storedPixels(&dr);
        if (!d || !dr.contains(r)) d = ctx.pull(*disp_, dr = r);
        const kernels::WarpSource s{src, sr.x, sr.y, sr.w, sr.h};
        for (int j = 0; j < r.h; ++j)
            kernels::displaceRow(s, d + (size_t(r.y + j - dr.y) * dr.w + (r.x - dr.x)) * 4, scale_, r.x, r.y + j, r.w,
                                 out + size_t(j) * r.w * 4);
        detail::clearOutside(out, r, extent());
    }

private:
    NodePtr in_, disp_;
    float scale_;
    int margin_;
};

class LinearGradientNode final : public Node, public RowSource {
public:
    LinearGradientNode(Point p0, Point p1, const Color& c0, const Color& c1) : p0_(p0), c0_(c0), c1_(c1) {
        const double dx = p1.x - p0.x, dy = p1.y - p0.y, l2 = dx * dx + dy * dy;
        ux_ = l2 > 0 ? dx / l2 : 0;
        uy_ = l2 > 0 ? dy / l2 : 0;
    }
    Rect extent() const override { return Rect::infinite(); }
    void render(TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j) rowOf(this, r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4);
    }
    // Nothing to ready: any row is made from its coordinates alone.
    const void* readyRows(TileContext&, const IRect&) const override { return this; }
    void rowOf(const void*, int y, int xa, int xb, float* o) const override {
        const float c0[4] = {c0_.r, c0_.g, c0_.b, c0_.a};
        const float d[4] = {c1_.r - c0[0], c1_.g - c0[1], c1_.b - c0[2], c1_.a - c0[3]};
        const double t0 = (xa + 0.5 - p0_.x) * ux_ + (y + 0.5 - p0_.y) * uy_;
        if (ux_ == 0) {  // along y only: one colour for the row
            const float t = float(std::clamp(t0, 0.0, 1.0));
            const float px[4] = {c0[0] + d[0] * t, c0[1] + d[1] * t, c0[2] + d[2] * t, c0[3] + d[3] * t};
            for (int i = 0; i < xb - xa; ++i) std::memcpy(o + 4 * i, px, sizeof(px));
            return;
        }
        for (int i = 0; i < xb - xa; ++i) {
            const float t = float(std::clamp(t0 + i * ux_, 0.0, 1.0));
            for (int c = 0; c < 4; ++c) o[4 * i + c] = c0[c] + d[c] * t;
        }
    }

private:
    Point p0_;
    Color c0_, c1_;
    double ux_, uy_;
};

class RadialGradientNode final : public Node, public RowSource {
public:
    RadialGradientNode(Point c, double r0, double r1, const Color& c0, const Color& c1)
        : c_(c), r0_(r0), c0_{c0.r, c0.g, c0.b, c0.a}, dc_{c1.r - c0.r, c1.g - c0.g, c1.b - c0.b, c1.a - c0.a},
          inv_(r1 != r0 ? float(1.0 / (r1 - r0)) : 0.0f) {}
    Rect extent() const override { return Rect::infinite(); }
    void render(TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j) rowOf(this, r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4);
    }
    // Nothing to ready: any row is made from its coordinates alone.
    const void* readyRows(TileContext&, const IRect&) const override { return this; }
    void rowOf(const void*, int y, int xa, int xb, float* out) const override {
        const double dy = y + 0.5 - c_.y;
        kernels::radialGradientRow(out, xb - xa, float(xa + 0.5 - c_.x), float(dy * dy), float(r0_), inv_, c0_, dc_);
    }

private:
    Point c_;
    double r0_;
    float c0_[4], dc_[4];
    float inv_;
};

class FastNoiseNode final : public Node {
public:
    Rect extent() const override { return Rect::infinite(); }
    void render(TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j) noiseRow(r.x, r.y + j, r.w, out + size_t(j) * r.w * 4);
    }
};

}  // namespace

float encodeSRGBFast(float linear) { return kernels::encodeSrgbTone(linear); }
float decodeSRGBFast(float encoded) { return kernels::decodeSrgbTone(encoded); }
void encodeSRGBRow(const float* in, int n, float* out) { kernels::encodeSrgbToneRow(in, n, out); }
void decodeSRGBRow(const float* in, int n, float* out) { kernels::decodeSrgbToneRow(in, n, out); }
void noiseRow(int x0, int y, int n, float* out) { kernels::noiseRow(x0, y, n, out); }

Image colorControls(const Image& in, double saturation, double brightness, double contrast) {
    if (saturation == 1.0 && brightness == 0.0 && contrast == 1.0) return in;
    const float s = float(saturation), c = float(contrast);
    const float w[3] = {kLumR, kLumG, kLumB};
    ColorMatrix m = identityMatrix();
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) m[row * 5 + col] = c * ((1.0f - s) * w[col] + (row == col ? s : 0.0f));
        m[row * 5 + 4] = float(0.5 * (1.0 - contrast) + brightness);
    }
    return withTone(in, matrixStage(m));
}

Image colorMatrixWithBias(const Image& in, const std::array<double, 4>& r, const std::array<double, 4>& g,
                          const std::array<double, 4>& b, const std::array<double, 4>& a,
                          const std::array<double, 4>& bias) {
    ColorMatrix m{};
    const std::array<double, 4>* rows[4] = {&r, &g, &b, &a};
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 4; ++col) m[row * 5 + col] = float((*rows[row])[col]);
        m[row * 5 + 4] = float(bias[row]);
    }
    if (m == identityMatrix()) return in;
    return in.colorMatrix(m);
}

Image vignette(const Image& in, double intensity, double radius, const Rect& geometry) {
    if (in.isNull() || intensity == 0.0) return in;
    const Rect e = geometry.isEmpty() ? in.extent() : geometry;
    if (e.isInfinite() || e.isEmpty()) return in;
    return Image(std::make_shared<VignetteNode>(in.node(), intensity, radius, e));
}

Image falseColor(const Image& in, const Color& color0, const Color& color1) {
    const auto e0 = encodedColor(color0), e1 = encodedColor(color1);
    // Not folded into the matrix even for opaque colours: the luminance is clamped first.
    ToneStage st;
    st.isMatrix = false;
    for (int c = 0; c < 3; ++c) {
        st.c0[c] = e0[c] * e0[3];
        st.c1[c] = e1[c] * e1[3];
    }
    st.c0[3] = e0[3];
    st.c1[3] = e1[3];
    return withTone(in, st);
}

Image colorMonochrome(const Image& in, const Color& color, double intensity) {
    if (intensity == 0.0) return in;
    const auto ec = encodedColor(color);
    const float k = float(intensity);
    const float w[3] = {kLumR, kLumG, kLumB};
    ColorMatrix m = identityMatrix();
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) m[row * 5 + col] = (row == col ? 1.0f - k : 0.0f) + k * ec[row] * w[col];
    return withTone(in, matrixStage(m));
}

Image colorInvert(const Image& in) {
    ColorMatrix m = identityMatrix();
    for (int row = 0; row < 3; ++row) {
        m[row * 6] = -1.0f;
        m[row * 5 + 4] = 1.0f;
    }
    return withTone(in, matrixStage(m));
}

Image bloom(const Image& in, double radius, double intensity) {
    if (in.isNull() || !(radius > 0.0) || !(intensity > 0.0)) return in;
    const Rect e = in.extent();
    // (A picture kept in bands is clamped reading its bands.)
    const Image src = e.isInfinite() ? in : engine::clampedToExtent(in);
    // The glow is a soft layer: the engine may make it on a reduced grid, once for the picture
    // where it can.
    Image glow = src.softBlur(radius);
    if (!e.isInfinite()) glow = softLayer(glow.cropped(e));
    return Image(std::make_shared<BlendNode>(glow.node(), in.node(), BlendMode::screen, float(intensity)));
}

Image edges(const Image& in, double intensity) {
    if (in.isNull()) return in;
    const Rect e = in.extent();
    const Image src = e.isInfinite() ? in : in.clampedToExtent();
    return Image(std::make_shared<EdgesNode>(src.node(), e, intensity));
}

Image screenBlend(const Image& top, const Image& background) {
    if (top.isNull() || top.extent().isEmpty()) return background;
    if (background.isNull() || background.extent().isEmpty()) return top;
    // Screening is associative: a screen of two layers over a background is each screened over
    // it in turn, which a run does in one pass.
    if (auto* b = dynamic_cast<const BlendNode*>(top.node().get()); b && b->plainScreen() && !straightforwardChains())
        return screenBlend(Image(b->top()), screenBlend(Image(b->background()), background));
    return Image(std::make_shared<BlendNode>(top.node(), background.node(), BlendMode::screen));
}

Image multiplyComposite(const Image& top, const Image& background) {
    if (top.isNull() || top.extent().isEmpty()) return background;
    if (background.isNull() || background.extent().isEmpty()) return top;
    return Image(std::make_shared<BlendNode>(top.node(), background.node(), BlendMode::multiply));
}

Image blendWithMask(const Image& in, const Image& background, const Image& mask) {
    if (mask.isNull() || in.isNull()) return background;
    if (background.isNull()) return Image(std::make_shared<MaskBlendNode>(in.node(), Image::solid({}).node(), mask.node())).cropped(in.extent().intersected(mask.extent()));
    return Image(std::make_shared<MaskBlendNode>(in.node(), background.node(), mask.node()));
}

Image randomNoise() {
    static const NodePtr node = std::make_shared<FastNoiseNode>();
    return Image(node);
}

PixelOpPtr toneCurveOp(const ColorMatrix& before, double power, const ColorMatrix& after) {
    return toneCurveOp(matrixStage(before), power, matrixStage(after));
}

Image gammaAdjust(const Image& in, double power) {
    if (power == 1.0 || !(power > 0.0)) return in;
    return in.pixelOp(std::make_shared<GammaOp>(float(power)));
}

Image hueAdjust(const Image& in, double angleRadians) {
    if (angleRadians == 0.0) return in;
    const double c = std::cos(angleRadians), s = std::sin(angleRadians);
    const double d = c + (1 - c) / 3.0, p = (1 - c) / 3.0 + s / std::sqrt(3.0), q = (1 - c) / 3.0 - s / std::sqrt(3.0);
    ColorMatrix m = identityMatrix();
    // Rotation about (1, 1, 1): red turns towards green for a positive angle.
    const double rows[3][3] = {{d, q, p}, {p, d, q}, {q, p, d}};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) m[row * 5 + col] = float(rows[row][col]);
    return withTone(in, matrixStage(m));
}

Image displacementDistortion(const Image& in, const Image& displacement, double scale) {
    if (in.isNull() || displacement.isNull() || scale == 0.0) return in;
    return Image(std::make_shared<DisplacementNode>(in.node(), displacement.node(), scale));
}

Image linearGradient(Point p0, Point p1, const Color& color0, const Color& color1) {
    return Image(std::make_shared<LinearGradientNode>(p0, p1, color0, color1));
}

Image radialGradient(Point center, double radius0, double radius1, const Color& color0, const Color& color1) {
    return Image(std::make_shared<RadialGradientNode>(center, radius0, radius1, color0, color1));
}

}  // namespace ostrela::engine::filters
