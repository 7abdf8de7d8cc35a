#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

namespace ostrela::test {

std::vector<int64_t> simdTargets() { return hwy::SupportedAndGeneratedTargets(); }

std::string simdTargetName(int64_t target) { return hwy::TargetName(target); }

namespace {
// Dispatches to `target` alone while it lives; the processor's own choice again afterwards.
struct OnlyTarget {
    explicit OnlyTarget(int64_t target) {
        hwy::SetSupportedTargetsForTest(target);
        hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    }
    ~OnlyTarget() {
        hwy::SetSupportedTargetsForTest(0);
        hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    }
};
}  // namespace

void forEachSimdTarget(const std::function<void()>& body) {
    const std::vector<int64_t> targets = simdTargets();
    ASSERT_FALSE(targets.empty());
    for (const int64_t target : targets) {
        SCOPED_TRACE("vector target " + simdTargetName(target));
        OnlyTarget only(target);
        body();
    }
}

}  // namespace ostrela::test
