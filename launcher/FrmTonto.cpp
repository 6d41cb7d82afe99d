#include "FrmTonto.h"

namespace {
constexpr wchar_t kClass[] = L"LanzoFrmTonto";
constexpr int kProgramIcon = 1;
}  // namespace

FrmTonto::FrmTonto(HINSTANCE instance) : instance_(instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kProgramIcon));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = kClass;
    class_ = RegisterClassExW(&wc);
    hwnd_ = CreateWindowExW(0, kClass, L"Form1", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 240,
                            nullptr, nullptr, instance, nullptr);
}

FrmTonto::~FrmTonto() {
    if (hwnd_) DestroyWindow(hwnd_);
    if (class_) UnregisterClassW(kClass, instance_);
}
