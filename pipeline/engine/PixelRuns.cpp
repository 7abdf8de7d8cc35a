#include "pipeline/engine/PixelRuns.h"

#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Renderer.h"

#include <hwy/cache_control.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace ostrela::engine {

namespace {

constexpr int kMaxInputs = 8;
constexpr int kPiece = 256;  // pixels: 4 KB a step

void zeroFloats(float* p, size_t n) { std::memset(p, 0, n * sizeof(float)); }

IRect united(const IRect& a, const IRect& b) {
    if (a.isEmpty()) return b;
    if (b.isEmpty()) return a;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    return {x0, y0, std::max(a.maxX(), b.maxX()) - x0, std::max(a.maxY(), b.maxY()) - y0};
}

bool contains(const std::vector<const Node*>& nodes, const Node* n) {
    return std::find(nodes.begin(), nodes.end(), n) != nodes.end();
}

// A run of row nodes evaluated a row at a time: every step of a row is done while the row is in
// the first-level cache, where rendering node by node would stream whole tiles between them.
class PixelRunNode final : public Node {
public:
    PixelRunNode(const RowNode& top, const std::vector<const Node*>& shared) : top_(top) {
        add(top, shared);
        // A leaf read once (nowhere else in the frame) that can make its rows on demand is read
        // a piece at a time instead of through a buffer of the tile; one whose rows lie in memory
        // is read so however many steps read it.
        for (const Node* leaf : leaves_) {
            auto* source = dynamic_cast<const RowSource*>(leaf);
            rowSources_.push_back(contains(shared, leaf) && !(source && source->rowsLieInMemory()) ? nullptr : source);
        }
        // The picture the top's carried chain starts from, when it is read nowhere else in the run:
        // rendered straight into the output, as node by node it would be.
        const Slot* slot = nullptr;
        for (int st = 0; st >= 0 && steps_[size_t(st)].carried >= 0 && size_t(steps_[size_t(st)].carried) < steps_[size_t(st)].in.size();) {
            slot = &steps_[size_t(st)].in[size_t(steps_[size_t(st)].carried)];
            st = slot->step;
        }
        // (Not one that makes its rows on demand: it is read where they lie, or its rows are
        // made, or mixed, in the first step's pass.)
        if (slot && slot->leaf >= 0 && uses(slot->leaf) == 1 && !rowSources_[size_t(slot->leaf)])
            base_ = slot->leaf;
        findOverChains();
    }

    size_t steps() const { return steps_.size(); }
    bool readsWithoutBuffers() const {
        for (size_t i = 0; i < leaves_.size(); ++i) {
            IRect b;
            if (rowSources_[i] || leaves_[i]->storedPixels(&b)) return true;
        }
        return false;
    }
    Rect extent() const override { return top_.extent(); }
    int inputCount() const override { return int(leaves_.size()); }
    const Node* input(int i) const override { return leaves_[size_t(i)]; }

