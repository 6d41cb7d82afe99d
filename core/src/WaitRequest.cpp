#include "core/WaitRequest.h"

namespace core {

void FillWaitRequest(WaitRequest& request, std::uint8_t device, std::optional<float> left,
                     std::optional<float> top, bool updating) {
    if (left && top) {
        request.left = *left;
        request.top = *top;
    } else {
        request.left = kNoPosition;
        request.top = kNoPosition;
    }
    request.updating = updating;
    request.device = device;
}

const wchar_t* WaitCaption(const WaitRequest& request) {
    return request.updating ? kTextUpdating : kTextConnecting;
}

Position WaitWindowPosition(const WaitRequest& request, double screenWidth, double screenHeight,
                            double windowWidth, double windowHeight) {
    if (request.left == kNoPosition)
        return CenteredPosition(screenWidth, screenHeight, windowWidth, windowHeight);
    return {RoundHalfEven(request.left + kWaitOffsetLeft), RoundHalfEven(request.top + kWaitOffsetTop)};
}

}  // namespace core
