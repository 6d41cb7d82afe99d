#pragma once
// Window placement in twips (1/1440 inch) and its conversion to pixels.
#include <cstdint>

namespace core {

inline constexpr int kTwipsPerInch = 1440;

// Rounds to the nearest whole number, halves to the even neighbour.
long RoundHalfEven(double v);

// Twips to pixels at the given dots per inch (15 twips per pixel at 96).
int TwipsToPixels(double twips, int dpi);
double PixelsToTwips(int pixels, int dpi);

struct Position {
    long left = 0;
    long top = 0;
    bool operator==(const Position&) const = default;
};

// CenterForm: (screen - window) / 2 on each axis, each half rounded to
// even. A window wider than the screen gets a negative edge.
Position CenteredPosition(double screenWidth, double screenHeight, double windowWidth, double windowHeight);

}  // namespace core
