#include "Espera.h"

#include <algorithm>
#include <utility>

#include "ControlIds.h"
#include "ModTrans.h"

namespace renovo {
namespace {

// Layout in twips, from the top-left corner of the client area.
constexpr int kClientW = 1860, kClientH = 1650;
constexpr int kShape1W = 1845, kShape1H = 1635;
constexpr int kDotBoxW = 195, kDotBoxH = 285;
constexpr int kDotLeft[core::kDotCount] = {810, 1080, 1260, 1320, 1260, 1080, 810, 540, 360, 300, 360, 540};
constexpr int kDotTop[core::kDotCount] = {60, 120, 330, 555, 780, 990, 1050, 990, 780, 555, 330, 120};
constexpr int kInfoTop = 1350, kInfoW = 1035, kInfoH = 240;
constexpr double kInfoCentre = 922.5;
constexpr int kTextLeft = 2970, kTextTop = 420, kTextW = 225, kTextH = 285;
constexpr int kCornerPx = 26;  // at 96 dpi
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kTimerMs = 100;

void RegisterOnce(HINSTANCE inst) {
    static bool done = false;
    if (done) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;  // replaced per window in Create
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32514));  // IDC_WAIT
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = RENOVO_CLASS_ESPERA;
    done = RegisterClassExW(&wc) != 0;
}

}  // namespace

std::unique_ptr<Espera> Espera::Create() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    RegisterOnce(inst);
    auto w = std::make_unique<Espera>(Token{});
    // Not in the taskbar: the window only ever covers work of the main window.
    w->hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW, RENOVO_CLASS_ESPERA, L"", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                               Px(kClientW, 96), Px(kClientH, 96), nullptr, nullptr, inst, nullptr);
    if (!w->hwnd_) return w;
    SetWindowLongPtrW(w->hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w.get()));
    SetWindowLongPtrW(w->hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Espera::Proc));
    w->dpi_ = WindowDpi(w->hwnd_);
    w->white_.reset(CreateSolidBrush(RGB(255, 255, 255)));
    // TxtActualiza first: it is the only control that takes the focus.
    w->text_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                               0, 0, 1, 1, w->hwnd_, reinterpret_cast<HMENU>(IDC_TXTACTUALIZA), inst, nullptr);
    w->info_ = CreateWindowExW(0, L"STATIC", core::kTextUpdating, WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX,
                               0, 0, 1, 1, w->hwnd_, reinterpret_cast<HMENU>(IDC_LBLINFO), inst, nullptr);
    w->infoText_ = core::kTextUpdating;
    w->Layout();
    w->Load();
    return w;
}

