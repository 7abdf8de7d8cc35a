#pragma once
// The engine's sampling and compositing kernels (PixelKernels.cpp), each written once with Highway
// and dispatched at run time to the best target (or the one OSTRELA_SIMD caps it to). Pixels are
// linear premultiplied RGBA floats unless said otherwise.
#include <cstddef>
#include <cstdint>

namespace ostrela::engine::kernels {

// Bilinear samples of a pixel buffer (bw × bh pixels whose first is at (bx, by)) at the points
// (sx + i·ax, sy + i·ay), i < n, pixel offsets already taken off. Points whose four neighbours
// do not all lie in the buffer are left for the caller: their indices go to `edges`, and the
// count is returned. (pfx, pfy): how far ahead in source pixels to prefetch.
int resampleRow(const float* src, int bx, int by, int bw, int bh, double sx, double sy, double ax, double ay,
                double pfx, double pfy, int n, float* o, int* edges);
// Pixel i of a row mixed from columns cx[i] and cx[i] + 1 of two source rows of w pixels, by cw[i]
// across and wy between the rows. Pixels whose columns leave the rows go to `edges` (count returned).
int bilinearColumnsRow(const float* row0, const float* row1, int w, const int* cx, const float* cw, float wy, int n,
                       float* o, int* edges);
// A magnified row in two steps: the two source rows mixed first (n floats, o = a + (b − a)·w, a
// multiply-add; any two runs of floats may be mixed so),
// then pixel i taken across from columns cx[i] and cx[i] + 1 of the mix, which starts at column
// base (o = m₀ + (m₁ − m₀)·cw[i]).
void mixRows(const float* a, const float* b, size_t n, float w, float* o);
void tapsRow(const float* m, const int* cx, const float* cw, int base, int n, float* o);
// n floats to half precision, rounded to nearest on every target.
void toHalves(const float* src, size_t n, uint16_t* dst);
// n half-precision values back to floats (exactly).
void fromHalves(const uint16_t* src, size_t n, float* dst);

// n floats copied past the caches (for pictures written now and read much later); the copy is
// visible to other threads after hwy::FlushStream() (or any lock).
void streamFloats(const float* src, size_t n, float* dst);

// o = f + o·(1 − f.alpha), n pixels.
void overRow(const float* f, int n, float* o);
// o = f + bg·(1 − f.alpha): the same with the background read from elsewhere (bg may be o).
void overRowFrom(const float* f, const float* bg, int n, float* o);
// One layer of a chain of composites, as the chain kernels read it.
struct ChainLayer {
    const float* row = nullptr;    // the layer's pixels
    const float* above = nullptr;  // when set: a move by a fraction of a pixel, pixel i mixed from
                                   // pixels i and i + 1 of `row` and `above` (each a pixel longer),
                                   // down by wy first, then across by wx, as mixRows mixes
    float wx = 0.0f, wy = 0.0f;
    float fade = -1.0f;  // faded as alphaScaleRow fades; < 0: not faded
    float scale = 1.0f;  // screens: the foreground's scale
    const float* gain = nullptr;  // when set (and not faded): each channel scaled as gainRow scales
    const uint16_t* halves = nullptr;  // when set: the layer's pixels at half precision, in place of
                                       // `row` (not moved), widened as fromHalves widens them
};
// Layers (bottom first, at most kMaxOverChain) over o in one pass, each composited as overRow
// composites. The bottom is read from bg when given (bg may be o). `stream` writes whole
// registers past the caches where o allows it (for a picture read much later);
// hwy::FlushStream() after the last row.
constexpr int kMaxOverChain = 12;
void overChainRow(const ChainLayer* layers, int m, int n, float* o, const float* bg = nullptr, bool stream = false);
// The same with each layer, faded, then scaled and screened as screenRow screens.
void screenChainRow(const ChainLayer* layers, int m, int n, float* o, const float* bg = nullptr, bool stream = false);
// Screen of k·f over o (every channel, alpha too), n pixels.
void screenRow(const float* f, float k, int n, float* o);
// The same over bg, into o.
void screenRowFrom(const float* f, float k, const float* bg, int n, float* o);
// Multiply composite of k·f over o: c = a·b + a(1 − b.alpha) + b(1 − a.alpha), n pixels.
void multiplyRow(const float* f, float k, int n, float* o);
// o += w·(f − o) with w the encoded luminance of the unpremultiplied mask times its alpha.
void maskBlendRow(const float* f, const float* mask, int n, float* o);
// The 4×5 colour matrix (rows R, G, B, A: r, g, b, a, bias) on unpremultiplied colour, the result
// premultiplied by its clamped alpha; n pixels in place.
void matrixRow(const float* m, float* p, int n);
// The same from src into p (src may be p).
void matrixRowFrom(const float* m, const float* src, float* p, int n);
// matrixRowFrom for the matrix that only scales each colour channel (k[c] on the diagonal, alpha
// kept, no bias), which needs no division: colour times k where alpha is above 0 (opaque pixels
// bit for bit as the matrix does them, translucent ones to rounding), alpha clamped to 0…1.
void gainRow(const float* k, const float* src, float* p, int n);
// matrixRowFrom for the matrix that only scales alpha by k (0 ≤ k ≤ 1), which needs no division.
void alphaScaleRow(float k, const float* src, float* p, int n);
// Premultiplied encoded colour (the alpha as it stands) of n pixels.
void encodePremultipliedRow(const float* src, size_t n, float* enc);
// Sobel magnitude of the encoded rows below (m0), at (m1) and above (m2), scaled by k, decoded and
// premultiplied by the centre's clamped alpha; the rows start one pixel left of the first output.
void sobelRow(const float* m0, const float* m1, const float* m2, float k, int n, float* o);
// The same for a grey picture: encodePremultipliedRow's red channel alone (one float a pixel),
// and the magnitude of such planes (starting one pixel left) written to r, g and b, the alpha
// and its premultiplication taken from the n `centre` pixels.
void encodeGreyPlane(const float* src, size_t n, float* plane);
void sobelGreyRow(const float* m0, const float* m1, const float* m2, const float* centre, float k, int n, float* o);

// Painted layers: 16-bit premultiplied RGBA (red in the low bits) to floats, n pixels.
void decodeRgba64Row(const uint64_t* src, int n, float* o);
// fg = w0·a + w1·b (b may be null) composited over o, n pixels.
void overRgba64Row(const uint64_t* a, const uint64_t* b, float w0, float w1, int n, float* o);

}  // namespace ostrela::engine::kernels
