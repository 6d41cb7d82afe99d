// winprobe: looks at and drives top-level windows for the end-to-end tests.
//
// It runs inside the same wineserver as the program under test, reads one
// command per line on stdin (fields separated by TAB, UTF-8) and answers each
// with exactly one JSON line on stdout. Window handles travel as decimal
// numbers. Every answer carries "ok"; a failed command answers
// {"ok":false,"error":"..."} and the probe keeps running.
//
// Commands:
//   ping
//   screen                                  size of the screen, system DPI
//   start  EXE  CWD  SHOW  [NAME=VALUE ...] start a process (SHOW: normal|max|min)
//   wait   PID  MS                          wait for a started process to end
//   kill   PID                              terminate a started process
//   windows PID CLASS TITLE                 top-level windows (with their thread); empty field = any
//   msgbox CAPTION [PID]                    visible message boxes with that caption
//   press  HWND ID [HWND ID ...]            post WM_COMMAND(ID, BN_CLICKED) to HWND; several
//                                           pairs are posted at once, in order
//   click  HWND ID                          post BM_CLICK to control ID of HWND
//   control HWND ID                         text, state and screen rect of a control
//   listbox HWND ID                         the lines of a list box
//   children HWND                           child windows in z-order (the tab order)
//   drawn  HWND ID FACE HEIGHT RRGGBB       pixels of a label's text on the screen that
//                                           differ from the same text drawn here in that
//                                           font (LOGFONT height, regular) and colour,
//                                           whether the text fits the label on one line,
//                                           and the face the system gave for FACE
//   icongroup FILE ID                       the images of an icon group resource
//   pixels X,Y [X,Y ...]                    screen colours as [r,g,b]
//   focus  HWND                             focus/active window of HWND's thread
//   foreground                              the foreground window (any process)
//   keys   KEY [KEY ...]                    typed on the keyboard: TAB, ENTER, SPACE, ESC,
//                                           LEFT, RIGHT, UP, DOWN, a letter or digit;
//                                           "shift+KEY" holds Shift
//   close  HWND                             post WM_CLOSE
//   sysclose HWND                           post WM_SYSCOMMAND SC_CLOSE
//   altf4  HWND                             post Alt+F4 as the keyboard would
//   postquit HWND [CODE]                    post WM_QUIT to the thread of HWND, as a
//                                           PostQuitMessage on that thread would
//   move   HWND X Y                         move a window (e.g. a box off another)
//   raise  HWND                             bring a window to the front and activate it,
//                                           as a click on its taskbar button does
//   mutex  NAME                             open an existing named mutex and keep it open
//                                           (it then outlives an owner that is killed)
//   unmutex NAME                            let go of it again
//   tryopen PATH [WHEN]                     try to open PATH for writing and for deleting,
//                                           as another program would, once file WHEN
//                                           exists; the errors (0 = opened) and whether a
//                                           process of PATH's file name ran just after
//   quit

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Win32Handles.h"

namespace {

// Processes started by this probe, by id, so that they can be waited for
// and ended even when their windows are gone.
std::map<DWORD, win::Handle> g_processes;

// ---- JSON output ----------------------------------------------------------

std::string Quote(const std::wstring& s) {
    std::string out = "\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

std::string Num(long long v) { return std::to_string(v); }
std::string Bool(bool b) { return b ? "true" : "false"; }
std::string Hwnd(HWND h) { return Num(static_cast<long long>(reinterpret_cast<UINT_PTR>(h))); }

std::string Rect(const RECT& r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return buf;
}

std::string Error(const std::string& what) { return "{\"ok\":false,\"error\":\"" + what + "\"}"; }

// ---- input ----------------------------------------------------------------

std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find(L'\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::wstring::npos) return fields;
        start = tab + 1;
    }
}

HWND ToHwnd(const std::wstring& s) {
    return reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoull(s.c_str(), nullptr, 10)));
}

int ToInt(const std::wstring& s) { return static_cast<int>(wcstol(s.c_str(), nullptr, 0)); }

// ---- window facts ---------------------------------------------------------

std::wstring TextOf(HWND h) {
    int n = GetWindowTextLengthW(h);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(h, s.data(), n + 1);
    s.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return s;
}