    void render(TileContext& ctx, const IRect& r, float* out) const override {
        // What each leaf is read over, as the nodes one by one would pull it.
        std::vector<IRect> need(leaves_.size());
        needOf(0, r, need);
        Frame f;
        f.x0 = r.x;
        f.rows.resize(leaves_.size());
        for (size_t i = 0; i < leaves_.size(); ++i) {
            if (need[i].isEmpty()) continue;
            IRect sb;
            const float* p = leaves_[i]->storedPixels(&sb);
            if (p && sb.contains(need[i])) {
                f.rows[i] = {p, sb};
                continue;
            }
            if (int(i) == base_) {
                ctx.renderInto(*leaves_[i], r, out);
                f.rows[i] = {out, r};
                continue;
            }
            if (rowSources_[i])
                if (const void* state = rowSources_[i]->readyRows(ctx, need[i])) {
                    f.rows[i].source = rowSources_[i];
                    f.rows[i].state = state;
                    f.rows[i].piece = ctx.alloc(size_t(kPiece) * 4);
                    continue;
                }
            f.rows[i] = {ctx.pull(*leaves_[i], need[i]), need[i]};
        }
        f.scratch.resize(steps_.size());
        for (size_t s = 1; s < steps_.size(); ++s) f.scratch[s] = ctx.alloc(size_t(r.w) * 4);
        f.zeros = ctx.alloc(size_t(r.w) * 4);
        zeroFloats(f.zeros, size_t(r.w) * 4);
        // A row is made a piece at a time, so every step's pixels of the piece stay in the
        // first-level cache between steps.
        const bool stream = ctx.storedOut() == &top_;
        float* piece = stream ? ctx.alloc(size_t(kPiece) * 4) : nullptr;
        for (int j = 0; j < r.h; ++j) {
            // A chain of layers that lie in memory over the whole row: one pass of the whole row,
            // straight past the cache when the run fills a stored picture.
            if (chainCovers(f, chains_[0], r.y + j, r.x, r.maxX()) &&
                evaluateChain(f, chains_[0], r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4, stream))
                continue;
            for (int x = r.x; x < r.maxX(); x += kPiece) {
                const int xe = std::min(x + kPiece, r.maxX());
                float* o = out + (size_t(j) * r.w + (x - r.x)) * 4;
                if (!stream) {
                    evaluate(f, 0, r.y + j, x, xe, o);
                    continue;
                }
                // Into a stored picture: sent past the cache, so the picture's lines are not
                // fetched only to be overwritten; by the chain's own pass where it makes the
                // piece, else made in the cache first.
                if (chainCovers(f, chains_[0], r.y + j, x, xe) && evaluateChain(f, chains_[0], r.y + j, x, xe, o, true)) continue;
                evaluate(f, 0, r.y + j, x, xe, piece);
                kernels::streamFloats(piece, size_t(xe - x) * 4, o);
            }
        }
        if (stream) hwy::FlushStream();
    }

private:
    struct Slot {
        int step = -1;
        int leaf = -1;
    };
    struct Step {
        const RowNode* node;
        IRect op, kept;
        int carried;
        std::vector<Slot> in;
    };
    // Overs, or screens, of pictures (faded or not, cropped or not) on one another, done as one
    // pass where the piece lies inside every layer and every crop between: each layer is then
    // read in the same loop as the others.
    struct Layer {
        int leaf;
        float fade;          // < 0: not faded
        const float* gain;   // the channels' gain, or null
        float scale;         // the screen's scale of the foreground
    };
    struct Chain {
        std::vector<Layer> layers;  // bottom first
        Slot under;                 // what the bottom layer goes over
        IRect region;               // where the chain is the steps' result
        bool screen = false;
    };
    // Past the crops on a slot, narrowing `region` to what they keep.
    Slot pastCrops(Slot slot, IRect* region) const {
        while (slot.step >= 0) {
            const Step& c = steps_[size_t(slot.step)];
            if (!dynamic_cast<const CropNode*>(c.node) || c.in.size() != 1) break;
            *region = region->intersected(c.kept);
            slot = c.in[0];
        }
        return slot;
    }
    // The layer a stacking node's foreground is: a picture, or a picture faded, with crops on the way.
    bool layerOf(const Step& st, RowNode::Stacking mode, Layer* layer, IRect* region) const {
        float scale = 1.0f;
        if (st.in.size() != 2 || st.carried != 1 || st.node->stacking(&scale) != mode) return false;
        IRect r = region->intersected(st.op).intersected(st.kept);
        Slot fg = pastCrops(st.in[0], &r);
        layer->fade = -1.0f;
        layer->gain = nullptr;
        layer->scale = scale;
        if (fg.step >= 0) {
            const Step& f = steps_[size_t(fg.step)];
            auto* pw = dynamic_cast<const PointwiseNode*>(f.node);
            if (!pw || pw->ops().size() != 1 || f.in.size() != 1) return false;
            auto* m = dynamic_cast<const MatrixOp*>(pw->ops()[0].get());
            if (!m || (m->fade() < 0.0f && !m->gain())) return false;
            layer->fade = m->fade();
            layer->gain = m->gain();
            r = r.intersected(f.op).intersected(f.kept);
            fg = pastCrops(f.in[0], &r);
        }
        if (fg.leaf < 0) return false;
        layer->leaf = fg.leaf;
        *region = r;
        return true;
    }
    void findOverChains() {
        chains_.assign(steps_.size(), Chain{});
        for (size_t s = 0; s < steps_.size(); ++s) {
            float scale;
            const RowNode::Stacking mode = steps_[s].node->stacking(&scale);
            if (mode == RowNode::Stacking::none) continue;
            std::vector<Layer> layers;
            IRect region = RowNode::everywhere();  // narrowed by every step and crop passed
            Slot under;
            for (int t = int(s); t >= 0 && int(layers.size()) < kernels::kMaxOverChain;) {
                Layer layer;
                IRect r = region;
                if (!layerOf(steps_[size_t(t)], mode, &layer, &r)) break;
                layers.insert(layers.begin(), layer);
                under = pastCrops(steps_[size_t(t)].in[1], &r);
                region = r;
                t = under.step;
            }
            if (!layers.empty()) chains_[s] = {std::move(layers), under, region, mode == RowNode::Stacking::screen};
        }
    }

