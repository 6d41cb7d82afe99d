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

constexpr const wchar_t* kTextAnotherUpdate = L"Another firmware update is running on this computer.";
constexpr const wchar_t* kMachineLockName = L"Cofrex.Renovo.FirmwareUpdate";

// One updater per machine: two launchers in two folders would otherwise
// start two updaters against one device service, and one could query,
// write or restart a device that the other is writing.
struct MachineLock {
    win::Handle mutex;  // held until the process ends
    bool heldElsewhere = false;
};

// A mutex in the global namespace, so that other sessions see it too; in
// the session's own where this session may not create a global one.
MachineLock TakeMachineLock() {
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        const std::wstring name = std::wstring(space) + kMachineLockName;
        MachineLock lock;
        lock.mutex = win::Handle(CreateMutexExW(nullptr, name.c_str(), 0, SYNCHRONIZE));
        const DWORD error = GetLastError();
        if (lock.mutex.Valid()) {
            lock.heldElsewhere = error == ERROR_ALREADY_EXISTS;
            return lock;
        }
        if (error != ERROR_ACCESS_DENIED) break;
        // Refused: either this session may not create global objects, or
        // another user's updater holds it and keeps others from opening it.
        win::Handle existing(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
        if (existing.Valid() || GetLastError() == ERROR_ACCESS_DENIED) return MachineLock{{}, true};
    }
    // No mutex at all (the system is out of resources): an update goes on
    // unguarded rather than being refused with a reason that is not true.
    return {};
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
    // Should the windows' thread ever stand still for seconds (a machine
    // under load), Windows would ghost the windows as "not responding" and
    // offer to end the program in the middle of a flash, which can leave
    // the device unusable. Wine never ghosts, so no test sees this.
    DisableProcessWindowsGhosting();

    renovo::BoxMessages ui;
    const MachineLock lock = TakeMachineLock();
    if (lock.heldElsewhere) {
        ui.Show(kTextAnotherUpdate, MB_OK | MB_ICONWARNING);
        return 1;
    }

    // Before this thread enters an apartment (see ComponentThread); outlives
    // every component object, since they are released on it.
    updater::ComponentThread componentThread(renovo::DoEvents);
    com::Apartment apartment;
    const renovo::QuitHold quitHold;
    renovo::Shared& app = renovo::App();
    app.updaterFolder = ProgramFolder();

    renovo::Inicial inicial;
    app.mainView = &inicial;
    {
        const renovo::BusyScope loading(renovo::Busy::Loading);
        renovo::ShowWaitWindow(false, 0, std::nullopt, std::nullopt, false);
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
    }

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (inicial.Hwnd() && IsDialogMessageW(inicial.Hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // A quit that ended the loop with the window still open ends the
    // program the way a close does: Terminate first.
    inicial.Close();
    {
        const renovo::BusyScope closing(renovo::Busy::Closing);
        // The components go before the apartment does.
        app.session.deviceV2.reset();
        app.session.deviceV1.reset();
    }
    app.mainView = nullptr;
    return static_cast<int>(msg.wParam);
}