std::wstring ClassOf(HWND h) {
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

DWORD PidOf(HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    return pid;
}

std::string ClientRectOnScreen(HWND h) {
    RECT r{};
    GetClientRect(h, &r);
    POINT tl{r.left, r.top};
    POINT br{r.right, r.bottom};
    ClientToScreen(h, &tl);
    ClientToScreen(h, &br);
    return Rect(RECT{tl.x, tl.y, br.x, br.y});
}

// The region box says where the window is clipped; the corner probes tell a
// rounded outline from a plain rectangle one.
std::string RegionOf(HWND h) {
    win::RegionPtr rgn(CreateRectRgn(0, 0, 0, 0));
    int type = GetWindowRgn(h, rgn.get());
    if (type == ERROR || type == NULLREGION) return "null";
    RECT box{};
    GetWindowRgnBox(h, &box);
    bool corner = PtInRegion(rgn.get(), box.left, box.top);
    bool middle = PtInRegion(rgn.get(), (box.left + box.right) / 2, (box.top + box.bottom) / 2);
    return "{\"box\":" + Rect(box) + ",\"corner_in\":" + Bool(corner) + ",\"middle_in\":" +
           Bool(middle) + "}";
}

std::string DescribeWindow(HWND h) {
    RECT wr{};
    GetWindowRect(h, &wr);
    RECT cr{};
    GetClientRect(h, &cr);
    return "{\"hwnd\":" + Hwnd(h) + ",\"pid\":" + Num(PidOf(h)) +
           ",\"tid\":" + Num(GetWindowThreadProcessId(h, nullptr)) + ",\"class\":" + Quote(ClassOf(h)) +
           ",\"title\":" + Quote(TextOf(h)) + ",\"visible\":" + Bool(IsWindowVisible(h)) +
           ",\"enabled\":" + Bool(IsWindowEnabled(h)) + ",\"rect\":" + Rect(wr) +
           ",\"client\":" + Rect(cr) + ",\"client_screen\":" + ClientRectOnScreen(h) +
           ",\"style\":" + Num(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE))) +
           ",\"exstyle\":" + Num(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE))) +
           ",\"owner\":" + Hwnd(GetWindow(h, GW_OWNER)) + ",\"region\":" + RegionOf(h) + "}";
}

struct WindowFilter {
    DWORD pid = 0;
    std::wstring cls;
    std::wstring title;
    bool visibleOnly = false;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND h, LPARAM lp) {
    auto* f = reinterpret_cast<WindowFilter*>(lp);
    if (f->pid && PidOf(h) != f->pid) return TRUE;
    if (!f->cls.empty() && ClassOf(h) != f->cls) return TRUE;
    if (!f->title.empty() && TextOf(h) != f->title) return TRUE;
    if (f->visibleOnly && !IsWindowVisible(h)) return TRUE;
    f->found.push_back(h);
    return TRUE;
}

std::vector<HWND> FindWindows(WindowFilter filter) {
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&filter));
    return filter.found;
}

// ---- message boxes --------------------------------------------------------

// The icon static has a different id under Windows and Wine; its SS_ICON
// style is the same everywhere.
HWND IconStaticOf(HWND box) {
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        LONG style = GetWindowLongW(c, GWL_STYLE);
        if (ClassOf(c) == L"Static" && (style & SS_TYPEMASK) == SS_ICON) return c;
    }
    return nullptr;
}

// A 32-bit top-down DIB section selected into a memory DC, for reading back
// what was drawn into it as 0x00RRGGBB values, row by row.
class Canvas {
public:
    Canvas(HDC like, int w, int h) : mem_(CreateCompatibleDC(like)), w_(w), h_(h) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bmp_.reset(CreateDIBSection(like, &bi, DIB_RGB_COLORS, &bits_, nullptr, 0));
        if (bmp_) old_ = SelectObject(mem_.get(), bmp_.get());
    }
    ~Canvas() {
        if (old_) SelectObject(mem_.get(), old_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return bmp_ ? mem_.get() : nullptr; }

    std::vector<DWORD> Pixels() const {
        if (!bmp_) return {};
        GdiFlush();
        const auto* p = static_cast<const DWORD*>(bits_);
        std::vector<DWORD> px(p, p + w_ * h_);
        for (DWORD& v : px) v &= 0xFFFFFF;
        return px;
    }

private:
    win::MemoryDcPtr mem_;
    int w_, h_;
    void* bits_ = nullptr;
    win::BitmapPtr bmp_;
    HGDIOBJ old_ = nullptr;
};

