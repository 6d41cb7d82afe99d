// Entry point of the launcher and the Windows side of its run: resources,
// files, hashing, the folder lock, the start of the updater and the wait.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ComSupport.h"
#include "FrmTonto.h"
#include "LanzoDigests.h"
#include "SystemSha256.h"
#include "Win32Handles.h"
#include "core/Launcher.h"

namespace {

using core::launcher::Digest;

using win::Handle;

// A planted DLL in the launcher's folder (a downloads folder, typically)
// must never be loaded: from here on only the system folder and folders
// added on purpose are searched. Looked up at run time because systems
// without the loader update lack the entry.
void RestrictDllSearch() {
    using Fn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (fn) fn(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    SetDllDirectoryW(L"");
}

class HeldFile : public core::launcher::IHeldFile {
public:
    explicit HeldFile(Handle h) : h_(std::move(h)) {}
    bool Holds(std::span<const std::uint8_t> bytes) override {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h_.Get(), zero, nullptr, FILE_BEGIN)) return false;
        std::vector<std::uint8_t> buf(1 << 16);
        std::size_t at = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(h_.Get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) return false;
            if (got == 0) return at == bytes.size();
            if (got > bytes.size() - at || std::memcmp(buf.data(), bytes.data() + at, got) != 0) return false;
            at += got;
        }
    }

private:
    Handle h_;
};

class Process : public core::launcher::IProcess {
public:
    explicit Process(Handle h) : h_(std::move(h)) {}
    // The window messages keep flowing while the updater runs, without the
    // launcher taking any processor time of its own. A quit request is not
    // a reason to stop waiting: the files belong to the updater until it
    // has ended.
    void Wait() override {
        HANDLE h = h_.Get();
        for (;;) {
            const DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, INFINITE, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0) return;
            if (r != WAIT_OBJECT_0 + 1) {
                WaitForSingleObject(h, INFINITE);
                return;
            }
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }

private:
    Handle h_;
};

std::wstring ToHex(const Digest& d, std::size_t bytes) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring s;
    for (std::size_t i = 0; i < bytes && i < d.size(); ++i) {
        s += kDigits[d[i] >> 4];
        s += kDigits[d[i] & 15];
    }
    return s;
}

// The same folder must give the same name however it was reached: through
// another letter case, a short name or a mapped drive. Opened with a
// trailing separator, since a drive's root comes as "D:", which alone
// names the drive's current folder.
std::wstring CanonicalFolder(const std::wstring& folder) {
    std::wstring path = folder;
    Handle dir = Handle(CreateFileW((folder + L"\\").c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (dir) {
        std::vector<wchar_t> buf(32768);
        const DWORD n = GetFinalPathNameByHandleW(dir.Get(), buf.data(), static_cast<DWORD>(buf.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n > 0 && n < buf.size()) path.assign(buf.data(), n);
    }
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), static_cast<int>(path.size()),
                                nullptr, 0, nullptr, nullptr, 0);
    if (n > 0) {
        std::wstring upper(static_cast<std::size_t>(n), L'\0');
        if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), static_cast<int>(path.size()),
                          upper.data(), n, nullptr, nullptr, 0) == n)
            return upper;
    }
    return path;
}

class WinSystem : public core::launcher::ILauncherSystem {
public:
    explicit WinSystem(HINSTANCE instance) : instance_(instance) {}

    std::wstring Folder() override {
        std::vector<wchar_t> buf(MAX_PATH);
        for (;;) {
            const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
            if (n == 0) return L"";
            if (n < buf.size()) {
                std::wstring path(buf.data(), n);
                const auto slash = path.find_last_of(L'\\');
                return slash == std::wstring::npos ? L"" : path.substr(0, slash);
            }
            if (buf.size() >= 32768) return L"";
            buf.resize(buf.size() * 2);
        }
    }

    bool LockFolder(const std::wstring& folder) override {
        const std::wstring canonical = CanonicalFolder(folder);
        const auto digest = SystemSha256::Of({reinterpret_cast<const std::uint8_t*>(canonical.data()),
                                               canonical.size() * sizeof(wchar_t)});
        // A lock under a stand-in name would not keep out a launcher that
        // could hash the folder, so no name means no run.
        if (!digest) return false;
        // Global: a second session (another user, a remote desktop) on the
        // same folder must be kept out as well.
        const std::wstring name = L"Global\\Lanzo.Folder." + ToHex(*digest, 20);
        mutex_ = Handle(CreateMutexW(nullptr, FALSE, name.c_str()));
        if (!mutex_) return false;
        const DWORD r = WaitForSingleObject(mutex_.Get(), 0);
        // An abandoned lock belonged to a launcher that was killed; what it
        // left is judged by the in-use test of the updater copy.
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return true;
        mutex_.Close();
        return false;
    }