    struct Rows {
        const float* base = nullptr;
        IRect b;
        const RowSource* source = nullptr;  // rows made on demand into `piece`
        const void* state = nullptr;
        float* piece = nullptr;
        const float* at(int x, int y) const { return base + (size_t(y - b.y) * b.w + (x - b.x)) * 4; }
        // Pixels [xa, xb) of row y where they lie in memory, or null.
        const float* inPlace(int y, int xa, int xb) const {
            if (!source) return base ? at(xa, y) : nullptr;
            return source->rowIn(state, y, xa, xb);
        }
        // Pixels [xa, xb) of row y: where they lie, or made into the piece.
        const float* row(int y, int xa, int xb) const {
            if (const float* p = inPlace(y, xa, xb)) return p;
            source->rowOf(state, y, xa, xb, piece);
            return piece;
        }
    };
    struct Frame {
        int x0 = 0;
        std::vector<Rows> rows;
        std::vector<float*> scratch;  // a row for each step read as another step's input
        float* zeros = nullptr;
    };

    int add(const RowNode& n, const std::vector<const Node*>& shared) {
        const int index = int(steps_.size());
        steps_.push_back({&n, n.opBounds(), n.keptBounds(), n.carriedInput(), {}});
        std::vector<Slot> in(size_t(n.inputCount()));
        for (int i = 0; i < n.inputCount(); ++i) {
            const Node* c = n.input(i);
            if (!c) continue;
            auto* row = dynamic_cast<const RowNode*>(c);
            if (row && !contains(shared, c) && row->inputCount() <= kMaxInputs) {
                in[size_t(i)].step = add(*row, shared);
                continue;
            }
            auto it = std::find(leaves_.begin(), leaves_.end(), c);
            in[size_t(i)].leaf = int(it - leaves_.begin());
            if (it == leaves_.end()) leaves_.push_back(c);
        }
        steps_[size_t(index)].in = std::move(in);
        return index;
    }

    void needOf(int s, IRect rect, std::vector<IRect>& need) const {
        const Step& st = steps_[size_t(s)];
        rect = rect.intersected(st.kept);
        if (rect.isEmpty()) return;
        const IRect op = rect.intersected(st.op);
        for (size_t i = 0; i < st.in.size(); ++i) {
            const IRect want = int(i) == st.carried ? rect : op;
            if (want.isEmpty()) continue;
            const Slot& in = st.in[i];
            if (in.step >= 0)
                needOf(in.step, want, need);
            else if (in.leaf >= 0)
                need[size_t(in.leaf)] = united(need[size_t(in.leaf)], want);
        }
    }