std::vector<DWORD> Grab(HDC screen, const RECT& r) {
    int w = r.right - r.left, h = r.bottom - r.top;
    Canvas c(screen, w, h);
    if (!c.dc()) return {};
    BitBlt(c.dc(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    return c.Pixels();
}

// `icon` as it shows when drawn at w x h on a plain `background`.
std::vector<DWORD> Render(HDC screen, int w, int h, DWORD background, HICON icon) {
    Canvas c(screen, w, h);
    if (!c.dc()) return {};
    COLORREF bg = RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF);
    win::BrushPtr brush(CreateSolidBrush(bg));
    RECT all{0, 0, w, h};
    FillRect(c.dc(), &all, brush.get());
    DrawIconEx(c.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    return c.Pixels();
}

int Differences(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    int n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        int d = 0;
        for (int shift = 0; shift < 24; shift += 8)
            d = std::max(d, std::abs(static_cast<int>((a[i] >> shift) & 0xFF) - static_cast<int>((b[i] >> shift) & 0xFF)));
        if (d > 24) ++n;
    }
    return n;
}

// Icon handles are per process under Wine, so the box's icon cannot be
// compared by handle with our own LoadIcon. Instead each standard icon is
// drawn on the box's background colour (the static's corner, which no
// standard icon covers) and compared with what the screen shows. Drawing on
// a plain background rather than over the screen keeps the half-transparent
// rim and shadow out of the count: redrawn over themselves they would blend
// twice and change as many pixels as the glyph that tells "?" from "i".
// The JSON members "icon" (a name, or "other" when no icon matches clearly)
// and "icon_scores" (differing pixels per icon, for when it is "other").
std::string IconMembers(HWND box) {
    HWND st = IconStaticOf(box);
    if (!st || !SendMessageW(st, STM_GETICON, 0, 0)) return "\"icon\":\"none\"";
    RECT r{};
    GetWindowRect(st, &r);
    struct Known {
        LPCWSTR id;
        const char* name;
    };
    const Known known[] = {{IDI_HAND, "hand"},
                           {IDI_QUESTION, "question"},
                           {IDI_EXCLAMATION, "exclamation"},
                           {IDI_ASTERISK, "asterisk"}};
    win::ScreenDc sdc;
    std::vector<DWORD> shot = Grab(sdc.Get(), r);
    if (shot.empty()) return "\"icon\":\"unknown\"";
    const char* best = "other";
    int bestDiff = static_cast<int>(shot.size());
    int secondDiff = bestDiff;
    std::string scores;
    for (const Known& k : known) {
        int d = Differences(shot, Render(sdc.Get(), r.right - r.left, r.bottom - r.top, shot[0], LoadIconW(nullptr, k.id)));
        scores += std::string(",\"") + k.name + "\":" + Num(d);
        if (d < bestDiff) {
            secondDiff = bestDiff;
            bestDiff = d;
            best = k.name;
        } else if (d < secondDiff) {
            secondDiff = d;
        }
    }
    if (bestDiff * 5 > static_cast<int>(shot.size()) || bestDiff * 3 > secondDiff) best = "other";
    return std::string("\"icon\":\"") + best + "\",\"icon_scores\":{\"pixels\":" + Num(shot.size()) + scores + "}";
}

std::string ButtonsOf(HWND box) {
    const int ids[] = {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE};
    std::string out = "[";
    for (int id : ids) {
        HWND b = GetDlgItem(box, id);
        if (!b || !IsWindowVisible(b)) continue;
        if (out.size() > 1) out += ",";
        out += "{\"id\":" + Num(id) + ",\"text\":" + Quote(TextOf(b)) + ",\"enabled\":" +
               Bool(IsWindowEnabled(b)) + "}";
    }
    return out + "]";
}

std::string DescribeBox(HWND box) {
    LRESULT def = SendMessageW(box, DM_GETDEFID, 0, 0);
    int defId = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : 0;
    return "{\"hwnd\":" + Hwnd(box) + ",\"pid\":" + Num(PidOf(box)) + ",\"text\":" +
           Quote(TextOf(GetDlgItem(box, 0xFFFF))) + ",\"buttons\":" + ButtonsOf(box) +
           ",\"default\":" + Num(defId) + "," + IconMembers(box) +
           ",\"owner\":" + Hwnd(GetWindow(box, GW_OWNER)) + ",\"rect\":" + [&] {
               RECT r{};
               GetWindowRect(box, &r);
               return Rect(r);
           }() + "}";
}

// ---- commands -------------------------------------------------------------

using Args = std::vector<std::wstring>;

std::string CmdScreen(const Args&) {
    win::ScreenDc sdc;
    return "{\"ok\":true,\"width\":" + Num(GetSystemMetrics(SM_CXSCREEN)) +
           ",\"height\":" + Num(GetSystemMetrics(SM_CYSCREEN)) +
           ",\"dpi\":" + Num(GetDeviceCaps(sdc.Get(), LOGPIXELSX)) + "}";
}

// The child's environment is ours with NAME=VALUE pairs replaced or added.
std::wstring EnvironmentBlock(const Args& a, size_t first) {
    std::map<std::wstring, std::wstring> vars;
    std::unique_ptr<wchar_t, decltype(&FreeEnvironmentStringsW)> env(GetEnvironmentStringsW(),
                                                                     FreeEnvironmentStringsW);
    for (const wchar_t* p = env.get(); p && *p; p += wcslen(p) + 1) {
        std::wstring kv = p;
        size_t eq = kv.find(L'=', 1);
        if (eq != std::wstring::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (size_t i = first; i < a.size(); ++i) {
        size_t eq = a[i].find(L'=');
        if (eq != std::wstring::npos) vars[a[i].substr(0, eq)] = a[i].substr(eq + 1);
    }
    std::wstring block;
    for (const auto& [k, v] : vars) block += k + L"=" + v + L'\0';
    return block + L'\0';
}

std::string CmdStart(const Args& a) {
    if (a.size() < 4) return Error("usage: start EXE CWD SHOW [NAME=VALUE...]");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = a[3] == L"max" ? SW_SHOWMAXIMIZED : a[3] == L"min" ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL;
    std::wstring cmdline = L"\"" + a[1] + L"\"";
    std::wstring env = EnvironmentBlock(a, 4);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(a[1].c_str(), cmdline.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        env.data(), a[2].empty() ? nullptr : a[2].c_str(), &si, &pi))
        return Error("CreateProcess failed " + Num(GetLastError()));
    CloseHandle(pi.hThread);
    g_processes[pi.dwProcessId] = win::Handle(pi.hProcess);
    return "{\"ok\":true,\"pid\":" + Num(pi.dwProcessId) + "}";
}

std::string CmdWait(const Args& a) {
    if (a.size() < 3) return Error("usage: wait PID MS");
    auto it = g_processes.find(static_cast<DWORD>(ToInt(a[1])));
    if (it == g_processes.end()) return Error("unknown pid");
    DWORD r = WaitForSingleObject(it->second.Get(), static_cast<DWORD>(ToInt(a[2])));
    if (r != WAIT_OBJECT_0) return "{\"ok\":true,\"exited\":false}";
    DWORD code = 0;
    GetExitCodeProcess(it->second.Get(), &code);
    return "{\"ok\":true,\"exited\":true,\"code\":" + Num(code) + "}";
}

std::string CmdKill(const Args& a) {
    if (a.size() < 2) return Error("usage: kill PID");
    auto it = g_processes.find(static_cast<DWORD>(ToInt(a[1])));
    if (it == g_processes.end()) return Error("unknown pid");
    TerminateProcess(it->second.Get(), 255);
    WaitForSingleObject(it->second.Get(), 5000);
    g_processes.erase(it);
    return "{\"ok\":true}";
}

std::string Listing(const char* key, const std::vector<HWND>& found, std::string (*describe)(HWND)) {
    std::string out = std::string("{\"ok\":true,\"") + key + "\":[";
    for (size_t i = 0; i < found.size(); ++i) {
        if (i) out += ",";
        out += describe(found[i]);
    }
    return out + "]}";
}

std::string CmdWindows(const Args& a) {
    WindowFilter f;
    if (a.size() > 1) f.pid = static_cast<DWORD>(ToInt(a[1]));
    if (a.size() > 2) f.cls = a[2];
    if (a.size() > 3) f.title = a[3];
    return Listing("windows", FindWindows(f), DescribeWindow);
}

std::string CmdMsgbox(const Args& a) {
    if (a.size() < 2) return Error("usage: msgbox CAPTION [PID]");
    WindowFilter f;
    f.cls = L"#32770";
    f.title = a[1];
    f.visibleOnly = true;
    if (a.size() > 2) f.pid = static_cast<DWORD>(ToInt(a[2]));
    return Listing("boxes", FindWindows(f), DescribeBox);
}

std::string CmdPress(const Args& a) {
    if (a.size() < 3 || a.size() % 2 == 0) return Error("usage: press HWND ID [HWND ID ...]");
    for (size_t i = 1; i + 1 < a.size(); i += 2)
        if (!IsWindow(ToHwnd(a[i]))) return Error("no such window");
    for (size_t i = 1; i + 1 < a.size(); i += 2) {
        HWND h = ToHwnd(a[i]);
        int id = ToInt(a[i + 1]);
        PostMessageW(h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(h, id)));
    }
    return "{\"ok\":true}";
}

std::string CmdClick(const Args& a) {
    if (a.size() < 3) return Error("usage: click HWND ID");
    HWND c = GetDlgItem(ToHwnd(a[1]), ToInt(a[2]));
    if (!c) return Error("no such control");
    PostMessageW(c, BM_CLICK, 0, 0);
    return "{\"ok\":true}";
}

// The facts of one control, as JSON members without the braces.
std::string ControlMembers(HWND c) {
    RECT r{};
    GetWindowRect(c, &r);
    return "\"hwnd\":" + Hwnd(c) + ",\"id\":" + Num(GetDlgCtrlID(c)) + ",\"class\":" + Quote(ClassOf(c)) +
           ",\"text\":" + Quote(TextOf(c)) + ",\"enabled\":" + Bool(IsWindowEnabled(c)) + ",\"visible\":" +
           Bool(IsWindowVisible(c)) + ",\"rect\":" + Rect(r) +
           ",\"style\":" + Num(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE)));
}

