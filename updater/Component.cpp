#include "Component.h"

#include <cstdint>
#include <cwchar>
#include <exception>
#include <new>
#include <vector>

namespace updater {
namespace {

std::wstring HresultText(const wchar_t* what, HRESULT hr) {
    wchar_t buf[96];
    std::swprintf(buf, 96, L"%ls failed with HRESULT 0x%08lX", what, static_cast<unsigned long>(hr));
    return buf;
}

// Copies a by-reference BSTR back into the caller's string, NULs included.
class StrRef {
public:
    explicit StrRef(const std::wstring& text) : bstr_(text) {}
    com::Variant Arg() { return com::Variant::StrRef(bstr_.Address()); }
    std::wstring Text() const { return bstr_.Str(); }

private:
    com::Bstr bstr_;
};

core::Value ErrorValue(std::int64_t code) {
    core::Value v;
    v.kind = core::Value::Kind::Error;
    v.integer = code;
    return v;
}

// The integer, real or other value a plain (non-array) VARIANT holds,
// with p pointing at that value.
core::Value Convert(VARTYPE vt, const void* p) {
    using core::Value;
    switch (vt) {
    case VT_EMPTY: return Value::Empty();
    case VT_NULL: return Value::Null();
    case VT_I1: return Value::Int(*static_cast<const signed char*>(p));
    case VT_UI1: return Value::Int(*static_cast<const BYTE*>(p));
    case VT_I2: return Value::Int(*static_cast<const SHORT*>(p));
    case VT_UI2: return Value::Int(*static_cast<const USHORT*>(p));
    case VT_I4:
    case VT_INT: return Value::Int(*static_cast<const LONG*>(p));
    case VT_UI4:
    case VT_UINT: return Value::Int(*static_cast<const ULONG*>(p));
    case VT_I8: return Value::Int(*static_cast<const LONGLONG*>(p));
    case VT_UI8: {
        ULONGLONG u = *static_cast<const ULONGLONG*>(p);
        // Beyond the signed range it can only be a large magnitude; a real keeps that.
        if (u > static_cast<ULONGLONG>(INT64_MAX)) return Value::Real(static_cast<double>(u));
        return Value::Int(static_cast<std::int64_t>(u));
    }
    case VT_R4: return Value::Real(*static_cast<const FLOAT*>(p));
    case VT_R8:
    case VT_DATE: return Value::Real(*static_cast<const DOUBLE*>(p));
    case VT_CY: return Value::Real(static_cast<double>(static_cast<const CY*>(p)->int64) / 10000.0);
    case VT_DECIMAL: {
        double d = 0;
        if (SUCCEEDED(VarR8FromDec(const_cast<DECIMAL*>(static_cast<const DECIMAL*>(p)), &d))) return Value::Real(d);
        return ErrorValue(DISP_E_OVERFLOW);
    }
    case VT_BOOL: return Value::Bool(*static_cast<const VARIANT_BOOL*>(p) != VARIANT_FALSE);
    case VT_BSTR: return Value::Text(com::Bstr::ToString(*static_cast<const BSTR*>(p)));
    case VT_DISPATCH:
    case VT_UNKNOWN: return Value::Object();
    case VT_ERROR: return ErrorValue(*static_cast<const SCODE*>(p));
    // A plain VT_VARIANT holds no value of its own: it is only ever met by reference.
    default: return ErrorValue(DISP_E_BADVARTYPE);
    }
}

// `follow`: a by-reference VARIANT may be read through, once. A chain of
// them (or one that refers to itself) is no result a component gives.
core::Value Read(const VARIANT& v, bool follow) {
    // An array is no scalar result; it reads as an object, never as success.
    if (v.vt & VT_ARRAY) return core::Value::Object();
    if (v.vt == (VT_BYREF | VT_VARIANT)) {
        if (!v.pvarVal) return core::Value::Empty();
        return follow ? Read(*v.pvarVal, false) : ErrorValue(DISP_E_BADVARTYPE);
    }
    VARTYPE base = v.vt & VT_TYPEMASK;
    if (v.vt & VT_BYREF) {
        if (!v.byref) return core::Value::Empty();
        return Convert(base, v.byref);
    }
    if (base == VT_DECIMAL) return Convert(base, &v.decVal);
    // All other types keep their value at the start of the union.
    return Convert(base, &v.iVal);
}

}  // namespace

core::Value ToValue(const VARIANT& v) { return Read(v, true); }

core::CallResult DispatchDevice::Call(const wchar_t* name, com::Variant* args, size_t count) {
    try {
        if (!object_) return core::CallResult::Raised(std::wstring(name) + L": no component object");
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return core::CallResult::Raised(HresultText(name, hr));

        // DISPPARAMS gets its own copies (a by-reference one still points
        // at the caller's slot): a callee that coerces an argument in place
        // then frees only the copy.
        com::VariantArray reversed(count);
        for (size_t i = 0; i < count; ++i) {
            hr = VariantCopy(&reversed[count - 1 - i], args[i].Get());
            if (FAILED(hr)) return core::CallResult::Raised(HresultText(name, hr));
        }
        DISPPARAMS params{reversed.Data(), nullptr, static_cast<UINT>(count), 0};

        com::Variant result;
        EXCEPINFO excep{};
        UINT argErr = 0;
        hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Get(), &excep,
                             &argErr);
        if (hr == DISP_E_EXCEPTION) {
            if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
            com::Bstr description = com::Bstr::Attach(excep.bstrDescription);
            com::Bstr source = com::Bstr::Attach(excep.bstrSource);
            com::Bstr help = com::Bstr::Attach(excep.bstrHelpFile);
            if (description.Length() > 0) return core::CallResult::Raised(description.Str());
            HRESULT code = excep.scode ? excep.scode : hr;
            return core::CallResult::Raised(HresultText(name, code));
        }
        if (FAILED(hr)) return core::CallResult::Raised(HresultText(name, hr));
        return core::CallResult::Returned(ToValue(*result.Get()));
    } catch (const std::bad_alloc&) {
        return core::CallResult::Raised(std::wstring(name) + L": out of memory");
    } catch (...) {
        return core::CallResult::Raised(std::wstring(name) + L": unexpected failure");
    }
}

