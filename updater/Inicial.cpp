#include "Inicial.h"

#include <wincodec.h>

#include <algorithm>
#include <utility>

#include "ComSupport.h"
#include "ControlIds.h"

namespace renovo {
namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
constexpr int kClientW = 7335, kClientH = 4035;
constexpr COLORREF kBackground = RGB(48, 48, 48);
constexpr COLORREF kLightGreen = RGB(192, 255, 192);
constexpr UINT kMsgActivateWaitWindow = WM_APP + 1;

enum class Align { Left, Centre, Right };

struct Place {
    int id;
    int left, top, width, height;  // twips
};

struct Label {
    Place at;
    const wchar_t* text;
    Align align;
};

// Creation order is the tab order: Command1, Label2, Label4(2), Label4(0),
// List1, Label4(1), List2, Label4(3), Command2; the picture and the rule
// take no part in it.
constexpr Place kCommand1{IDC_COMMAND1, 2970, 1590, 1335, 1035};
constexpr Place kCommand2{IDC_COMMAND2, 2970, 2670, 1335, 1035};
constexpr Place kList1{IDC_LIST1, 240, 1560, 2715, 2175};
constexpr Place kList2{IDC_LIST2, 4320, 1560, 2775, 2175};
constexpr Place kImage2{IDC_IMAGE2, 120, 120, 2250, 750};
constexpr int kLineLeft = 2400, kLineRight = 7140, kLineY = 660;
const Label kLabel2{{IDC_LABEL2, 2280, 180, 120, 240}, L"\u00AE", Align::Centre};
const Label kLabel4[4] = {
    {{IDC_LABEL4_0, 240, 1260, 2340, 240}, L"Current versions in device:", Align::Left},
    {{IDC_LABEL4_1, 4320, 1260, 2490, 240}, L"Available version to update:", Align::Left},
    {{IDC_LABEL4_2, 5640, 420, 1500, 240}, L"Firmware update", Align::Left},
    {{IDC_LABEL4_3, 6720, 720, 405, 240}, L"v 2.3", Align::Right},
};
constexpr const wchar_t* kCaption1 = L"Update coin recycler";
constexpr const wchar_t* kCaption2 = L"Update banknote unit";

// WIC is reached through COM only, so windowscodecs.dll loads at run time.
constexpr CLSID kClsidWicFactory = {0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
constexpr IID kIidWicFactory = {0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
constexpr GUID kFormat32bppBgr = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0e}};

// Decodes a JPEG resource into a DIB section of `w` x `h`, resampling
// smoothly when the picture has another size. Null when anything fails:
// the window then shows its plain background where the logo would be.
win::BitmapPtr LoadJpeg(int resourceId, int w, int h) {
    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(10) /*RT_RCDATA*/);
    HGLOBAL data = res ? LoadResource(nullptr, res) : nullptr;
    const void* bytes = data ? LockResource(data) : nullptr;
    const DWORD size = res ? SizeofResource(nullptr, res) : 0;
    if (!bytes || !size) return nullptr;

    com::Ptr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(kClsidWicFactory, nullptr, CLSCTX_INPROC_SERVER, kIidWicFactory,
                                reinterpret_cast<void**>(factory.Put()))))
        return nullptr;
    com::Ptr<IWICStream> stream;
    com::Ptr<IWICBitmapDecoder> decoder;
    com::Ptr<IWICBitmapFrameDecode> frame;
    if (FAILED(factory->CreateStream(stream.Put())) ||
        FAILED(stream->InitializeFromMemory(static_cast<BYTE*>(const_cast<void*>(bytes)), size)) ||
        FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                decoder.Put())) ||
        FAILED(decoder->GetFrame(0, frame.Put())))
        return nullptr;

    UINT fw = 0, fh = 0;
    frame->GetSize(&fw, &fh);
    com::Ptr<IWICBitmapSource> source;
    frame->QueryInterface(IID_IWICBitmapSource, reinterpret_cast<void**>(source.Put()));
    if (static_cast<int>(fw) != w || static_cast<int>(fh) != h) {
        com::Ptr<IWICBitmapScaler> scaler;
        if (FAILED(factory->CreateBitmapScaler(scaler.Put())) ||
            FAILED(scaler->Initialize(source.Get(), static_cast<UINT>(w), static_cast<UINT>(h),
                                      WICBitmapInterpolationModeFant)))
            return nullptr;
        source = com::Ptr<IWICBitmapSource>();
        scaler->QueryInterface(IID_IWICBitmapSource, reinterpret_cast<void**>(source.Put()));
    }
    com::Ptr<IWICFormatConverter> converter;
    if (!source || FAILED(factory->CreateFormatConverter(converter.Put())) ||
        FAILED(converter->Initialize(source.Get(), kFormat32bppBgr, WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)))
        return nullptr;

    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;  // top-down, as WIC delivers the rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    win::BitmapPtr bmp(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bmp || !bits) return nullptr;
    const UINT stride = static_cast<UINT>(w) * 4;
    if (FAILED(converter->CopyPixels(nullptr, stride, stride * static_cast<UINT>(h), static_cast<BYTE*>(bits))))
        return nullptr;
    return bmp;
}