std::string CmdControl(const Args& a) {
    if (a.size() < 3) return Error("usage: control HWND ID");
    HWND c = GetDlgItem(ToHwnd(a[1]), ToInt(a[2]));
    if (!c) return Error("no such control");
    return "{\"ok\":true," + ControlMembers(c) + "}";
}

std::string CmdListbox(const Args& a) {
    if (a.size() < 3) return Error("usage: listbox HWND ID");
    HWND c = GetDlgItem(ToHwnd(a[1]), ToInt(a[2]));
    if (!c) return Error("no such control");
    LRESULT count = SendMessageW(c, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR) return Error("not a list box");
    std::string out = "{\"ok\":true,\"lines\":[";
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT len = SendMessageW(c, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring line(static_cast<size_t>(len < 0 ? 0 : len) + 1, L'\0');
        LRESULT got = SendMessageW(c, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line.data()));
        line.resize(static_cast<size_t>(got < 0 ? 0 : got));
        if (i) out += ",";
        out += Quote(line);
    }
    return out + "]}";
}

std::string DescribeChild(HWND c) { return "{" + ControlMembers(c) + "}"; }

std::string CmdChildren(const Args& a) {
    if (a.size() < 2) return Error("usage: children HWND");
    std::vector<HWND> found;
    for (HWND c = GetWindow(ToHwnd(a[1]), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) found.push_back(c);
    return Listing("children", found, DescribeChild);
}

// The flags a static control draws its text with, by its style.
UINT StaticTextFormat(DWORD style) {
    UINT f = DT_EXPANDTABS | DT_WORDBREAK;
    switch (style & SS_TYPEMASK) {
    case SS_CENTER: f |= DT_CENTER; break;
    case SS_RIGHT: f |= DT_RIGHT; break;
    default: f |= DT_LEFT; break;
    }
    if (style & SS_NOPREFIX) f |= DT_NOPREFIX;
    return f;
}

std::string CmdDrawn(const Args& a) {
    if (a.size() < 6) return Error("usage: drawn HWND ID FACE HEIGHT RRGGBB");
    HWND c = GetDlgItem(ToHwnd(a[1]), ToInt(a[2]));
    if (!c) return Error("no such control");
    RECT r{};
    GetWindowRect(c, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    win::ScreenDc sdc;
    const std::vector<DWORD> shot = Grab(sdc.Get(), r);
    if (shot.empty()) return Error("cannot read the screen");
    Canvas mine(sdc.Get(), w, h);
    if (!mine.dc()) return Error("cannot draw");
    const DWORD bg = shot[0];
    win::BrushPtr brush(CreateSolidBrush(RGB((bg >> 16) & 0xFF, (bg >> 8) & 0xFF, bg & 0xFF)));
    RECT all{0, 0, w, h};
    FillRect(mine.dc(), &all, brush.get());
    LOGFONTW lf{};
    lf.lfHeight = ToInt(a[4]);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = ANSI_CHARSET;
    lstrcpynW(lf.lfFaceName, a[3].c_str(), LF_FACESIZE);
    win::FontPtr font(CreateFontIndirectW(&lf));
    win::Selected sel(mine.dc(), font.get());
    const DWORD fg = static_cast<DWORD>(wcstoul(a[5].c_str(), nullptr, 16));
    SetTextColor(mine.dc(), RGB((fg >> 16) & 0xFF, (fg >> 8) & 0xFF, fg & 0xFF));
    SetBkMode(mine.dc(), TRANSPARENT);
    const std::wstring text = TextOf(c);
    DrawTextW(mine.dc(), text.c_str(), static_cast<int>(text.size()), &all,
              StaticTextFormat(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE))));
    const std::vector<DWORD> drawn = mine.Pixels();
    int ink = 0;
    for (DWORD px : shot) ink += px != bg;
    // Drawn on one line, the whole text must fit the label: a label too
    // narrow would break or clip it the same way here as on the screen.
    RECT need{0, 0, 0, 0};
    DrawTextW(mine.dc(), text.c_str(), static_cast<int>(text.size()), &need, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    const bool fits = need.right <= w && need.bottom <= h;
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(mine.dc(), LF_FACESIZE, face);
    return "{\"ok\":true,\"diff\":" + Num(Differences(shot, drawn)) + ",\"ink\":" + Num(ink) +
           ",\"fits\":" + Bool(fits) + ",\"background\":[" + Num((bg >> 16) & 0xFF) + "," + Num((bg >> 8) & 0xFF) +
           "," + Num(bg & 0xFF) + "],\"face\":" + Quote(face) + "}";
}

std::string CmdIconGroup(const Args& a) {
    if (a.size() < 3) return Error("usage: icongroup FILE ID");
    const win::LibraryPtr lib(
        LoadLibraryExW(a[1].c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!lib) return Error("cannot load " + Num(GetLastError()));
    auto bytes = [&](const wchar_t* type, int id, DWORD& size) -> const BYTE* {
        HRSRC info = FindResourceW(lib.get(), MAKEINTRESOURCEW(id), type);
        HGLOBAL res = info ? LoadResource(lib.get(), info) : nullptr;
        size = info ? SizeofResource(lib.get(), info) : 0;
        return res ? static_cast<const BYTE*>(LockResource(res)) : nullptr;
    };
    DWORD size = 0;
    const BYTE* group = bytes(MAKEINTRESOURCEW(14) /*RT_GROUP_ICON*/, ToInt(a[2]), size);
    if (!group || size < 6) return Error("no such icon group");
    const int count = group[4] | (group[5] << 8);
    if (size < 6u + 14u * static_cast<unsigned>(count)) return Error("short icon group");
    std::string out = "{\"ok\":true,\"images\":[";
    for (int i = 0; i < count; ++i) {
        const BYTE* e = group + 6 + 14 * i;
        const int id = e[12] | (e[13] << 8);
        DWORD isize = 0;
        const BYTE* image = bytes(MAKEINTRESOURCEW(3) /*RT_ICON*/, id, isize);
        BITMAPINFOHEADER bih{};
        if (image && isize >= sizeof bih) std::memcpy(&bih, image, sizeof bih);
        if (i) out += ",";
        out += "{\"id\":" + Num(id) + ",\"width\":" + Num(e[0] ? e[0] : 256) + ",\"height\":" +
               Num(e[1] ? e[1] : 256) + ",\"dib\":[" + Num(bih.biWidth) + "," + Num(bih.biHeight) + "," +
               Num(bih.biBitCount) + "]}";
    }
    return out + "]}";
}

std::string CmdPixels(const Args& a) {
    win::ScreenDc sdc;
    std::string out = "{\"ok\":true,\"colors\":[";
    for (size_t i = 1; i < a.size(); ++i) {
        size_t comma = a[i].find(L',');
        if (comma == std::wstring::npos) return Error("pixels wants X,Y pairs");
        COLORREF c = GetPixel(sdc.Get(), ToInt(a[i].substr(0, comma)), ToInt(a[i].substr(comma + 1)));
        if (i > 1) out += ",";
        if (c == CLR_INVALID)
            out += "null";
        else
            out += "[" + Num(GetRValue(c)) + "," + Num(GetGValue(c)) + "," + Num(GetBValue(c)) + "]";
    }
    return out + "]}";
}

std::string Who(HWND h) {
    if (!h) return "null";
    return "{\"hwnd\":" + Hwnd(h) + ",\"class\":" + Quote(ClassOf(h)) + ",\"id\":" + Num(GetDlgCtrlID(h)) +
           ",\"root\":" + Hwnd(GetAncestor(h, GA_ROOT)) + "}";
}

std::string CmdFocus(const Args& a) {
    if (a.size() < 2) return Error("usage: focus HWND");
    DWORD tid = GetWindowThreadProcessId(ToHwnd(a[1]), nullptr);
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    if (!tid || !GetGUIThreadInfo(tid, &gti)) return Error("GetGUIThreadInfo failed");
    return "{\"ok\":true,\"focus\":" + Who(gti.hwndFocus) + ",\"active\":" + Who(gti.hwndActive) + "}";
}

std::string CmdForeground(const Args&) {
    HWND h = GetForegroundWindow();
    if (!h) return "{\"ok\":true,\"window\":null}";
    return "{\"ok\":true,\"window\":{\"hwnd\":" + Hwnd(h) + ",\"pid\":" + Num(PidOf(h)) + ",\"class\":" +
           Quote(ClassOf(h)) + ",\"title\":" + Quote(TextOf(h)) + ",\"owner\":" + Hwnd(GetWindow(h, GW_OWNER)) +
           "}}";
}

WORD KeyCode(const std::wstring& name) {
    static const std::map<std::wstring, WORD> named = {
        {L"TAB", VK_TAB},   {L"ENTER", VK_RETURN}, {L"SPACE", VK_SPACE}, {L"ESC", VK_ESCAPE},
        {L"LEFT", VK_LEFT}, {L"RIGHT", VK_RIGHT},  {L"UP", VK_UP},       {L"DOWN", VK_DOWN}};
    auto it = named.find(name);
    if (it != named.end()) return it->second;
    if (name.size() == 1 && (iswupper(name[0]) || iswdigit(name[0]))) return static_cast<WORD>(name[0]);
    return 0;
}

INPUT Key(WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}

// Through the system's input queue, as a keyboard would: the keys reach
// whichever window has the focus at that moment, through its message loop.
std::string CmdKeys(const Args& a) {
    if (a.size() < 2) return Error("usage: keys KEY [KEY ...]");
    std::vector<INPUT> inputs;
    for (size_t i = 1; i < a.size(); ++i) {
        const bool shift = a[i].rfind(L"shift+", 0) == 0;
        const WORD vk = KeyCode(shift ? a[i].substr(6) : a[i]);
        if (!vk) return Error("unknown key");
        if (shift) inputs.push_back(Key(VK_SHIFT, false));
        inputs.push_back(Key(vk, false));
        inputs.push_back(Key(vk, true));
        if (shift) inputs.push_back(Key(VK_SHIFT, true));
    }
    const UINT n = static_cast<UINT>(inputs.size());
    if (SendInput(n, inputs.data(), sizeof(INPUT)) != n) return Error("SendInput failed " + Num(GetLastError()));
    return "{\"ok\":true}";
}

std::string PostTo(const Args& a, UINT msg, WPARAM wp, LPARAM lp) {
    if (a.size() < 2) return Error("usage: <cmd> HWND");
    HWND h = ToHwnd(a[1]);
    if (!IsWindow(h)) return Error("no such window");
    PostMessageW(h, msg, wp, lp);
    return "{\"ok\":true}";
}

// What the keyboard would deliver for Alt+F4: a system key press (bit 29 =
// Alt held) that DefWindowProc turns into SC_CLOSE, and its release.
std::string CmdAltF4(const Args& a) {
    const LPARAM altDown = 1 | (0x3E << 16) | (1 << 29);
    const LPARAM altUp = altDown | (1 << 30) | (1u << 31);
    std::string r = PostTo(a, WM_SYSKEYDOWN, VK_F4, altDown);
    if (r != "{\"ok\":true}") return r;
    return PostTo(a, WM_SYSKEYUP, VK_F4, altUp);
}

std::string CmdPostQuit(const Args& a) {
    if (a.size() < 2) return Error("usage: postquit HWND [CODE]");
    const DWORD tid = GetWindowThreadProcessId(ToHwnd(a[1]), nullptr);
    if (!tid) return Error("no such window");
    const WPARAM code = a.size() > 2 ? static_cast<WPARAM>(ToInt(a[2])) : 0;
    if (!PostThreadMessageW(tid, WM_QUIT, code, 0)) return Error("PostThreadMessage failed");
    return "{\"ok\":true}";
}

std::string CmdMove(const Args& a) {
    if (a.size() < 4) return Error("usage: move HWND X Y");
    HWND h = ToHwnd(a[1]);
    if (!SetWindowPos(h, nullptr, ToInt(a[2]), ToInt(a[3]), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE))
        return Error("SetWindowPos failed");
    return "{\"ok\":true}";
}

std::string CmdRaise(const Args& a) {
    if (a.size() < 2) return Error("usage: raise HWND");
    HWND h = ToHwnd(a[1]);
    if (!IsWindow(h)) return Error("no such window");
    SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(h);
    return "{\"ok\":true}";
}

// Named mutexes that the probe holds open: an owner that is ended by force
// then leaves its mutex abandoned for the next program that opens it.
std::map<std::wstring, win::Handle> g_mutexes;

std::string CmdMutex(const Args& a) {
    if (a.size() < 2) return Error("usage: mutex NAME");
    win::Handle h(OpenMutexW(SYNCHRONIZE, FALSE, a[1].c_str()));
    if (!h) return Error("no such mutex");
    g_mutexes[a[1]] = std::move(h);
    return "{\"ok\":true}";
}

std::string CmdUnmutex(const Args& a) {
    if (a.size() < 2) return Error("usage: unmutex NAME");
    if (!g_mutexes.erase(a[1])) return Error("not held");
    return "{\"ok\":true}";
}

// The share mode of an open asks for nothing: what refuses is whoever holds
// the file already.
DWORD OpenError(const std::wstring& path, DWORD access) {
    win::Handle h(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    return h ? 0 : GetLastError();
}

bool ProcessRuns(const std::wstring& exeName) {
    win::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return false;
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32FirstW(snap.Get(), &pe); more; more = Process32NextW(snap.Get(), &pe))
        if (lstrcmpiW(pe.szExeFile, exeName.c_str()) == 0) return true;
    return false;
}

// Polls often enough to act within a few milliseconds of WHEN appearing.
bool WaitForFile(const std::wstring& path, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() > deadline) return false;
        Sleep(1);
    }
    return true;
}

