#pragma once
// Owning wrappers for the COM resources both sides of the device-service
// interface juggle: BSTRs, VARIANTs, interface pointers and the apartment.
// Each releases exactly once and is move-only, so no early return can leak
// a string or an object.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace com {

// A BSTR that may hold embedded NULs; length comes from SysStringLen, never
// from a terminator.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text)
        : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr&& o) noexcept {
        if (this != &o) { Reset(); b_ = std::exchange(o.b_, nullptr); }
        return *this;
    }
    ~Bstr() { Reset(); }

    // Takes ownership of a string handed over by someone else.
    static Bstr Attach(BSTR b) { Bstr r; r.b_ = b; return r; }

    BSTR Get() const { return b_; }
    // For by-reference arguments: the callee may free and replace it.
    BSTR* Address() { return &b_; }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    void Reset() { if (b_) SysFreeString(b_); b_ = nullptr; }
    UINT Length() const { return b_ ? SysStringLen(b_) : 0; }
    std::wstring Str() const { return ToString(b_); }

    static std::wstring ToString(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

private:
    BSTR b_ = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& o) noexcept { v_ = o.v_; VariantInit(&o.v_); }
    Variant& operator=(Variant&& o) noexcept {
        if (this != &o) { Clear(); v_ = o.v_; VariantInit(&o.v_); }
        return *this;
    }
    ~Variant() { Clear(); }

    static Variant I2(SHORT x) { Variant r; r.v_.vt = VT_I2; r.v_.iVal = x; return r; }
    static Variant I4(LONG x) { Variant r; r.v_.vt = VT_I4; r.v_.lVal = x; return r; }
    static Variant Bool(bool x) { Variant r; r.v_.vt = VT_BOOL; r.v_.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; return r; }
    static Variant Str(std::wstring_view s) { Variant r; r.v_.vt = VT_BSTR; r.v_.bstrVal = Bstr(s).Detach(); return r; }
    // Borrows the caller's BSTR slot; the slot's owner frees what ends up in it.
    static Variant StrRef(BSTR* slot) { Variant r; r.v_.vt = VT_BYREF | VT_BSTR; r.v_.pbstrVal = slot; return r; }

    VARIANT* Get() { return &v_; }
    const VARIANT* Get() const { return &v_; }
    void Clear() { VariantClear(&v_); }

private:
    VARIANT v_;
};

// A block of VARIANTs, as DISPPARAMS wants them, each cleared at the end.
class VariantArray {
public:
    explicit VariantArray(size_t n) : v_(n) { for (auto& x : v_) VariantInit(&x); }
    VariantArray(const VariantArray&) = delete;
    VariantArray& operator=(const VariantArray&) = delete;
    ~VariantArray() { for (auto& x : v_) VariantClear(&x); }
    VARIANT& operator[](size_t i) { return v_[i]; }
    VARIANT* Data() { return v_.empty() ? nullptr : v_.data(); }

private:
    std::vector<VARIANT> v_;
};

// Interface pointer; Release on destruction.
template <class T>
class Ptr {
public:
    Ptr() = default;
    Ptr(const Ptr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    Ptr& operator=(const Ptr& o) { Ptr(o).Swap(*this); return *this; }
    Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ptr& operator=(Ptr&& o) noexcept { Ptr(std::move(o)).Swap(*this); return *this; }
    ~Ptr() { Reset(); }

    // Adopts a reference the caller already owns (e.g. from an out-parameter).
    static Ptr Attach(T* p) { Ptr r; r.p_ = p; return r; }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** Put() { Reset(); return &p_; }
    void Reset() { if (p_) std::exchange(p_, nullptr)->Release(); }
    void Swap(Ptr& o) noexcept { std::swap(p_, o.p_); }

    template <class U>
    HRESULT As(Ptr<U>& out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out.Put()));
    }

private:
    T* p_ = nullptr;
};

// One single-threaded apartment per scope; CoUninitialize only when the
// initialisation succeeded.
class Apartment {
public:
    explicit Apartment(DWORD flags = COINIT_APARTMENTTHREADED) : hr_(CoInitializeEx(nullptr, flags)) {}
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    ~Apartment() { if (SUCCEEDED(hr_)) CoUninitialize(); }
    HRESULT Result() const { return hr_; }
    bool Ok() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

// UTF-8 <-> UTF-16 for log and scenario files; embedded NULs survive.
inline std::string ToUtf8(std::wstring_view w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

inline std::wstring FromUtf8(std::string_view s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Text of an environment variable; empty when unset.
inline std::wstring GetEnv(const wchar_t* name) {
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) return {};
    std::wstring v(n, L'\0');
    n = GetEnvironmentVariableW(name, v.data(), n);
    v.resize(n);
    return v;
}

}  // namespace com