void Move(HWND child, int x, int y, int w, int h) { MoveWindow(child, x, y, w, h, FALSE); }

}  // namespace

Inicial::~Inicial() {
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

bool Inicial::Create() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    background_.reset(CreateSolidBrush(kBackground));
    white_.reset(CreateSolidBrush(RGB(255, 255, 255)));
    lightGreen_.reset(CreateSolidBrush(kLightGreen));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Inicial::Proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = background_.get();
    wc.lpszClassName = RENOVO_CLASS_INICIAL;
    RegisterClassExW(&wc);

    hwnd_ = CreateWindowExW(kExStyle, RENOVO_CLASS_INICIAL, RENOVO_TITLE_INICIAL, kStyle, 0, 0, 100, 100, nullptr,
                            nullptr, inst, this);
    if (!hwnd_) return false;
    App().mainWindow = hwnd_;
    UpdateShutdownReason();
    dpi_ = WindowDpi(hwnd_);

    auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex = 0) {
        CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 1, 1, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    };
    auto label = [&](const Label& l) {
        const DWORD align = l.align == Align::Left ? SS_LEFT : l.align == Align::Right ? SS_RIGHT : SS_CENTER;
        make(L"STATIC", l.text, align | SS_NOPREFIX | WS_CLIPSIBLINGS, l.at.id);
    };
    constexpr DWORD kList = WS_TABSTOP | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY;
    make(L"BUTTON", kCaption1, WS_TABSTOP | BS_OWNERDRAW, IDC_COMMAND1);
    label(kLabel2);
    label(kLabel4[2]);
    label(kLabel4[0]);
    make(L"LISTBOX", L"", kList, IDC_LIST1, WS_EX_CLIENTEDGE);
    label(kLabel4[1]);
    make(L"LISTBOX", L"", kList, IDC_LIST2, WS_EX_CLIENTEDGE);
    label(kLabel4[3]);
    make(L"BUTTON", kCaption2, WS_TABSTOP | BS_OWNERDRAW, IDC_COMMAND2);
    make(L"STATIC", L"", SS_OWNERDRAW | WS_CLIPSIBLINGS, IDC_IMAGE2);
    make(L"STATIC", L"", 0, IDC_LINE1);

    Layout();
    return true;
}

void Inicial::LoadPictures() {
    logoSize_ = SIZE{Px(kImage2.width, dpi_), Px(kImage2.height, dpi_)};
    // The variant drawn for this DPI, or the next larger one scaled down.
    const int id = logoSize_.cx <= 150 ? IDR_LOGO_100 : logoSize_.cx <= 225 ? IDR_LOGO_150 : IDR_LOGO_200;
    logo_ = LoadJpeg(id, logoSize_.cx, logoSize_.cy);

    HINSTANCE inst = GetModuleHandleW(nullptr);
    buttonIconSize_ = MulDiv(32, dpi_, 96);
    buttonIcon_.reset(static_cast<HICON>(
        LoadImageW(inst, MAKEINTRESOURCEW(IDI_BUTTON), IMAGE_ICON, buttonIconSize_, buttonIconSize_, 0)));
    const int big = MulDiv(32, dpi_, 96), small = MulDiv(16, dpi_, 96);
    bigIcon_.reset(static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON, big, big, 0)));
    smallIcon_.reset(
        static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON, small, small, 0)));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
}