// A call that raised leaves the caller's strings as they were: what the
// component may have half-written then is not a version.
core::CallResult DispatchDevice::Connect(std::wstring& host, std::int16_t port1, std::int16_t port2,
                                         std::int16_t mode, std::int32_t timeout) {
    StrRef h(host);
    com::Variant args[] = {h.Arg(), com::Variant::I2(port1), com::Variant::I2(port2), com::Variant::I2(mode),
                           com::Variant::I4(timeout)};
    auto r = Call(L"Connect", args, 5);
    if (!r.raised) host = h.Text();
    return r;
}

core::CallResult DispatchDevice::StartUp(std::int16_t mode) {
    com::Variant args[] = {com::Variant::I2(mode)};
    return Call(L"StartUp", args, 1);
}

core::CallResult DispatchDevice::StartUp(bool flag, std::int16_t a, std::int16_t b, std::int16_t c,
                                         std::int16_t d, std::int16_t e, std::int16_t f, std::int16_t g) {
    com::Variant args[] = {com::Variant::Bool(flag), com::Variant::I2(a), com::Variant::I2(b), com::Variant::I2(c),
                           com::Variant::I2(d),      com::Variant::I2(e), com::Variant::I2(f), com::Variant::I2(g)};
    return Call(L"StartUp", args, 8);
}

core::CallResult DispatchDevice::Disconnect() { return Call(L"Disconnect", nullptr, 0); }

