#include "ModTrans.h"

namespace renovo {

void RoundFormCorners(HWND window, int corner) {
    RECT client{};
    GetClientRect(window, &client);
    // The window has no frame, so client and window coordinates coincide.
    HRGN region = CreateRoundRectRgn(0, 0, client.right, client.bottom, corner, corner);
    if (!region) return;
    // On success the system owns the region from here on.
    if (!SetWindowRgn(window, region, TRUE)) DeleteObject(region);
}

}  // namespace renovo
