#pragma once
// The standard filter set, built on the image engine.
//
// Colours passed in are made with Color::fromSRGB from 0…1 sRGB components, the way classic
// filter parameters are written. The engine works on linear premultiplied colour; each filter
// states the space its formula is defined on. The rule is:
//
//  * Tone filters — colour controls, colour invert, colour monochrome, false colour, hue adjust,
//    and the edge detector — act on sRGB-encoded, unpremultiplied values (e = encode(c / a)).
//    Their parameters were tuned on gamma-encoded pictures: contrast pivots on encoded mid-grey
//    0.5, brightness is an offset in encoded units, invert is a photographic negative, false
//    colour maps perceived lightness. Luminance is L = 0.2126·r + 0.7152·g + 0.0722·b of the
//    encoded values. Consecutive tone filters are affine in e and compose into one matrix at graph
//    build time, so a run of them is one decode → matrix → encode per pixel inside the fused
//    per-pixel pass. Intermediate values of a run are not clamped; the run's result is clamped
//    to 0…1 (encoded) before it goes back to linear. A channel above its pixel's alpha is not a
//    premultiplied colour — only the noise generator, with four independent channels, makes
//    them — and is taken as it stands rather than divided: thresholds on noise then see the
//    uniform channel values.
//  * Light filters — colour matrix with bias, gamma adjust, vignette, bloom, the blends and
//    composites, gradients and displacement — act on linear light, premultiplied unless stated.
//
// The encoding uses the sRGB transfer curve (polynomial approximations: encode within 4e-5,
// decode within 1.2e-4 — a tenth of an 8-bit step).
#include "pipeline/engine/Image.h"

#include <array>

