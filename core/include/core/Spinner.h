#pragma once
// The ring of twelve dots: a dark dot with a fading tail of two lighter
// dots turning clockwise one place per tick.
#include <array>
#include <cstdint>

namespace core {

inline constexpr int kDotCount = 12;

// Colours as 0x00BBGGRR, the platform's COLORREF layout.
inline constexpr std::uint32_t Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return std::uint32_t(r) | (std::uint32_t(g) << 8) | (std::uint32_t(b) << 16);
}
inline constexpr std::uint32_t kDotDark = Rgb(128, 128, 128);
inline constexpr std::uint32_t kDotTail1 = Rgb(192, 192, 192);
inline constexpr std::uint32_t kDotTail2 = Rgb(224, 224, 224);
inline constexpr std::uint32_t kDotBlank = Rgb(255, 255, 255);

// Fills of a freshly built ring: the dark dot at 0.
std::array<std::uint32_t, kDotCount> InitialDotFills();

struct DotFill {
    int index;
    std::uint32_t colour;
    bool operator==(const DotFill&) const = default;
};

// One tick: advances `step` (wrapping 11 -> 0) and returns the four dots to
// colour, in the order they are coloured.
std::array<DotFill, 4> SpinnerTick(std::uint8_t& step);

}  // namespace core
