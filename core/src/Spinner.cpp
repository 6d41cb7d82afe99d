#include "core/Spinner.h"

namespace core {
namespace {
int Behind(int step, int places) { return (step + kDotCount - places) % kDotCount; }
}  // namespace

std::array<std::uint32_t, kDotCount> InitialDotFills() {
    std::array<std::uint32_t, kDotCount> fills{};
    fills.fill(kDotBlank);
    fills[0] = kDotDark;
    fills[Behind(0, 1)] = kDotTail1;
    fills[Behind(0, 2)] = kDotTail2;
    return fills;
}

std::array<DotFill, 4> SpinnerTick(std::uint8_t& step) {
    step = static_cast<std::uint8_t>((step + 1) % kDotCount);
    return {{{step, kDotDark},
             {Behind(step, 1), kDotTail1},
             {Behind(step, 2), kDotTail2},
             {Behind(step, 3), kDotBlank}}};
}

}  // namespace core