    // Columns [xa, xb) of row y of step s into dst.
    void evaluate(const Frame& f, int s, int y, int xa, int xb, float* dst) const {
        const Step& st = steps_[size_t(s)];
        if (const Chain& chain = chains_[size_t(s)]; !chain.layers.empty()) {
            // Where the piece crosses the chain's region, the part inside is done as one pass
            // and the parts outside step by step.
            const IRect& g = chain.region;
            const int ga = std::max(xa, g.x), gb = std::min(xb, g.maxX());
            if (ga < gb && (ga > xa || gb < xb) && chainCovers(f, chain, y, ga, gb)) {
                if (ga > xa) evaluate(f, s, y, xa, ga, dst);
                evaluate(f, s, y, ga, gb, dst + size_t(ga - xa) * 4);
                if (gb < xb) evaluate(f, s, y, gb, xb, dst + size_t(gb - xa) * 4);
                return;
            }
            if (chainCovers(f, chain, y, xa, xb) && evaluateChain(f, chain, y, xa, xb, dst, false)) return;
        }
        int ka = std::max(xa, st.kept.x), kb = std::min(xb, st.kept.maxX());
        if (y < st.kept.y || y >= st.kept.maxY() || ka >= kb) {
            zeroFloats(dst, size_t(xb - xa) * 4);
            return;
        }
        zeroFloats(dst, size_t(ka - xa) * 4);
        zeroFloats(dst + size_t(kb - xa) * 4, size_t(xb - kb) * 4);
        float* kept = dst + size_t(ka - xa) * 4;
        const Slot* carried = st.carried >= 0 && size_t(st.carried) < st.in.size() ? &st.in[size_t(st.carried)] : nullptr;
        const bool opRow = y >= st.op.y && y < st.op.maxY();
        const int oa = opRow ? std::max(ka, st.op.x) : ka, ob = opRow ? std::min(kb, st.op.maxX()) : ka;
        std::array<const float*, kMaxInputs> in{};
        if (oa < ob)
            for (size_t i = 0; i < st.in.size(); ++i) {
                if (int(i) == st.carried) continue;
                const Slot& slot = st.in[i];
                if (slot.leaf >= 0) {
                    in[i] = f.rows[size_t(slot.leaf)].row(y, oa, ob);
                } else if (slot.step >= 0) {
                    float* row = f.scratch[size_t(slot.step)] + size_t(oa - f.x0) * 4;
                    evaluate(f, slot.step, y, oa, ob, row);
                    in[i] = row;
                } else {
                    in[i] = f.zeros;
                }
            }
        // An input carried through the whole row that lies in memory is read where it lies.
        if (carried && carried->leaf >= 0 && oa == ka && ob == kb)
            if (const float* src = f.rows[size_t(carried->leaf)].inPlace(y, ka, kb);
                src && st.node->applyRowFrom(in.data(), src, kb - ka, kept))
                return;
        // One moved by a fraction of a pixel from rows that lie in memory is mixed in the step's
        // pass (through crops that keep the whole piece).
        if (carried && oa == ka && ob == kb) {
            IRect cropped = RowNode::everywhere();
            const Slot moved = pastCrops(*carried, &cropped);
            if (moved.leaf >= 0 && y >= cropped.y && y < cropped.maxY() && ka >= cropped.x && kb <= cropped.maxX())
                if (const Rows& rows = f.rows[size_t(moved.leaf)]; rows.source) {
                    const float *lo, *hi;
                    float wx, wy;
                    if (rows.source->movedRows(rows.state, y, ka, kb, &lo, &hi, &wx, &wy) &&
                        st.node->applyRowMixed(in.data(), lo, hi, wx, wy, kb - ka, kept))
                        return;
                }
        }
        if (carried)
            fill(f, *carried, y, ka, kb, kept);
        else
            zeroFloats(kept, size_t(kb - ka) * 4);
        if (oa < ob) st.node->applyRowAt(in.data(), oa, y, ob - oa, dst + size_t(oa - xa) * 4);
    }

    bool chainCovers(const Frame& f, const Chain& chain, int y, int xa, int xb) const {
        const IRect& g = chain.region;
        if (chain.layers.empty() || y < g.y || y >= g.maxY() || xa < g.x || xb > g.maxX()) return false;
        for (const Layer& l : chain.layers)
            if (!f.rows[size_t(l.leaf)].base && !f.rows[size_t(l.leaf)].source) return false;
        return true;
    }
    // False (nothing done) where a layer must be made a piece at a time and [xa, xb) is longer.
    bool evaluateChain(const Frame& f, const Chain& chain, int y, int xa, int xb, float* dst, bool stream) const {
        if (xb - xa > kPiece && chain.under.step >= 0) return false;
        kernels::ChainLayer layers[kernels::kMaxOverChain];
        for (size_t i = 0; i < chain.layers.size(); ++i) {
            kernels::ChainLayer& l = layers[i];
            const Rows& rows = f.rows[size_t(chain.layers[i].leaf)];
            // A move by a fraction is mixed in the chain's own pass, from the rows where they lie;
            // halves are widened there.
            if (rows.source && (l.halves = rows.source->halvesIn(rows.state, y, xa, xb))) {
            } else if (rows.source && rows.source->movedRows(rows.state, y, xa, xb, &l.row, &l.above, &l.wx, &l.wy)) {
            } else if (rows.source && !rows.source->rowsLieInMemory() && xb - xa > kPiece) {
                return false;
            } else {
                l.row = rows.row(y, xa, xb);
            }
            l.fade = chain.layers[i].fade;
            l.gain = chain.layers[i].gain;
            l.scale = chain.layers[i].scale;
        }
        // A bottom that lies in memory is read where it lies.
        const Slot& u = chain.under;
        const float* bg = u.leaf >= 0 ? f.rows[size_t(u.leaf)].inPlace(y, xa, xb) : nullptr;
        if (!bg) fill(f, u, y, xa, xb, dst);
        if (chain.screen)
            kernels::screenChainRow(layers, int(chain.layers.size()), xb - xa, dst, bg, stream);
        else
            kernels::overChainRow(layers, int(chain.layers.size()), xb - xa, dst, bg, stream);
        return true;
    }