std::string CmdTryOpen(const Args& a) {
    if (a.size() < 2) return Error("usage: tryopen PATH [WHEN]");
    const std::wstring& path = a[1];
    if (a.size() > 2 && !WaitForFile(a[2], 20000)) return Error("WHEN never appeared");
    const DWORD write = OpenError(path, GENERIC_WRITE);
    const DWORD remove = OpenError(path, DELETE);
    const auto slash = path.find_last_of(L'\\');
    const bool running = ProcessRuns(slash == std::wstring::npos ? path : path.substr(slash + 1));
    return "{\"ok\":true,\"write\":" + Num(write) + ",\"delete\":" + Num(remove) +
           ",\"running\":" + Bool(running) + "}";
}

std::string Dispatch(const Args& a) {
    const std::wstring& cmd = a[0];
    if (cmd == L"ping") return "{\"ok\":true}";
    if (cmd == L"screen") return CmdScreen(a);
    if (cmd == L"start") return CmdStart(a);
    if (cmd == L"wait") return CmdWait(a);
    if (cmd == L"kill") return CmdKill(a);
    if (cmd == L"windows") return CmdWindows(a);
    if (cmd == L"msgbox") return CmdMsgbox(a);
    if (cmd == L"press") return CmdPress(a);
    if (cmd == L"click") return CmdClick(a);
    if (cmd == L"control") return CmdControl(a);
    if (cmd == L"listbox") return CmdListbox(a);
    if (cmd == L"children") return CmdChildren(a);
    if (cmd == L"drawn") return CmdDrawn(a);
    if (cmd == L"icongroup") return CmdIconGroup(a);
    if (cmd == L"pixels") return CmdPixels(a);
    if (cmd == L"focus") return CmdFocus(a);
    if (cmd == L"foreground") return CmdForeground(a);
    if (cmd == L"keys") return CmdKeys(a);
    if (cmd == L"close") return PostTo(a, WM_CLOSE, 0, 0);
    if (cmd == L"sysclose") return PostTo(a, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (cmd == L"altf4") return CmdAltF4(a);
    if (cmd == L"move") return CmdMove(a);
    if (cmd == L"postquit") return CmdPostQuit(a);
    if (cmd == L"raise") return CmdRaise(a);
    if (cmd == L"mutex") return CmdMutex(a);
    if (cmd == L"unmutex") return CmdUnmutex(a);
    if (cmd == L"tryopen") return CmdTryOpen(a);
    return Error("unknown command");
}

}  // namespace

int main() {
    // Coordinates and pixels must be the physical ones whatever the DPI.
    SetProcessDPIAware();
    char buf[8192];
    while (std::fgets(buf, sizeof buf, stdin)) {
        std::string line = buf;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        Args args = SplitTabs(Widen(line));
        if (args[0] == L"quit") break;
        std::fputs((Dispatch(args) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
