#include "ModGen.h"

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "Espera.h"
#include "core/Geometry.h"

namespace renovo {
namespace {

constexpr const wchar_t* kShutdownReason =
    L"A firmware update is running. Switching off now can leave the device unusable.";

// Only the windows' thread reads and writes these.
std::optional<Busy> g_busy;
std::optional<int> g_heldQuit;
HWND g_reasonShownBy = nullptr;

// Turns a quit met while busy into a message that does nothing, and keeps
// its exit code for the end of the busy state.
LRESULT CALLBACK HoldQuitWhileBusy(int code, WPARAM removing, LPARAM lp) {
    auto* msg = reinterpret_cast<MSG*>(lp);
    if (code == HC_ACTION && removing == PM_REMOVE && msg->message == WM_QUIT && g_busy) {
        if (!g_heldQuit) g_heldQuit = static_cast<int>(msg->wParam);
        msg->message = WM_NULL;
    }
    return CallNextHookEx(nullptr, code, removing, lp);
}

std::unique_ptr<Espera>& WaitWindow() {
    static std::unique_ptr<Espera> w;
    return w;
}

template <class F>
F User32(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// Keeps the thread's other visible windows from input for one scope;
// `keep` stays enabled.
class OtherWindowsDisabled {
public:
    explicit OtherWindowsDisabled(HWND keep) : keep_(keep) {
        EnumThreadWindows(GetCurrentThreadId(), DisableOne, reinterpret_cast<LPARAM>(this));
    }
    ~OtherWindowsDisabled() { Restore(); }
    OtherWindowsDisabled(const OtherWindowsDisabled&) = delete;
    OtherWindowsDisabled& operator=(const OtherWindowsDisabled&) = delete;

    void Restore() {
        for (HWND h : std::exchange(disabled_, {}))
            if (IsWindow(h)) EnableWindow(h, TRUE);
    }

private:
    static BOOL CALLBACK DisableOne(HWND hwnd, LPARAM lp) {
        auto* self = reinterpret_cast<OtherWindowsDisabled*>(lp);
        if (hwnd != self->keep_ && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
            EnableWindow(hwnd, FALSE);
            self->disabled_.push_back(hwnd);
        }
        return TRUE;
    }

    HWND keep_;
    std::vector<HWND> disabled_;
};

// Where the keyboard focus is in `window`, to be given back once the
// window is active again. Taken before anything disables the window, which
// takes the focus away.
class KeptFocus {
public:
    explicit KeptFocus(HWND window) : window_(window), focus_(GetFocus()) {
        if (focus_ && GetAncestor(focus_, GA_ROOT) != window_) focus_ = nullptr;
    }

    void GiveBack() const {
        if (!window_ || !IsWindow(window_) || !IsWindowVisible(window_)) return;
        if (GetActiveWindow() != window_) SetActiveWindow(window_);
        HWND focus = focus_;
        if (!focus || !IsWindow(focus)) return;
        // A command disabled meanwhile hands the focus on, as the tab key would.
        if (!IsWindowEnabled(focus)) focus = GetNextDlgTabItem(window_, focus, FALSE);
        if (focus && IsWindowEnabled(focus) && GetFocus() != focus) SetFocus(focus);
    }

private:
    HWND window_;
    HWND focus_;
};

// The updater window the user works with at this moment: the wait window
// while it is up (the start-up cover, or an update run), else the main
// window once it shows. Null while no window of the updater shows.
HWND WindowInFront() {
    const auto& w = WaitWindow();
    if (w && w->Alive() && IsWindowVisible(w->Hwnd())) return w->Hwnd();
    HWND main = App().mainWindow;
    return main && IsWindowVisible(main) ? main : nullptr;
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

BusyScope::BusyScope(Busy reason) : outer_(g_busy) {
    g_busy = reason;
    if (!outer_) UpdateShutdownReason();
}

BusyScope::~BusyScope() {
    g_busy = outer_;
    if (g_busy) return;
    UpdateShutdownReason();
    if (g_heldQuit) PostQuitMessage(*std::exchange(g_heldQuit, std::nullopt));
}

bool IsBusy() { return g_busy.has_value(); }
std::optional<Busy> BusyReason() { return g_busy; }

QuitHold::QuitHold() : hook_(SetWindowsHookExW(WH_GETMESSAGE, HoldQuitWhileBusy, nullptr, GetCurrentThreadId())) {}

void UpdateShutdownReason() {
    HWND wanted = g_busy ? App().mainWindow : nullptr;
    if (wanted == g_reasonShownBy) return;
    if (g_reasonShownBy && IsWindow(g_reasonShownBy)) ShutdownBlockReasonDestroy(g_reasonShownBy);
    // Destroyed later even where creating it failed: that costs nothing,
    // and a failure that was no failure cannot leave a stale reason behind.
    if (wanted) ShutdownBlockReasonCreate(wanted, kShutdownReason);
    g_reasonShownBy = wanted;
}

void AwakeWhileWriting::Arm() {
    if (armed_) return;
    armed_ = true;
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
}

AwakeWhileWriting::~AwakeWhileWriting() {
    if (armed_) SetThreadExecutionState(ES_CONTINUOUS);
}

void DoEvents() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Met while nothing is busy: it belongs to the outermost loop.
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
    w->Unload();  // lets the waiting events through once, as every unload does
    w.reset();
}

void ActivateWaitWindow() {
    const auto& w = WaitWindow();
    if (!w || !w->Alive()) return;
    SetForegroundWindow(GetLastActivePopup(w->Hwnd()));
}

void ShowWaitWindow(bool modal, std::uint8_t device, std::optional<float> left, std::optional<float> top,
                    bool updating) {
    Shared& app = App();
    core::FillWaitRequest(app.waitRequest, device, left, top, updating);
    auto& w = WaitWindow();
    if (!modal) {
        if (!w || !w->Alive()) w = Espera::Create();
        if (w->Alive()) w->Show();
        else w.reset();
        return;
    }

    // The wait window's load lets waiting events through: by then the
    // busy state must be up and every other window of the updater out of
    // reach, or a click queued on the other command would start a second
    // update over this one's request. Raised before the windows are
    // disabled, since disabling the main window may already reach its
    // activation handler, which reads it.
    const BusyScope busy(Busy::Updating);
    const KeptFocus caller(GetActiveWindow());
    OtherWindowsDisabled others(nullptr);
    bool restored = false;
    // Before the wait window goes, so that the activation returns to the
    // caller rather than to another program.
    auto restore = [&] {
        if (restored) return;
        restored = true;
        others.Restore();
        caller.GiveBack();
    };
    if (!w || !w->Alive()) w = Espera::Create();
    if (w->Alive()) {
        w->SetBeforeClose(restore);
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
        if (w) {
            w->SetBeforeClose(nullptr);
            w->Unload();
        }
    }
    restore();
    w.reset();
}

int BoxMessages::Show(const std::wstring& text, unsigned style) {
    HWND owner = WindowInFront();
    // With nothing of the updater showing, the box stands on its own and
    // keeps every window of this thread from input.
    if (!owner) return MessageBoxW(nullptr, text.c_str(), kAppTitle, style | MB_TASKMODAL);
    // Owned: the system enables the owner again before the box goes, so the
    // activation returns to it and not to whatever program is behind. The
    // updater's other windows stay out of reach meanwhile.
    const KeptFocus kept(owner);
    OtherWindowsDisabled others(owner);
    const int answer = MessageBoxW(owner, text.c_str(), kAppTitle, style | MB_APPLMODAL);
    others.Restore();
    kept.GiveBack();
    return answer;
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
