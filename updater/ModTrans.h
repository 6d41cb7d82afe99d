#pragma once
// Window outline shaping.
#include <windows.h>

namespace renovo {

// Gives the window a rounded-rectangle outline over its client area; the
// corners are rounded by an ellipse `corner` pixels wide and high.
void RoundFormCorners(HWND window, int corner);

}  // namespace renovo
