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

// ---- the one busy state ----------------------------------------------------
// Why the updater may not be interrupted now. Every guard reads this one
// state: the close request and the end of the session are refused, the
// update commands turn clicks away, and a quit is held back.
enum class Busy { Loading, Asking, Updating, Closing };

// The updater is busy for one scope; scopes nest, the innermost reason
// counts. A WM_QUIT met meanwhile, in any message loop of the windows'
// thread (a message box's own as well), is held: left in the queue, it
// would wake every wait at once (a busy loop for a whole firmware write)
// and close the next box unread (the update's report). When the outermost
// scope ends, the quit is posted again and the main loop ends the program
// the way a close does.
class BusyScope {
public:
    explicit BusyScope(Busy reason);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    std::optional<Busy> outer_;
};
bool IsBusy();
std::optional<Busy> BusyReason();

// Installs, for the windows' thread and as long as it lives, what holds a
// quit while busy.
class QuitHold {
public:
    QuitHold();
    QuitHold(const QuitHold&) = delete;
    QuitHold& operator=(const QuitHold&) = delete;

private:
    win::HookPtr hook_;
};

// The main window tells the system why it refuses the end of the session
// whenever it does (while busy), so that Windows names the reason rather
// than a bare "this app is preventing shutdown"; called when the main window
// comes or goes, and by the busy state itself.
void UpdateShutdownReason();

// Keeps the machine and the screen awake from Arm until the end of the
// scope: a write of several minutes with no input would otherwise reach
// the idle sleep timeout, and a dark screen mid-write looks like a crash.
class AwakeWhileWriting {
public:
    AwakeWhileWriting() = default;
    ~AwakeWhileWriting();
    AwakeWhileWriting(const AwakeWhileWriting&) = delete;
    AwakeWhileWriting& operator=(const AwakeWhileWriting&) = delete;
    void Arm();

private:
    bool armed_ = false;
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
