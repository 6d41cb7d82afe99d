#include "core/Geometry.h"

#include <cmath>

namespace core {

long RoundHalfEven(double v) { return static_cast<long>(std::nearbyint(v)); }

int TwipsToPixels(double twips, int dpi) {
    return static_cast<int>(RoundHalfEven(twips * dpi / kTwipsPerInch));
}

double PixelsToTwips(int pixels, int dpi) { return static_cast<double>(pixels) * kTwipsPerInch / dpi; }

Position CenteredPosition(double screenWidth, double screenHeight, double windowWidth, double windowHeight) {
    return {RoundHalfEven((screenWidth - windowWidth) / 2), RoundHalfEven((screenHeight - windowHeight) / 2)};
}

}  // namespace core
