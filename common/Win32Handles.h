#pragma once
// Owning wrappers for the kernel, registry, cryptographic provider, GDI and
// USER handles that the programs, the simulator and the test tools hold.
// Each releases exactly once, so no early return can leak a handle.
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace win {

// A kernel handle (file, process, mutex); INVALID_HANDLE_VALUE and null
// both mean none, as the system hands back either.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) { Close(); h_ = std::exchange(o.h_, INVALID_HANDLE_VALUE); }
        return *this;
    }
    ~Handle() { Close(); }
    HANDLE Get() const { return h_; }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    explicit operator bool() const { return Valid(); }
    // False when the system refused to close it: for a written file that
    // can mean the data did not reach the disk.
    bool Close() {
        const bool ok = !Valid() || CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A registry key handle.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
    ~RegKey() { if (k_) RegCloseKey(k_); }
    HKEY Get() const { return k_; }
    HKEY* Put() { if (k_) RegCloseKey(k_); k_ = nullptr; return &k_; }

private:
    HKEY k_ = nullptr;
};

// A context of a CryptoAPI provider.
class CryptProvider {
public:
    CryptProvider() = default;
    explicit CryptProvider(HCRYPTPROV p) : p_(p) {}
    CryptProvider(const CryptProvider&) = delete;
    CryptProvider& operator=(const CryptProvider&) = delete;
    CryptProvider(CryptProvider&& o) noexcept : p_(std::exchange(o.p_, 0)) {}
    ~CryptProvider() { if (p_) CryptReleaseContext(p_, 0); }
    HCRYPTPROV Get() const { return p_; }
    explicit operator bool() const { return p_ != 0; }

private:
    HCRYPTPROV p_ = 0;
};

// A hash object of such a provider; it must go before its provider does.
class CryptHash {
public:
    CryptHash() = default;
    explicit CryptHash(HCRYPTHASH h) : h_(h) {}
    CryptHash(const CryptHash&) = delete;
    CryptHash& operator=(const CryptHash&) = delete;
    CryptHash(CryptHash&& o) noexcept : h_(std::exchange(o.h_, 0)) {}
    ~CryptHash() { if (h_) CryptDestroyHash(h_); }
    HCRYPTHASH Get() const { return h_; }
    explicit operator bool() const { return h_ != 0; }

private:
    HCRYPTHASH h_ = 0;
};

struct LibraryDeleter {
    void operator()(HMODULE h) const { if (h) FreeLibrary(h); }
};
using LibraryPtr = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

struct GdiDeleter {
    void operator()(void* h) const { if (h) DeleteObject(static_cast<HGDIOBJ>(h)); }
};
using FontPtr = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiDeleter>;
using BrushPtr = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiDeleter>;
using BitmapPtr = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDeleter>;
using PenPtr = std::unique_ptr<std::remove_pointer_t<HPEN>, GdiDeleter>;
using RegionPtr = std::unique_ptr<std::remove_pointer_t<HRGN>, GdiDeleter>;

struct IconDeleter {
    void operator()(HICON h) const { if (h) DestroyIcon(h); }
};
using IconPtr = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

struct HookDeleter {
    void operator()(HHOOK h) const { if (h) UnhookWindowsHookEx(h); }
};
using HookPtr = std::unique_ptr<std::remove_pointer_t<HHOOK>, HookDeleter>;

struct MemoryDcDeleter {
    void operator()(HDC h) const { if (h) DeleteDC(h); }
};
using MemoryDcPtr = std::unique_ptr<std::remove_pointer_t<HDC>, MemoryDcDeleter>;

// The screen's DC for one scope.
class ScreenDc {
public:
    ScreenDc() : dc_(GetDC(nullptr)) {}
    ~ScreenDc() { if (dc_) ReleaseDC(nullptr, dc_); }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HDC dc_;
};

// Selects an object into a DC for one scope.
class Selected {
public:
    Selected(HDC dc, HGDIOBJ obj) : dc_(dc), old_(obj ? SelectObject(dc, obj) : nullptr) {}
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;
    ~Selected() { if (old_) SelectObject(dc_, old_); }

private:
    HDC dc_;
    HGDIOBJ old_;
};

}  // namespace win