namespace ostrela::engine::filters {

// Rec. 709 luminance weights, used on encoded values by the tone filters.
inline constexpr float kLumR = 0.2126f, kLumG = 0.7152f, kLumB = 0.0722f;

// Tone, per pixel, alpha kept: s = L + saturation·(e − L); e' = (s − 0.5)·contrast + 0.5 + brightness.
// (Brightness is added after the contrast, so a large contrast with a matching negative brightness
// keeps only the brightest values, as thresholds on noise rely on.) Neutral: 1, 0, 1.
Image colorControls(const Image& in, double saturation, double brightness, double contrast);

// Light, per pixel, on unpremultiplied linear (r, g, b, a): each output component is its row
// dotted with (r, g, b, a) plus that component of bias; premultiplied again after, alpha clamped
// to 0…1. Composes with adjacent matrices into one.
Image colorMatrixWithBias(const Image& in, const std::array<double, 4>& r, const std::array<double, 4>& g,
                          const std::array<double, 4>& b, const std::array<double, 4>& a,
                          const std::array<double, 4>& bias);

// Light, by position: linear colour (alpha kept) times f = (1 + intensity·q)^−2 for intensity ≥ 0,
// (1 − intensity·q)^2 for a negative (brightening) one, where q = (d / (radius·R))², d the distance
// from the centre of the input's extent and R half its diagonal. The centre is untouched; the
// corners of a frame at intensity 1, radius 1 get a quarter of their light. An infinite extent
// has no centre: the input is returned. `geometry`, when not empty, stands for the extent in
// these terms (for a picture whose pixels cover only part of the extent it stands for).
Image vignette(const Image& in, double intensity, double radius, const Rect& geometry = {});

// Tone, per pixel: the encoded luminance L (clamped to 0…1) picks a mix between the two colours,
// mixed premultiplied in encoded values (so a transparent colour 0 fades into colour 1), and the
// mix's alpha is multiplied by the input's alpha.
Image falseColor(const Image& in, const Color& color0, const Color& color1);

// Tone, per pixel: e' = mix(e, L·colour, intensity) with the colour's encoded components.
Image colorMonochrome(const Image& in, const Color& color, double intensity);

// Tone, per pixel: e' = 1 − e, alpha kept.
Image colorInvert(const Image& in);

// Light: a glow. glow = the input clamped to its extent, Gaussian-blurred with σ = radius (a soft
// blur: from radius 2 on a half-size grid, the same spread) and cropped back;
// out = screen(intensity·glow, in) = g + in − g·in per premultiplied channel. The extent is the
// input's. Intensity below 0 counts as 0.
Image bloom(const Image& in, double radius, double intensity);

// Tone: per channel, the Sobel gradient magnitude of the premultiplied encoded values, in value
// per pixel (Sobel sums divided by 8), times intensity, clamped to 0…1; alpha is the input's.
// The input is read clamped to its extent so the border is not an edge. Flat areas are black.
Image edges(const Image& in, double intensity);

// Light, premultiplied, every channel including alpha: top + background − top·background.
// Extent: the union of both.
Image screenBlend(const Image& top, const Image& background);

// Light, premultiplied: top·bg + top·(1 − bg.a) + bg·(1 − top.a) for colour, top.a + bg.a −
// top.a·bg.a for alpha (multiply where both are present, each alone elsewhere). Extent: the union.
Image multiplyComposite(const Image& top, const Image& background);

// Light: out = in·k + background·(1 − k), k = the mask's encoded luminance times its alpha (a 50 %
// grey mask and a half-transparent white one both give one half). Outside the mask k = 0.
// Extent: background ∪ (in ∩ mask).
Image blendWithMask(const Image& in, const Image& background, const Image& mask);

// Same values as Image::noise() (the same hash of the integer coordinates, four channels uniform
// in 0…1): infinite, a pure function of the pixel coordinate. Generated a row at a time, with
// wide integer multiplies where the processor has them.
Image randomNoise();

// Light, per pixel: unpremultiplied linear components raised to `power` (which is the same
// curve as on encoded values, a power law commuting with the encoding's power), alpha kept.
Image gammaAdjust(const Image& in, double power);

// Tone, per pixel: rotation of e about the grey axis by the angle; a positive angle turns red
// towards green (hue increasing). Alpha kept.
Image hueAdjust(const Image& in, double angleRadians);

// What a tone matrix, gammaAdjust and a second tone matrix (without bias) in a row become: one
// pass with the gamma as a baked curve of each encoded channel (within 3e-5 of it) between the
// two matrices. The filters form it by themselves for such a chain; null for matrices that mix
// alpha in or out.
PixelOpPtr toneCurveOp(const ColorMatrix& before, double power, const ColorMatrix& after);

// Light: out(p) = in sampled bilinearly at p + scale·(d.rg − 0.5), where d is the displacement
// image's linear premultiplied colour at p, clamped to 0…1. Outside `in`'s extent reads are
// transparent (clamp `in` first for repeated edges). The extent is in's; the region read from
// `in` is the destination grown by scale / 2 (plus the bilinear footprint).
Image displacementDistortion(const Image& in, const Image& displacement, double scale);

// Light, infinite extent: colour0 at p0, colour1 at p1, the premultiplied linear colours mixed
// linearly along the line p0→p1 and constant beyond its ends. Equal points give colour0.
Image linearGradient(Point p0, Point p1, const Color& color0, const Color& color1);

// Light, infinite extent: colour0 within radius0 of the centre, colour1 beyond radius1, mixed
// linearly (premultiplied linear) with the distance in between.
Image radialGradient(Point center, double radius0, double radius1, const Color& color0, const Color& color1);

// The sRGB curve as the tone filters evaluate it (0…1 in, clamped), for tests and tools.
float encodeSRGBFast(float linear);
float decodeSRGBFast(float encoded);
// The same curves over n values (in and out may be the same), for pictures baked once.
void encodeSRGBRow(const float* in, int n, float* out);
void decodeSRGBRow(const float* in, int n, float* out);
// n pixels of the engine's noise (NoiseNode::value, the same values) from (x0, y) on, RGBA each.
void noiseRow(int x0, int y, int n, float* out);

}  // namespace ostrela::engine::filters