void Inicial::Layout() {
    labelFont_ = CreateLabelFont(dpi_);
    guiFont_ = CreateGuiFont(dpi_);
    LoadPictures();

    const SIZE outer = OuterSize(Px(kClientW, dpi_), Px(kClientH, dpi_), kStyle, kExStyle, dpi_);
    SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const int clientW = Px(kClientW, dpi_);

    auto at = [&](const Place& p) {
        Move(Item(p.id), Px(p.left, dpi_), Px(p.top, dpi_), Px(p.width, dpi_), Px(p.height, dpi_));
    };
    for (const Place* p : {&kCommand1, &kCommand2, &kList1, &kList2}) {
        at(*p);
        SendMessageW(Item(p->id), WM_SETFONT, reinterpret_cast<WPARAM>(guiFont_.get()), FALSE);
    }
    Move(Item(IDC_IMAGE2), Px(kImage2.left, dpi_), Px(kImage2.top, dpi_), logoSize_.cx, logoSize_.cy);
    const int lineH = std::max(1, MulDiv(1, dpi_, 96));
    Move(Item(IDC_LINE1), Px(kLineLeft, dpi_), Px(kLineY, dpi_), Px(kLineRight, dpi_) - Px(kLineLeft, dpi_), lineH);

    // A label keeps its place and size unless the font the system gives for
    // "MS Sans Serif" needs more room; then it grows away from its aligned
    // edge, never beyond the client area.
    for (const Label* l : {&kLabel2, &kLabel4[0], &kLabel4[1], &kLabel4[2], &kLabel4[3]}) {
        HWND h = Item(l->at.id);
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_.get()), FALSE);
        const SIZE text = TextSize(labelFont_.get(), l->text);
        const int x = Px(l->at.left, dpi_), right = Px(l->at.left + l->at.width, dpi_);
        const int w = std::min(clientW, std::max<int>(right - x, text.cx + 1));
        const int h2 = std::max<int>(Px(l->at.height, dpi_), text.cy);
        int left = l->align == Align::Left ? x : l->align == Align::Right ? right - w : (x + right - w) / 2;
        left = std::clamp(left, 0, clientW - w);
        Move(h, left, Px(l->at.top, dpi_), w, h2);
    }
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void Inicial::Load() {
    CenterForm(hwnd_);
    BoxMessages ui;
    DiskFiles files;
    Shared& app = App();
    core::LoadMainWindow(app.session, app.updaterFolder, *this, files, ui, app.mainState);
}

