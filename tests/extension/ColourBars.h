#pragma once
// Reading the test-frame writer's colour bars (kTestBarColors) back from a row of RGB pixels that
// went through a camera client.
#include "extension/camera/TestFrames.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace ostrela::test {

// The colour as 0..255 red, green, blue.
inline std::array<int, 3> barColour(int bar) {
    const uint32_t c = camera::kTestBarColors[bar];
    return {int((c >> 16) & 0xFF), int((c >> 8) & 0xFF), int(c & 0xFF)};
}

// How far the bars in a row of `width` pixels (`step` bytes apart, red first) are shifted — they
// move 8 pixels a frame: the shift whose bars match the whole row best.
inline int barShift(const uint8_t* row, int width, int step) {
    const int barWidth = width / 8;
    int best = 0;
    long bestError = -1;
    for (int shift = 0; shift < width; ++shift) {
        long error = 0;
        for (int x = 0; x < width; x += 4) {
            const auto want = barColour(((x + shift) % width) / barWidth);
            for (int c = 0; c < 3; ++c) error += std::abs(int(row[x * step + c]) - want[c]);
        }
        if (bestError < 0 || error < bestError) {
            bestError = error;
            best = shift;
        }
    }
    return best;
}

// The mean colour of the middle half of each bar, away from the edges where two bars share chroma.
inline std::array<std::array<double, 3>, 8> measuredBars(const uint8_t* row, int width, int step) {
    const int barWidth = width / 8;
    const int shift = barShift(row, width, step);
    std::array<std::array<double, 3>, 8> result{};
    for (int bar = 0; bar < 8; ++bar) {
        const int centre = bar * barWidth + barWidth / 2 - shift;
        for (int dx = -barWidth / 4; dx < barWidth / 4; ++dx) {
            const int x = ((centre + dx) % width + width) % width;
            for (int c = 0; c < 3; ++c) result[bar][c] += row[x * step + c];
        }
        for (int c = 0; c < 3; ++c) result[bar][c] /= double(barWidth / 2);
    }
    return result;
}

inline const char* barName(int bar) {
    static const char* names[8] = {"white", "yellow", "cyan", "green", "magenta", "red", "blue", "black"};
    return names[bar];
}

}  // namespace ostrela::test
