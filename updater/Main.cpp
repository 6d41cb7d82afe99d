// Renovo: brings up the device-service component, shows the versions and
// runs the firmware updates the user asks for.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "ComSupport.h"
#include "Component.h"
#include "ComponentProxy.h"
#include "Inicial.h"
#include "ModGen.h"
#include "core/StartUp.h"

namespace {

void RestrictDllSearch() {
    // Only the system folder and folders added on purpose; never the
    // current folder or the program's own folder, where the launcher stages
    // files. Looked up at run time: absent before Windows 8 without KB2533623,
    // where at least the current folder leaves the search.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto fn = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!fn || !fn(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS)) SetDllDirectoryW(L"");
}

std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int /*the starter's show state is never used*/) {
    RestrictDllSearch();
    // Where the component thread cannot start, a firmware write blocks this
    // thread inside the component for minutes. Windows would then ghost the
    // windows as "not responding" and offer to end the program in the middle
    // of the flash, which can leave the device unusable. Wine never ghosts,
    // so no test sees this.
    DisableProcessWindowsGhosting();

    com::Apartment apartment;
    // Outlives every component object: they are released on it.
    updater::ComponentThread componentThread;
    renovo::Shared& app = renovo::App();
    app.updaterFolder = ProgramFolder();

    renovo::Inicial inicial;
    app.mainView = &inicial;

    renovo::ShowWaitWindow(false, 0, std::nullopt, std::nullopt, false);
    renovo::BoxMessages ui;
    {
        updater::DispatchFactory factory;
        updater::ThreadedFactory onComponentThread(componentThread, factory);
        if (!core::StartUpSequence(onComponentThread, ui, app.session)) {
            // The user has been told; nothing else may run, not even Terminate.
            ExitProcess(0);
        }
    }

    if (!inicial.Create()) ExitProcess(0);
    inicial.Load();
    inicial.Show();

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (inicial.Hwnd() && IsDialogMessageW(inicial.Hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // The components go before the apartment does.
    app.session.deviceV2.reset();
    app.session.deviceV1.reset();
    app.mainView = nullptr;
    return static_cast<int>(msg.wParam);
}
