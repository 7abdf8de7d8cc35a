#pragma once
// The effect objects a test program works with: one set for the whole program, as the application
// keeps one per frame composer, so looks with memory carry it from call to call as they do there.
#include "effects/DreamEffect.h"
#include "effects/DrunkEffect.h"
#include "effects/Effects.h"
#include "effects/FlameEffect.h"

namespace ostrela::effects::testing {

inline EffectSet& looks() {
    static EffectSet set;
    return set;
}

// The set's dispatch with the arguments of one frame.
inline engine::Image applyVideoEffect(VideoEffect effect, const engine::Image& image, double t, double barReserve) {
    return effects::applyVideoEffect(looks(), effect, image, t, barReserve);
}

inline DrunkMode& drunkLook() { return static_cast<DrunkMode&>(*looks().instance(VideoEffect::drunkMode)); }
inline DreamSequence& dreamLook() { return static_cast<DreamSequence&>(*looks().instance(VideoEffect::dreamSequence)); }
inline Flame& flameLook() { return static_cast<Flame&>(*looks().instance(VideoEffect::flame)); }

// Drunk Mode's trails and Dream Sequence's echo forgotten, as in a new program.
inline void resetDrunk() { looks().reset(VideoEffect::drunkMode); }
inline void resetDream() { looks().reset(VideoEffect::dreamSequence); }

}  // namespace ostrela::effects::testing