void Inicial::Show() {
    // SetWindowPos, not ShowWindow: the launcher starts the updater with the
    // show state "maximised", which the system would apply to the first
    // ShowWindow of the process; the window keeps its fixed size.
    SetWindowPos(hwnd_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    SetForegroundWindow(hwnd_);
    FocusFirst();
}

void Inicial::FocusFirst() {
    for (int id : {IDC_COMMAND1, IDC_LIST1, IDC_LIST2, IDC_COMMAND2}) {
        HWND h = Item(id);
        if (IsWindowEnabled(h)) {
            SetFocus(h);
            return;
        }
    }
}

void Inicial::RestoreFocus() {
    if (!lastFocus_ || !IsChild(hwnd_, lastFocus_)) {
        FocusFirst();
        return;
    }
    HWND h = IsWindowEnabled(lastFocus_) ? lastFocus_ : GetNextDlgTabItem(hwnd_, lastFocus_, FALSE);
    if (h && IsWindowEnabled(h)) SetFocus(h);
    else FocusFirst();
}

void Inicial::AddList1(const std::wstring& line) {
    SendMessageW(Item(IDC_LIST1), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

void Inicial::AddList2(const std::wstring& line) {
    SendMessageW(Item(IDC_LIST2), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

void Inicial::ClearList1() { SendMessageW(Item(IDC_LIST1), LB_RESETCONTENT, 0, 0); }

namespace {
std::wstring ListLine(HWND list, int index) {
    const LRESULT n = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (n == LB_ERR || n < 0) return {};
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(s.data()));
    s.resize(got == LB_ERR || got < 0 ? 0 : static_cast<size_t>(got));
    return s;
}
}  // namespace

std::wstring Inicial::List1Line(int index) const { return ListLine(Item(IDC_LIST1), index); }
std::wstring Inicial::List2Line(int index) const { return ListLine(Item(IDC_LIST2), index); }

void Inicial::SetCommandEnabled(int command, bool enabled) {
    HWND h = Item(command == 1 ? IDC_COMMAND1 : IDC_COMMAND2);
    // Disabling the focused control would leave the keys going nowhere: the
    // focus moves on to the next control first, as Tab would take it
    // (WM_NEXTDLGCTL does this for dialogs only).
    HWND next = !enabled && GetFocus() == h ? GetNextDlgTabItem(hwnd_, h, FALSE) : nullptr;
    if (next && next != h) SetFocus(next);
    EnableWindow(h, enabled ? TRUE : FALSE);
}

void Inicial::DoEvents() { renovo::DoEvents(); }
void Inicial::UnloadWaitWindow() { renovo::UnloadWaitWindow(); }

void Inicial::Command(int which) {
    Shared& app = App();
    // One update at a time, from its first question on: a click that was
    // queued before a box or the wait window took over is turned away, and
    // so is one that reaches the window, hidden, during its load.
    if (IsBusy()) return;
    const BusyScope asking(Busy::Asking);
    // A disabled command stays disabled for clicks that arrive by message.
    if (!IsWindowEnabled(Item(which == 1 ? IDC_COMMAND1 : IDC_COMMAND2))) return;
    const std::uint8_t device = which == 1 ? core::kRecycler : core::kBanknote;
    BoxMessages ui;
    DiskFiles files;
    if (!core::ConfirmUpdateCommand(device, app.updaterFolder, *this, files, ui, app.mainState)) return;
    RECT r{};
    GetWindowRect(hwnd_, &r);
    const float left = static_cast<float>(Twips(r.left, dpi_));
    const float top = static_cast<float>(Twips(r.top, dpi_));
    ShowWaitWindow(true, device, left, top, true);
}

void Inicial::PressFocusedCommand() {
    // The buttons are owner-drawn, so the dialog manager does not take them
    // for push buttons and turns Enter into IDOK for the window.
    HWND focus = GetFocus();
    if (focus == Item(IDC_COMMAND1)) Command(1);
    else if (focus == Item(IDC_COMMAND2)) Command(2);
}

void Inicial::Unload() {
    // Form_Unload; the program ends with the window.
    const BusyScope closing(Busy::Closing);
    EnableWindow(Item(IDC_COMMAND1), FALSE);
    core::ShutDown(App().session);
    DestroyWindow(hwnd_);
}

void Inicial::Close() {
    if (hwnd_ && !IsBusy()) Unload();
}

void Inicial::DrawLogo(const DRAWITEMSTRUCT& di) {
    if (!logo_) {
        FillRect(di.hDC, &di.rcItem, background_.get());
        return;
    }
    win::MemoryDcPtr mem(CreateCompatibleDC(di.hDC));
    if (!mem) return;
    win::Selected sel(mem.get(), logo_.get());
    BitBlt(di.hDC, 0, 0, logoSize_.cx, logoSize_.cy, mem.get(), 0, 0, SRCCOPY);
}

void Inicial::DrawButton(const DRAWITEMSTRUCT& di) {
    HDC dc = di.hDC;
    RECT r = di.rcItem;
    const bool pushed = (di.itemState & ODS_SELECTED) != 0;
    const bool disabled = (di.itemState & ODS_DISABLED) != 0;
    DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    const int shift = pushed ? 1 : 0;

    // The picture centred above the caption; a caption too wide for the
    // button breaks between words onto a further line.
    wchar_t caption[64] = {};
    GetWindowTextW(di.hwndItem, caption, 64);
    win::Selected font(dc, guiFont_.get());
    const int margin = MulDiv(4, dpi_, 96), gap = MulDiv(2, dpi_, 96);
    RECT text{r.left + margin, 0, r.right - margin, 0};
    DrawTextW(dc, caption, -1, &text, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
    const int textH = text.bottom - text.top;
    const int total = buttonIconSize_ + gap + textH;
    const int top = r.top + std::max<int>(0, (r.bottom - r.top - total) / 2);
    const int iconX = r.left + (r.right - r.left - buttonIconSize_) / 2;
    if (buttonIcon_) {
        if (disabled)
            DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(buttonIcon_.get()), 0, iconX + shift,
                       top + shift, buttonIconSize_, buttonIconSize_, DST_ICON | DSS_DISABLED);
        else
            DrawIconEx(dc, iconX + shift, top + shift, buttonIcon_.get(), buttonIconSize_, buttonIconSize_, 0,
                       nullptr, DI_NORMAL);
    }
    RECT place{r.left + margin + shift, top + buttonIconSize_ + gap + shift, r.right - margin + shift,
               r.bottom - 2};
    SetBkMode(dc, TRANSPARENT);
    if (disabled) {
        // Engraved like a disabled system button.
        SetTextColor(dc, GetSysColor(COLOR_3DHILIGHT));
        RECT lit = place;
        OffsetRect(&lit, 1, 1);
        DrawTextW(dc, caption, -1, &lit, DT_CENTER | DT_WORDBREAK);
        SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    } else {
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    }
    DrawTextW(dc, caption, -1, &place, DT_CENTER | DT_WORDBREAK);
    if ((di.itemState & ODS_FOCUS) && !(di.itemState & ODS_NOFOCUSRECT)) {
        RECT f = r;
        InflateRect(&f, -3, -3);
        DrawFocusRect(dc, &f);
    }
}

LRESULT CALLBACK Inicial::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<Inicial*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<Inicial*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        if (App().mainWindow == hwnd) App().mainWindow = nullptr;
        UpdateShutdownReason();
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    return self->Handle(msg, wp, lp);
}

LRESULT Inicial::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED && (LOWORD(wp) == IDC_COMMAND1 || LOWORD(wp) == IDC_COMMAND2))
            Command(LOWORD(wp) == IDC_COMMAND1 ? 1 : 2);
        else if (LOWORD(wp) == IDOK && lp == 0)
            PressFocusedCommand();
        return 0;
    case WM_DRAWITEM: {
        const auto& di = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        if (di.CtlID == IDC_IMAGE2) DrawLogo(di);
        else DrawButton(di);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wp);
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == IDC_LINE1) return reinterpret_cast<LRESULT>(white_.get());
        // The window shows through: same colour as the form behind the text.
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(background_.get());
    }
    case WM_CTLCOLORLISTBOX: {
        HDC dc = reinterpret_cast<HDC>(wp);
        const bool green = GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == IDC_LIST2;
        SetTextColor(dc, RGB(0, 0, 0));
        SetBkColor(dc, green ? kLightGreen : RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(green ? lightGreen_.get() : white_.get());
    }
    case WM_ACTIVATE:
        if (LOWORD(wp) == WA_INACTIVE) {
            // Disabling the window under a box has taken the focus away
            // already; the last control known keeps its claim.
            if (HWND f = GetFocus(); f && IsChild(hwnd_, f)) lastFocus_ = f;
        } else if (BusyReason() == Busy::Updating && !IsWindowEnabled(hwnd_)) {
            // Brought to the front during an update (the taskbar, Alt+Tab),
            // the disabled window would cover the spinner and take no input:
            // the wait window has no owner to keep it above. Posted: done
            // inside this activation, its end would raise this window again.
            PostMessageW(hwnd_, kMsgActivateWaitWindow, 0, 0);
        } else {
            RestoreFocus();
        }
        return 0;
    case kMsgActivateWaitWindow:
        // Enabled again, the wait window is on its way out and has handed
        // the activation back here already.
        if (BusyReason() == Busy::Updating && !IsWindowEnabled(hwnd_)) ActivateWaitWindow();
        return 0;
    case WM_CLOSE:
        // While busy: the boxes and the modal wait window of an update keep
        // the main window open, and so do its load and Terminate, so that no
        // component call starts inside another or after Terminate.
        Close();
        return 0;
    case WM_QUERYENDSESSION:
        // The end of the session ends the process, and with it a firmware
        // write that runs inside it.
        return IsBusy() ? FALSE : TRUE;
    case WM_ENDSESSION:
        // The process ends after this; the component is told first, as a
        // close tells it.
        if (wp) Close();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_DPICHANGED: {
        dpi_ = AcceptDpiChange(hwnd_, wp, lp);
        Layout();
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace renovo
