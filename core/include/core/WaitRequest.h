#pragma once
// The request with which a caller opens the wait window, and the rules the
// window applies to it when it loads.
#include <cstdint>
#include <optional>
#include <string>

#include "core/Geometry.h"

namespace core {

inline constexpr float kNoPosition = -1000.0f;
inline constexpr double kWaitOffsetLeft = 2760.0;  // twips right of the caller's left edge
inline constexpr double kWaitOffsetTop = 2250.0;   // twips below the caller's top edge

struct WaitRequest {
    float left = kNoPosition;  // twips, or -1000: centre on the screen
    float top = kNoPosition;
    bool updating = false;
    std::uint8_t device = 0;  // 0 coin recycler, 1 banknote module
};

// ShowWaitWindow's first two steps: a position only when both halves are
// given, otherwise -1000 in both.
void FillWaitRequest(WaitRequest& request, std::uint8_t device, std::optional<float> left,
                     std::optional<float> top, bool updating);

inline constexpr const wchar_t* kTextUpdating = L"Updating ...";
inline constexpr const wchar_t* kTextConnecting = L"Connecting .....";
inline constexpr const wchar_t* kTextVerifying = L"Verifying ....";

const wchar_t* WaitCaption(const WaitRequest& request);

// Where the wait window goes (twips): centred when the request's left is
// -1000 (the top is not looked at), else offset from the caller.
Position WaitWindowPosition(const WaitRequest& request, double screenWidth, double screenHeight,
                            double windowWidth, double windowHeight);

}  // namespace core
