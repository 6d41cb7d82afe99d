#pragma once
// What both windows of the updater share: the process-wide state, window
// placement, the wait window's opening, message boxes and event pumping.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "Win32Handles.h"
#include "core/MainWindow.h"
#include "core/StartUp.h"
#include "core/UpdateRun.h"
#include "core/WaitRequest.h"

namespace renovo {

inline constexpr const wchar_t* kAppTitle = L"Renovo";

// ---- process-wide state ---------------------------------------------------
struct Shared {
    core::Session session;        // DeviceV2, DeviceV1, UsingV2
    core::WaitRequest waitRequest;
    core::MainState mainState;
    std::wstring updaterFolder;   // folder of the executable, no trailing backslash
    core::IMainView* mainView = nullptr;
    HWND mainWindow = nullptr;
    bool waitModal = false;       // a modal wait window is up
};
Shared& App();

// ---- DPI and twips --------------------------------------------------------
int WindowDpi(HWND window);  // the window's DPI, the system's when unknown
// WM_DPICHANGED: moves the window to the place the system suggests and
// returns the new DPI; the caller lays its controls out again.
int AcceptDpiChange(HWND window, WPARAM wp, LPARAM lp);
int SystemDpi();
int Px(double twips, int dpi);
double Twips(int pixels, int dpi);
// Outer size for a client size, as the system draws the frame at `dpi`.
SIZE OuterSize(int clientW, int clientH, DWORD style, DWORD exStyle, int dpi);

// "MS Sans Serif" 9.75 pt regular, the labels' font, at `dpi`.
win::FontPtr CreateLabelFont(int dpi);
// The default GUI font scaled to `dpi`, for lists and buttons.
win::FontPtr CreateGuiFont(int dpi);
// Width and height of one line of text in `font`.
SIZE TextSize(HFONT font, const std::wstring& text);

// ---- procedures -----------------------------------------------------------
// Centres the window on the screen (whole window, in twips).
void CenterForm(HWND window);
// Fills the wait request and shows the wait window; modal returns when it
// has closed.
void ShowWaitWindow(bool modal, std::uint8_t device, std::optional<float> left, std::optional<float> top,
                    bool updating);
// Closes the start-up cover when it is up.
void UnloadWaitWindow();
// Activates the modal wait window, or the box that stands over it.
void ActivateWaitWindow();
// Lets the messages that are waiting through, once.
void DoEvents();

// While one lives, a WM_QUIT that DoEvents meets is kept back instead of
// being posted again at once: a quit left in the queue wakes every wait for
// window events at once (a busy loop for a whole firmware write) and closes
// the next message box before it can be read (the update's report). When
// the outermost one ends, the quit is posted again and ends the program.
class QuitHeldBack {
public:
    QuitHeldBack();
    ~QuitHeldBack();
    QuitHeldBack(const QuitHeldBack&) = delete;
    QuitHeldBack& operator=(const QuitHeldBack&) = delete;
};

// Message boxes under the application title that keep the user away from
// every other window of the updater while they are open.
class BoxMessages final : public core::IMessages {
public:
    int Show(const std::wstring& text, unsigned style) override;
};

class PumpClock final : public core::IClock {
public:
    std::uint64_t NowMs() override;
    void PumpEvents(std::uint32_t maxSleepMs) override;
};

class DiskFiles final : public core::IFiles {
public:
    bool IsOrdinaryFile(const std::wstring& path) override;
};

}  // namespace renovo
