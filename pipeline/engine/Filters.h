#pragma once
// The standard filter set, built on the image engine.
//
// Colours passed in are created with Color::fromSRGB from 0…1 sRGB components, as classic filter
// parameters are given. The working space is linear premultiplied; see each filter for the
// space its formula is defined on.
#include "pipeline/engine/Image.h"

#include <array>

namespace ostrela::engine::filters {

Image colorControls(const Image& in, double saturation, double brightness, double contrast);
Image colorMatrixWithBias(const Image& in, const std::array<double, 4>& r, const std::array<double, 4>& g,
                          const std::array<double, 4>& b, const std::array<double, 4>& a,
                          const std::array<double, 4>& bias);
Image vignette(const Image& in, double intensity, double radius);
Image falseColor(const Image& in, const Color& color0, const Color& color1);
Image colorMonochrome(const Image& in, const Color& color, double intensity);
Image colorInvert(const Image& in);
Image bloom(const Image& in, double radius, double intensity);
Image edges(const Image& in, double intensity);
Image screenBlend(const Image& top, const Image& background);
Image multiplyComposite(const Image& top, const Image& background);
Image blendWithMask(const Image& in, const Image& background, const Image& mask);
Image randomNoise();  // same as Image::noise(): infinite, pure function of the pixel coordinate
Image gammaAdjust(const Image& in, double power);
Image hueAdjust(const Image& in, double angleRadians);
Image displacementDistortion(const Image& in, const Image& displacement, double scale);
Image linearGradient(Point p0, Point p1, const Color& color0, const Color& color1);
Image radialGradient(Point center, double radius0, double radius1, const Color& color0, const Color& color1);

}  // namespace ostrela::engine::filters