core::CallResult DispatchDevice::GetFirmWareVersion(std::int16_t device, std::wstring& firmware,
                                                    std::wstring& dataset) {
    StrRef fw(firmware), ds(dataset);
    com::Variant args[] = {com::Variant::I2(device), fw.Arg(), ds.Arg()};
    auto r = Call(L"GetFirmWareVersion", args, 3);
    if (!r.raised) {
        firmware = fw.Text();
        dataset = ds.Text();
    }
    return r;
}

core::CallResult DispatchDevice::CheckSmartFirmwareFile(const std::wstring& path, std::int16_t device,
                                                        std::wstring& firmware, std::wstring& dataset) {
    StrRef fw(firmware), ds(dataset);
    com::Variant args[] = {com::Variant::Str(path), com::Variant::I2(device), fw.Arg(), ds.Arg()};
    auto r = Call(L"CheckSmartFirmwareFile", args, 4);
    if (!r.raised) {
        firmware = fw.Text();
        dataset = ds.Text();
    }
    return r;
}

core::CallResult DispatchDevice::UpdateSmartFirmware(const std::wstring& path, std::int16_t device) {
    com::Variant args[] = {com::Variant::Str(path), com::Variant::I2(device)};
    return Call(L"UpdateSmartFirmware", args, 2);
}

core::CallResult DispatchDevice::SoftStart() { return Call(L"SoftStart", nullptr, 0); }

core::CallResult DispatchDevice::Terminate() { return Call(L"Terminate", nullptr, 0); }

namespace {

std::wstring ExpandEnvironment(const std::wstring& text) {
    const DWORD need = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (need == 0) return {};
    std::wstring out(need, L'\0');
    if (ExpandEnvironmentStringsW(text.c_str(), out.data(), need) == 0) return {};
    out.resize(wcsnlen(out.c_str(), out.size()));
    return out;
}

// The in-process server's path as registered, REG_SZ or REG_EXPAND_SZ.
// RegGetValueW refuses to expand a request that also takes REG_SZ, so the
// value is read as it is and expanded here.
std::wstring RegisteredServerPath(const CLSID& clsid) {
    wchar_t guid[64] = {};
    if (!StringFromGUID2(clsid, guid, 64)) return {};
    const std::wstring sub = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
    constexpr DWORD kTextAsStored = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, sub.c_str(), nullptr, kTextAsStored, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes == 0)
        return {};
    std::wstring path(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD type = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, sub.c_str(), nullptr, kTextAsStored, &type, path.data(), &bytes) !=
        ERROR_SUCCESS)
        return {};
    path.resize(wcsnlen(path.c_str(), path.size()));
    return type == REG_EXPAND_SZ ? ExpandEnvironment(path) : path;
}

// The maker's component loads DLLs from its own folder; the updater has
// narrowed the DLL search at start-up, so that folder is added back.
void AllowComponentFolder(const CLSID& clsid) {
    std::wstring path = RegisteredServerPath(clsid);
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash == 0) return;
    const std::wstring folder = path.substr(0, slash);

    using AddDllDirectoryFn = void*(WINAPI*)(PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto add = reinterpret_cast<AddDllDirectoryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "AddDllDirectory")));
    if (add) add(folder.c_str());
}

}  // namespace

std::unique_ptr<core::IDevice> DispatchFactory::Create(const std::wstring& progId) {
    try {
        CLSID clsid{};
        lastError_ = CLSIDFromProgID(progId.c_str(), &clsid);
        if (FAILED(lastError_)) return nullptr;
        AllowComponentFolder(clsid);
        com::Ptr<IUnknown> unknown;
        lastError_ = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(unknown.Put()));
        if (FAILED(lastError_)) return nullptr;
        com::Ptr<IDispatch> dispatch;
        lastError_ = unknown.As(dispatch);
        if (FAILED(lastError_)) return nullptr;
        lastError_ = S_OK;
        return std::make_unique<DispatchDevice>(std::move(dispatch));
    } catch (...) {
        lastError_ = E_OUTOFMEMORY;
        return nullptr;
    }
}

}  // namespace updater