    void fill(const Frame& f, const Slot& slot, int y, int xa, int xb, float* dst) const {
        if (slot.step >= 0)
            evaluate(f, slot.step, y, xa, xb, dst);
        else if (slot.leaf >= 0 && f.rows[size_t(slot.leaf)].source)
            f.rows[size_t(slot.leaf)].source->rowOf(f.rows[size_t(slot.leaf)].state, y, xa, xb, dst);
        else if (slot.leaf >= 0) {
            const float* src = f.rows[size_t(slot.leaf)].at(xa, y);
            if (src != dst) std::memcpy(dst, src, size_t(xb - xa) * 4 * sizeof(float));
        }
        else
            zeroFloats(dst, size_t(xb - xa) * 4);
    }

    const RowNode& top_;
    std::vector<Step> steps_;
    std::vector<const Node*> leaves_;
    std::vector<const RowSource*> rowSources_;
    int base_ = -1;
    std::vector<Chain> chains_;  // by step: the chain of overs it tops, if any

    int uses(int leaf) const {
        int n = 0;
        for (const Step& st : steps_)
            for (const Slot& slot : st.in) n += slot.leaf == leaf;
        return n;
    }
};

}  // namespace

void RowNode::render(TileContext& ctx, const IRect& r, float* out) const {
    const int c = carriedInput();
    if (c >= 0 && input(c))
        ctx.renderInto(*input(c), r, out);
    else
        zeroFloats(out, size_t(r.w) * r.h * 4);
    const IRect kept = keptBounds().intersected(r);
    const IRect fb = opBounds().intersected(kept);
    if (!fb.isEmpty()) {
        std::array<const float*, kMaxInputs> base{}, in{};
        float* zeros = nullptr;
        for (int i = 0; i < std::min(inputCount(), kMaxInputs); ++i) {
            if (i == c) continue;
            if (input(i)) {
                base[size_t(i)] = ctx.pull(*input(i), fb);
            } else {
                if (!zeros) {
                    zeros = ctx.allocPixels(fb);
                    zeroFloats(zeros, size_t(fb.w) * fb.h * 4);
                }
                base[size_t(i)] = zeros;
            }
        }
        for (int j = 0; j < fb.h; ++j) {
            for (int i = 0; i < kMaxInputs; ++i) in[size_t(i)] = base[size_t(i)] ? base[size_t(i)] + size_t(j) * fb.w * 4 : nullptr;
            applyRowAt(in.data(), fb.x, fb.y + j, fb.w, out + (size_t(fb.y - r.y + j) * r.w + (fb.x - r.x)) * 4);
        }
    }
    if (kept == r) return;
    for (int j = 0; j < r.h; ++j) {
        float* row = out + size_t(j) * r.w * 4;
        const int y = r.y + j;
        if (kept.isEmpty() || y < kept.y || y >= kept.maxY()) {
            zeroFloats(row, size_t(r.w) * 4);
            continue;
        }
        zeroFloats(row, size_t(kept.x - r.x) * 4);
        zeroFloats(row + size_t(kept.maxX() - r.x) * 4, size_t(r.maxX() - kept.maxX()) * 4);
    }
}

const Node& FramePlan::standIn(const Node& node) const {
    for (const auto& [top, run] : runs)
        if (top == &node) return *run;
    return node;
}

std::unique_ptr<const Node> fusedRun(const RowNode& top, const std::vector<const Node*>& shared) {
    if (top.inputCount() > kMaxInputs) return nullptr;
    auto run = std::make_unique<PixelRunNode>(top, shared);
    // A lone row node gains only where the run reads its inputs without a buffer of the tile.
    if (run->steps() < 2 && !run->readsWithoutBuffers()) return nullptr;
    return run;
}

void planFrame(const Node* root, FramePlan& plan, bool fuse) {
    findSharedNodes(root, plan.shared, plan.consumers);
    plan.runs.clear();
    if (!fuse || !root) return;
    // A run starts at a row node read by something other than a row node, or by several readers.
    std::vector<const Node*> tops;
    auto consider = [&](const Node* n) {
        if (n && dynamic_cast<const RowNode*>(n) && !contains(tops, n)) tops.push_back(n);
    };
    consider(root);
    for (const auto& [n, count] : plan.consumers) {
        const bool row = dynamic_cast<const RowNode*>(n) != nullptr;
        for (int i = 0; i < n->inputCount(); ++i) {
            const Node* in = n->input(i);
            if (in && (!row || contains(plan.shared, in))) consider(in);
        }
    }
    for (const Node* top : tops)
        if (auto run = fusedRun(static_cast<const RowNode&>(*top), plan.shared)) plan.runs.emplace_back(top, std::move(run));
}

}  // namespace ostrela::engine
