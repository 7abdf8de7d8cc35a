#pragma once
// The engine's vector kernels. Each is written once with Highway and dispatched at run time to the
// best target this processor has (or the one OSTRELA_SIMD caps it to; see SimdTargets.h).
#include <cstddef>
#include <cstdint>

namespace ostrela::engine::kernels {

// ---- Tone runs (Filters.cpp) ----
struct ToneParams {  // one stage's constants
    bool isMatrix;
    bool diagonal = false;  // a matrix whose channels each depend on themselves alone (m[0], m[6], m[12] and the biases)
    // A false colour from transparent black ending the run: the colour is flatColour (decoded)
    // wherever there is any, so only the alpha is worked out.
    bool flat = false;
    float flatColour[3];
    float m[15];  // rows R, G, B: (r, g, b, a, bias)
    float c0[4], d[4];
    // A run of this one stage, a channel gain with a bias below zero (a threshold), gives no
    // colour wherever each unpremultiplied channel is at most footBelow (a little below where the
    // curve leaves zero): a block of such pixels skips the curves and gives the same bits.
    bool foot = false;
    float footBelow[3];
};
// The foot of a one-stage run (see ToneParams::foot), set where it has one.
void findFoot(ToneParams& stage);
// n RGBA pixels in place: unpremultiply and encode (unless `encoded`: the pixels hold
// unpremultiplied encoded colour already), the stages, then decode and premultiply; then, with a
// `gain`, the linear colour channels times gain[0…2].
void toneRun(float* p, int n, const ToneParams* stages, int ns, bool encoded, const float* gain = nullptr);
// toneRun (not encoded) on pixels mixed float by float between rows lo and hi, lo + (hi − lo)·wy
// as mixRows mixes them, and then, where wx is not 0, each with the next one mixed by wx (so the
// rows hold n + 1 pixels), into `out`.
void toneRunMixed(const float* lo, const float* hi, float wx, float wy, int n, const ToneParams* stages, int ns,
                  const float* gain, float* out);
// toneRun straight from n BGRA8 premultiplied pixels (codes read as encoded values, unpremultiplied
// with the 8-bit decoder's rounding) into n RGBA pixels at `out`.
void toneRunBytes(const uint8_t* bgra, int n, const ToneParams* stages, int ns, const float* gain, float* out);
// Gamma on n premultiplied RGBA pixels in place (colour unpremultiplied, raised, premultiplied).
void gammaRow(float* p, int n, float power);
// Colour of n RGBA pixels times (1 + k·(dx2[i] + dy2))^±2; alpha kept.
void vignetteRow(float* o, const float* dx2, int n, float dy2, float k, bool darken);
// n pixels of the engine's noise from (x0, y) on: four channels uniform in 0…1.
void noiseRow(int x0, int y, int n, float* out);
// n pixels of a radial gradient: c0 + dc·t, t = clamp((distance − r0)·inv) with the first pixel's
// centre dx0 across and √dy2 down from the middle; inv 0 makes a hard edge (t 0 within r0, else 1).
void radialGradientRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* c0, const float* dc);
// The tone filters' sRGB curves for single values (tools and tests).
float encodeSrgbTone(float linear);
float decodeSrgbTone(float encoded);
// The same curves over n values (in and out may be the same).
void encodeSrgbToneRow(const float* in, int n, float* out);
void decodeSrgbToneRow(const float* in, int n, float* out);

// ---- Tone curves (ToneCurveKernels.cpp) ----
// A curve over 0…1: a table of steps + 2 entries, and sixteen cubics over [2^-8, 1) picked by the
// value's exponent and top mantissa bit (c0 + c1·t + c2·t² + c3·t³); segments flagged in
// tableInstead (when `loose`) and values outside [2^-8, 1) read the table.
struct CurveTable {
    const float* table;
    int steps;
    const float* cubic[4];  // 16 floats each
    const float* tableInstead;
    bool loose;
};
// n RGBA pixels in place: unpremultiply and encode as the tone filters do, a colour matrix
// (`grade`: three rows of r, g, b, bias), the curve on each channel, a second matrix (`hue`: three
// rows of three), decode and premultiply.
void toneCurveRun(float* p, int n, const float* grade, const float* hue, const CurveTable& curve);

