#include "pipeline/engine/Filters.h"

// First cut: pass-through bodies so callers can build against the interface.
namespace ostrela::engine::filters {

Image colorControls(const Image& in, double, double, double) { return in; }
Image colorMatrixWithBias(const Image& in, const std::array<double, 4>&, const std::array<double, 4>&,
                          const std::array<double, 4>&, const std::array<double, 4>&,
                          const std::array<double, 4>&) { return in; }
Image vignette(const Image& in, double, double) { return in; }
Image falseColor(const Image& in, const Color&, const Color&) { return in; }
Image colorMonochrome(const Image& in, const Color&, double) { return in; }
Image colorInvert(const Image& in) { return in; }
Image bloom(const Image& in, double, double) { return in; }
Image edges(const Image& in, double) { return in; }
Image screenBlend(const Image& top, const Image& background) { return top.composited(background); }
Image multiplyComposite(const Image& top, const Image& background) { return top.composited(background); }
Image blendWithMask(const Image& in, const Image& background, const Image&) { return in.composited(background); }
Image randomNoise() { return Image::noise(); }
Image gammaAdjust(const Image& in, double) { return in; }
Image hueAdjust(const Image& in, double) { return in; }
Image displacementDistortion(const Image& in, const Image&, double) { return in; }
Image linearGradient(Point, Point, const Color& color0, const Color&) { return Image::solid(color0); }
Image radialGradient(Point, double, double, const Color& color0, const Color&) { return Image::solid(color0); }

}  // namespace ostrela::engine::filters
