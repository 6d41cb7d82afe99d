#include "ModGen.h"

#include <cmath>
#include <memory>
#include <vector>

#include "Espera.h"
#include "core/Geometry.h"

namespace renovo {
namespace {

std::unique_ptr<Espera>& WaitWindow() {
    static std::unique_ptr<Espera> w;
    return w;
}

template <class F>
F User32(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

struct DisabledWindows {
    HWND keep;
    std::vector<HWND> list;
};

BOOL CALLBACK DisableOne(HWND hwnd, LPARAM lp) {
    auto* d = reinterpret_cast<DisabledWindows*>(lp);
    if (hwnd != d->keep && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
        EnableWindow(hwnd, FALSE);
        d->list.push_back(hwnd);
    }
    return TRUE;
}

}  // namespace

Shared& App() {
    static Shared shared;
    return shared;
}

int SystemDpi() {
    win::ScreenDc screen;
    const int dpi = screen.Get() ? GetDeviceCaps(screen.Get(), LOGPIXELSY) : 96;
    return dpi > 0 ? dpi : 96;
}

int WindowDpi(HWND window) {
    // Present from Windows 10 1607 on; older systems have one DPI.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = User32<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpi && window) {
        const UINT dpi = getDpi(window);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    return SystemDpi();
}

int Px(double twips, int dpi) { return core::TwipsToPixels(twips, dpi); }
double Twips(int pixels, int dpi) { return core::PixelsToTwips(pixels, dpi); }

SIZE OuterSize(int clientW, int clientH, DWORD style, DWORD exStyle, int dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = User32<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    RECT r{0, 0, clientW, clientH};
    if (!(adjustForDpi && adjustForDpi(&r, style, FALSE, exStyle, static_cast<UINT>(dpi))))
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

win::FontPtr CreateLabelFont(int dpi) {
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(975, dpi, 7200);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = ANSI_CHARSET;
    lstrcpynW(lf.lfFaceName, L"MS Sans Serif", LF_FACESIZE);
    return win::FontPtr(CreateFontIndirectW(&lf));
}

win::FontPtr CreateGuiFont(int dpi) {
    LOGFONTW lf{};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    // The stock font is sized for the system DPI; a window on another
    // monitor needs it at its own.
    lf.lfHeight = MulDiv(lf.lfHeight, dpi, SystemDpi());
    return win::FontPtr(CreateFontIndirectW(&lf));
}

int AcceptDpiChange(HWND window, WPARAM wp, LPARAM lp) {
    const RECT* suggested = reinterpret_cast<const RECT*>(lp);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return HIWORD(wp);
}

SIZE TextSize(HFONT font, const std::wstring& text) {
    SIZE s{0, 0};
    win::ScreenDc dc;
    if (!dc.Get()) return s;
    win::Selected sel(dc.Get(), font);
    GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &s);
    return s;
}

void CenterForm(HWND window) {
    const int dpi = WindowDpi(window);
    RECT r{};
    GetWindowRect(window, &r);
    const core::Position p = core::CenteredPosition(
        Twips(GetSystemMetrics(SM_CXSCREEN), dpi), Twips(GetSystemMetrics(SM_CYSCREEN), dpi),
        Twips(r.right - r.left, dpi), Twips(r.bottom - r.top, dpi));
    SetWindowPos(window, nullptr, Px(p.left, dpi), Px(p.top, dpi), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DoEvents() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Belongs to the outermost loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void UnloadWaitWindow() {
    auto& w = WaitWindow();
    if (!w) return;
    DoEvents();
    if (w) w->Unload();
    w.reset();
}

void ShowWaitWindow(bool modal, std::uint8_t device, std::optional<float> left, std::optional<float> top,
                    bool updating) {
    Shared& app = App();
    core::FillWaitRequest(app.waitRequest, device, left, top, updating);
    auto& w = WaitWindow();
    if (!w || !w->Alive()) {
        w.reset();
        w = Espera::Create();
    }
    if (!w->Alive()) {
        w.reset();
        return;
    }
    if (!modal) {
        w->Show();
        return;
    }

    // A real modal loop: every other window of the updater is disabled
    // until the wait window has gone, then the main window gets the
    // activation back.
    DisabledWindows disabled{w->Hwnd(), {}};
    EnumThreadWindows(GetCurrentThreadId(), DisableOne, reinterpret_cast<LPARAM>(&disabled));
    bool restored = false;
    auto restore = [&disabled, &restored] {
        if (restored) return;
        restored = true;
        for (HWND h : disabled.list)
            if (IsWindow(h)) EnableWindow(h, TRUE);
        if (App().mainWindow && IsWindow(App().mainWindow)) SetActiveWindow(App().mainWindow);
    };
    w->SetBeforeClose(restore);
    app.waitModal = true;
    w->Show();
    MSG msg;
    while (w && w->Alive()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    app.waitModal = false;
    if (w) {
        w->SetBeforeClose(nullptr);
        w->Unload();
    }
    restore();
    w.reset();
}

int BoxMessages::Show(const std::wstring& text, unsigned style) {
    // Task-modal without an owner: the system disables every window of this
    // thread while the box is open, whichever of them is active.
    return MessageBoxW(nullptr, text.c_str(), kAppTitle, style | MB_TASKMODAL);
}

std::uint64_t PumpClock::NowMs() { return GetTickCount64(); }

void PumpClock::PumpEvents(std::uint32_t maxSleepMs) {
    MsgWaitForMultipleObjectsEx(0, nullptr, maxSleepMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    DoEvents();
}

bool DiskFiles::IsOrdinaryFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    return (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace renovo
