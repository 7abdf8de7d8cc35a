#pragma once
// What the renderer works out about a graph once per frame before rendering it: the nodes with
// more than one consumer (kept per tile) and the runs of row nodes it evaluates row by row in
// one pass. A run is a row node with the row nodes below it that nothing else reads; its other
// inputs (stencils, warps, sources, stored pictures) are its leaves, and stored leaves are read
// in place. Fusing changes no pixel: each row goes through the same kernels in the same order.
#include "pipeline/engine/Nodes.h"

#include <memory>
#include <utility>
#include <vector>

namespace ostrela::engine {

struct FramePlan {
    std::vector<const Node*> shared;
    // The fused pass that stands in for each run's top node.
    std::vector<std::pair<const Node*, std::unique_ptr<const Node>>> runs;
    std::vector<std::pair<const Node*, int>> consumers;  // scratch kept between frames
    // The node to render in place of `node` (itself unless it tops a run).
    const Node& standIn(const Node& node) const;
};

// Plans `root`'s graph into `plan` (reused between frames). Without `fuse`, no runs are formed:
// every node renders on its own (the reference the fused passes are compared with).
void planFrame(const Node* root, FramePlan& plan, bool fuse = true);

// The fused pass over the run topped by `top` (null when fewer than two row nodes would join).
std::unique_ptr<const Node> fusedRun(const RowNode& top, const std::vector<const Node*>& shared);

}  // namespace ostrela::engine