Espera::~Espera() {
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

void Espera::Load() {
    SetInfo(core::WaitCaption(App().waitRequest));
    RoundFormCorners(hwnd_, MulDiv(kCornerPx, dpi_, 96));
    Place();
    DoEvents();
    if (!hwnd_) return;
    timerOn_ = SetTimer(hwnd_, kTimer1, kTimerMs, nullptr) != 0;
}

void Espera::Layout() {
    labelFont_ = CreateLabelFont(dpi_);
    SetWindowPos(hwnd_, nullptr, 0, 0, Px(kClientW, dpi_), Px(kClientH, dpi_),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(info_, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_.get()), FALSE);
    SendMessageW(text_, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_.get()), FALSE);
    MoveWindow(text_, Px(kTextLeft, dpi_), Px(kTextTop, dpi_), Px(kTextW, dpi_), Px(kTextH, dpi_), FALSE);
    FitInfo();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void Espera::Place() {
    const int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
    const core::Position p = core::WaitWindowPosition(App().waitRequest, Twips(screenW, dpi_), Twips(screenH, dpi_),
                                                      kClientW, kClientH);
    SetWindowPos(hwnd_, nullptr, Px(p.left, dpi_), Px(p.top, dpi_), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Espera::FitInfo() {
    // The label grows to its text (the font the system substitutes may be
    // wider than the one the layout was drawn with) and stays centred under
    // the ring.
    const SIZE text = TextSize(labelFont_.get(), infoText_);
    const int clientW = Px(kClientW, dpi_);
    const int w = std::min(clientW, std::max<int>(Px(kInfoW, dpi_), text.cx + 4));
    const int h = std::max<int>(Px(kInfoH, dpi_), text.cy);
    const int centre = Px(kInfoCentre, dpi_);
    const int left = std::clamp(centre - w / 2, 0, clientW - w);
    RECT old{};
    GetWindowRect(info_, &old);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&old), 2);
    MoveWindow(info_, left, Px(kInfoTop, dpi_), w, h, TRUE);
    InvalidateRect(hwnd_, &old, TRUE);
}

void Espera::SetInfo(const std::wstring& text) {
    infoText_ = text;
    if (!hwnd_) return;
    SetWindowTextW(info_, text.c_str());
    FitInfo();
    UpdateWindow(hwnd_);
}

void Espera::BeforeWrite() { awake_.emplace().Arm(); }

void Espera::Show() {
    if (!hwnd_) return;
    // SetWindowPos rather than ShowWindow: the first ShowWindow of a process
    // may take the starter's show state (the launcher asks for maximised).
    SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(hwnd_);
    // Paint now rather than when this thread next waits for events: the
    // start-up's first component call follows at once.
    UpdateWindow(hwnd_);
    if (hwnd_ && GetFocus() != text_) SetFocus(text_);
}

void Espera::Unload() {
    if (!hwnd_ || unloading_) return;
    unloading_ = true;
    // Form_Unload lets the waiting events through once; a tick among them
    // must not start a second unload.
    DoEvents();
    if (!hwnd_) return;
    if (timerOn_) KillTimer(hwnd_, kTimer1);
    timerOn_ = false;
    if (beforeClose_) std::exchange(beforeClose_, nullptr)();
    DestroyWindow(hwnd_);
}

RECT Espera::DotRect(int i) const {
    const int boxL = Px(kDotLeft[i], dpi_), boxT = Px(kDotTop[i], dpi_);
    const int boxW = Px(kDotBoxW, dpi_), boxH = Px(kDotBoxH, dpi_);
    const int d = std::min(boxW, boxH);
    const int l = boxL + (boxW - d) / 2, t = boxT + (boxH - d) / 2;
    return RECT{l, t, l + d, t + d};
}

void Espera::Paint(HDC dc) {
    const int penW = std::max(1, MulDiv(1, dpi_, 96));
    win::PenPtr pen(CreatePen(PS_SOLID, penW, GetSysColor(COLOR_WINDOWTEXT)));
    win::Selected selPen(dc, pen.get());
    {
        win::Selected hollow(dc, GetStockObject(NULL_BRUSH));
        const int corner = MulDiv(kCornerPx, dpi_, 96);
        RoundRect(dc, 0, 0, Px(kShape1W, dpi_), Px(kShape1H, dpi_), corner, corner);
    }
    for (int i = 0; i < core::kDotCount; ++i) {
        win::BrushPtr fill(CreateSolidBrush(fills_[static_cast<size_t>(i)]));
        win::Selected selFill(dc, fill.get());
        const RECT r = DotRect(i);
        Ellipse(dc, r.left, r.top, r.right, r.bottom);
    }
}

void Espera::Tick() {
    for (const core::DotFill& d : core::SpinnerTick(spinnerStep_)) {
        fills_[static_cast<size_t>(d.index)] = d.colour;
        RECT r = DotRect(d.index);
        InflateRect(&r, 1, 1);
        InvalidateRect(hwnd_, &r, FALSE);
    }
    if (flags_.updateFinished) Unload();
}

LRESULT CALLBACK Espera::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Espera*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    return self->Handle(msg, wp, lp);
}

LRESULT Espera::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        Paint(dc);
        EndPaint(hwnd_, &ps);
        return 0;
    }
    case WM_TIMER:
        if (wp == kTimer1) Tick();
        return 0;
    case WM_ACTIVATE:
        // Whenever the window comes back (a message box over it closed), the
        // hidden text box takes the focus again; the run itself turns the
        // repeated focus away.
        if (LOWORD(wp) != WA_INACTIVE) SetFocus(text_);
        return 0;
    case WM_SETFOCUS:
        SetFocus(text_);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_TXTACTUALIZA && HIWORD(wp) == EN_SETFOCUS) {
            Shared& app = App();
            if (!app.mainView) return 0;
            BoxMessages ui;
            PumpClock clock;
            core::RunUpdate(app.session, app.updaterFolder, app.waitRequest, flags_, *app.mainView, *this, ui,
                            clock, app.mainState);
            // The run's report has been answered.
            awake_.reset();
        }
        return 0;
    case WM_CTLCOLORSTATIC:
        SetTextColor(reinterpret_cast<HDC>(wp), RGB(0, 0, 0));
        SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
        return reinterpret_cast<LRESULT>(white_.get());
    case WM_CLOSE:
        return 0;  // the user cannot close it; the run or the main window does
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE) return 0;
        break;
    case WM_DPICHANGED: {
        dpi_ = AcceptDpiChange(hwnd_, wp, lp);
        Layout();
        RoundFormCorners(hwnd_, MulDiv(kCornerPx, dpi_, 96));
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace renovo