    std::wstring MakeTempFileName() override {
        std::wstring folder;
        const DWORD need = GetEnvironmentVariableW(L"temp", nullptr, 0);
        if (need > 0) {
            folder.resize(need);
            const DWORD n = GetEnvironmentVariableW(L"temp", folder.data(), need);
            folder.resize(n < need ? n : 0);
        }
        wchar_t buf[MAX_PATH] = {};
        GetTempFileNameW(folder.c_str(), L"TTT", 0, buf);
        return buf;
    }

    std::optional<std::span<const std::uint8_t>> ReadResource(const wchar_t* type, int id) override {
        HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
        if (!info) return std::nullopt;
        HGLOBAL res = LoadResource(nullptr, info);
        const DWORD size = SizeofResource(nullptr, info);
        const void* data = res ? LockResource(res) : nullptr;
        if (!data) return std::nullopt;
        return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size);
    }

    std::optional<Digest> Hash(std::span<const std::uint8_t> bytes) override { return SystemSha256::Of(bytes); }

    bool Exists(const std::wstring& path) override { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    bool IsReadOnly(const std::wstring& path) override {
        const DWORD a = GetFileAttributesW(path.c_str());
        return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
    }

    bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> bytes) override {
        Handle f = Handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        if (!f) return false;
        const std::uint8_t* p = bytes.data();
        std::size_t left = bytes.size();
        while (left > 0) {
            const DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!::WriteFile(f.Get(), p, chunk, &written, nullptr) || written != chunk) return false;
            p += chunk;
            left -= chunk;
        }
        return f.Close();
    }

    bool Delete(const std::wstring& path) override { return DeleteFileW(path.c_str()) != 0; }
    bool SetNormal(const std::wstring& path) override {
        return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
    }
    bool SetHiddenOnly(const std::wstring& path) override {
        return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN) != 0;
    }
    bool MoveNoReplace(const std::wstring& from, const std::wstring& to) override {
        return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != 0;
    }

    // Others may read (the shell, the loader) but not write, rename or delete.
    std::unique_ptr<core::launcher::IHeldFile> Hold(const std::wstring& path) override {
        Handle f = Handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!f) return nullptr;
        return std::make_unique<HeldFile>(std::move(f));
    }

    // The hidden form and the COM apartment come into being here, when the
    // start first needs them, not before the staging: under Wine the first
    // window of a process brings up the display driver, which took longer
    // than the staging itself. The shell may hand the start to an
    // extension, which wants COM on the calling thread.
    std::unique_ptr<core::launcher::IProcess> Start(const std::wstring& file, int showState) override {
        if (!apartment_) apartment_.emplace(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        if (!form_) form_.emplace(instance_);
        SHELLEXECUTEINFOW sei{};
#if defined(_WIN32) && !defined(_WIN64)
        static_assert(sizeof(SHELLEXECUTEINFOW) == 60);
#endif
        sei.cbSize = sizeof sei;
        sei.fMask = SEE_MASK_NOCLOSEPROCESS;
        sei.hwnd = form_->Handle();
        sei.lpVerb = L"open";
        sei.lpFile = file.c_str();
        sei.lpParameters = L"";
        sei.lpDirectory = L"";
        sei.nShow = showState;
        ShellExecuteExW(&sei);
        Handle process(sei.hProcess);
        if (!process) return nullptr;
        return std::make_unique<Process>(std::move(process));
    }

    void Sleep(unsigned ms) override { ::Sleep(ms); }
    std::uint64_t Milliseconds() override { return GetTickCount64(); }

private:
    HINSTANCE instance_;
    Handle mutex_;
    std::optional<com::Apartment> apartment_;  // outlives the form
    std::optional<FrmTonto> form_;
};

class Boxes : public core::IMessages {
public:
    int Show(const std::wstring& text, unsigned style) override {
        return MessageBoxW(nullptr, text.c_str(), L"Launcher", style);
    }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    RestrictDllSearch();
    WinSystem sys(instance);
    Boxes boxes;
    // Nothing that goes wrong in here may end the launcher with a crash
    // dialog while files are staged; the run reports what the user must see.
    try {
        core::launcher::Run(sys, boxes, kRecordedDigests);
    } catch (...) {
    }
    return 0;
}