// ---- Separable warps (WarpKernels.cpp) ----
// The pixels a warp row is sampled from: rect (x, y, w, h), bottom row first.
struct WarpSource {
    const float* data;
    int x, y, w, h;
};
// One row of n pixels from column x0: pixel i samples the source bilinearly at
// ((x0 + i + ½) + dx − ½, py + dyc[i] − ½) (pixel centres at integers), the taps clamped onto
// the source; a position beyond ±1e9 gives a transparent pixel.
void separableWarpRow(const WarpSource& src, int x0, int n, float dx, float py, const float* dyc, float* o);
// separableWarpRow for a warp that moves nothing down (every dyc 0, py a pixel centre): row y of
// the source, rows clamped onto it, moved across by dx — one mix of two neighbours per pixel.
void shiftRow(const WarpSource& src, int x0, int n, float dx, int y, float* o);
// One row of a displacement from column x0 of row y: pixel i samples the source bilinearly at its
// centre moved by scale·(clamp(d.r) − ½, clamp(d.g) − ½), d the i-th RGBA pixel of `disp`; taps
// off the source read transparent.
void displaceRow(const WarpSource& src, const float* disp, float scale, int x0, int y, int n, float* o);

// ---- Blur (Blur.cpp) ----
// n floats of o from the centre row c: w0·c + Σ wi·(c − i·step + c + i·step), i = 1…r.
void symmetricTaps(const float* c, size_t step, int r, const float* w, size_t n, float* o);
// One grid row of a 2× box reduction: nx RGBA grid pixels from two source rows.
void boxRow2(const float* s0, const float* s1, int nx, float* d);
// One output row of a bilinear expansion: grid rows l0 and l1 (nu pixels) mixed by wy into `mix`
// (nu + 4 pixels), then output pixel i mixes grid pixels cx[i] and cx[i] + 1 (cx[i] alone when nu
// is 1) by cw[i]. `regular`: the 2× grid's pattern with no column clamped (cw alternating ¾ and ¼
// from an even pixel on; `odd`: the row starts at an odd one).
void expandRow(const float* l0, const float* l1, int nu, float wy, const int* cx, const float* cw, int n, bool regular,
               bool odd, float* mix, float* o);

// ---- Colour (ColorSpace.cpp) ----
// Opaque pixels from the start of a BGRA8 row through the 256-entry table; returns how many were
// done (stops at the first pixel that is not opaque).
int decodeOpaqueRun(const uint8_t* bgra, int n, const float* table, float* rgba);
// n RGBA pixels to BGRA8 codes through the curve, alpha 255; returns whether a pixel's alpha does
// not write as 255 (the caller redoes those through the table).
bool encodeOpaqueRow(const float* rgba, int n, uint8_t* bgra);
// Every pixel of a BGRA8 row through a table of `size` + 1 RGBA entries indexed by the encoded
// luminance (the tone filters' weights) times size − 1, mixed between two entries. `opaque`: the
// format has no alpha. Returns how many pixels are not opaque, listed in `others` (n at most):
// the table does not give them.
int lumaTableRow(const uint8_t* bgra, int n, bool opaque, const float* table, int size, float* o, int* others);
// The same through four planes (R, G, B, A) of `size` + 1 entries, channel c read at
// (1 − s)·L + s·e_c (L and e_c in table steps), alpha the alpha plane's first entry.
int lumaChannelsRow(const uint8_t* bgra, int n, bool opaque, const float* const* planes, int size, float s, float* o, int* others);

// n premultiplied pixels in place through a table of `steps` + 2 RGB entries (stride 4) indexed
// by the sum w·rgb of each pixel as it stands, mixed between two entries, alpha kept. Pixels
// whose sum is outside 0…1 are left as they are: their indices go to `outside` (count returned).
int luminanceMapRow(float* p, int n, const float* w, const float* table, int steps, int* outside);
// n pixels from src (dst may be src) through a table of `steps` + 2 RGBA entries indexed by the
// red channel, mixed between two entries, for pixels of a grey picture that are opaque with red in
// 0…1; the others are copied as they are and listed in `outside` (count returned). Given `level`
// (`steps` + 2 values), the result is opaque grey of that level and the table is not read.
// Entries 0 … `flat` are equal (−1: not even the first two).
int greyMapRow(const float* src, float* dst, int n, const float* table, const float* level, int steps, int flat, int* outside);

}  // namespace ostrela::engine::kernels
