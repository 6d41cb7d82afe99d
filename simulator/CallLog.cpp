#include "CallLog.h"

#include <cstdio>

#include "ComSupport.h"
#include "Win32Handles.h"

namespace sim {
namespace {

std::wstring BaseTypeName(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: return L"EMPTY";
    case VT_NULL: return L"NULL";
    case VT_I1: return L"I1";
    case VT_I2: return L"I2";
    case VT_I4: return L"I4";
    case VT_I8: return L"I8";
    case VT_INT: return L"INT";
    case VT_UI1: return L"UI1";
    case VT_UI2: return L"UI2";
    case VT_UI4: return L"UI4";
    case VT_UI8: return L"UI8";
    case VT_UINT: return L"UINT";
    case VT_R4: return L"R4";
    case VT_R8: return L"R8";
    case VT_CY: return L"CY";
    case VT_DATE: return L"DATE";
    case VT_BSTR: return L"BSTR";
    case VT_DISPATCH: return L"DISPATCH";
    case VT_ERROR: return L"ERROR";
    case VT_BOOL: return L"BOOL";
    case VT_VARIANT: return L"VARIANT";
    case VT_UNKNOWN: return L"UNKNOWN";
    case VT_DECIMAL: return L"DECIMAL";
    default: return L"VT" + std::to_wstring(vt);
    }
}

std::wstring Number(double d) {
    wchar_t buf[64];
    std::swprintf(buf, 64, L"%.17g", d);
    return buf;
}

// The value of a non-array VARIANT of base type vt, read through p.
std::wstring ValueText(VARTYPE vt, const void* p) {
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL: return L"";
    case VT_I1: return std::to_wstring(*static_cast<const signed char*>(p));
    case VT_I2: return std::to_wstring(*static_cast<const SHORT*>(p));
    case VT_I4:
    case VT_INT: return std::to_wstring(*static_cast<const LONG*>(p));
    case VT_I8: return std::to_wstring(*static_cast<const LONGLONG*>(p));
    case VT_UI1: return std::to_wstring(*static_cast<const BYTE*>(p));
    case VT_UI2: return std::to_wstring(*static_cast<const USHORT*>(p));
    case VT_UI4:
    case VT_UINT: return std::to_wstring(*static_cast<const ULONG*>(p));
    case VT_UI8: return std::to_wstring(*static_cast<const ULONGLONG*>(p));
    case VT_R4: return Number(*static_cast<const FLOAT*>(p));
    case VT_R8:
    case VT_DATE: return Number(*static_cast<const DOUBLE*>(p));
    case VT_CY: return Number(static_cast<double>(static_cast<const CY*>(p)->int64) / 10000.0);
    case VT_BOOL: return std::to_wstring(*static_cast<const VARIANT_BOOL*>(p));
    case VT_ERROR: {
        wchar_t buf[16];
        std::swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(*static_cast<const SCODE*>(p)));
        return buf;
    }
    case VT_BSTR: return EscapeForLog(com::Bstr::ToString(*static_cast<const BSTR*>(p)));
    case VT_DISPATCH:
    case VT_UNKNOWN: return *static_cast<IUnknown* const*>(p) ? L"object" : L"nothing";
    case VT_VARIANT: return FormatVariant(*static_cast<const VARIANT*>(p));
    default: return L"?";
    }
}

}  // namespace

std::wstring EscapeForLog(std::wstring_view text) {
    if (text.size() > 200) return L"<len " + std::to_wstring(text.size()) + L">";
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'\\': out += L"\\\\"; break;
        case L'\t': out += L"\\t"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\0': out += L"\\0"; break;
        default: out += c;
        }
    }
    return out;
}

std::wstring FormatVariant(const VARIANT& v) {
    VARTYPE base = v.vt & VT_TYPEMASK;
    std::wstring name = BaseTypeName(base);
    if (v.vt & VT_ARRAY) return name + L"|ARRAY" + ((v.vt & VT_BYREF) ? L"|BYREF" : L"") + L"=";
    if (v.vt & VT_BYREF) {
        name += L"|BYREF";
        if (!v.byref) return name + L"=<null>";
        return name + L"=" + ValueText(base, v.byref);
    }
    if (base == VT_DECIMAL) {
        VARIANT copy;
        VariantInit(&copy);
        std::wstring text = L"?";
        if (SUCCEEDED(VariantChangeTypeEx(&copy, const_cast<VARIANT*>(&v), LOCALE_INVARIANT, 0, VT_BSTR))) text = com::Bstr::ToString(copy.bstrVal);
        VariantClear(&copy);
        return name + L"=" + text;
    }
    // Everything else stores its value inline, starting at the same offset.
    return name + L"=" + ValueText(base, &v.iVal);
}

void CallLog::Write(const std::wstring& line) const {
    if (path_.empty()) return;
    std::string bytes = com::ToUtf8(line + L"\n");
    win::Handle f(CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.Valid()) return;
    DWORD put = 0;
    WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

}  // namespace sim
