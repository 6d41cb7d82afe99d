// In-process server entry points: class objects and self-registration.
#include <windows.h>
#include <olectl.h>

#include <memory>
#include <string>

#include "Arcon.h"
#include "ComSupport.h"
#include "Win32Handles.h"

namespace {

HMODULE g_module = nullptr;

// Second generation {6F1C2A31-8E4B-4C7D-9A52-3B0E7D41C902}, first {...C901}.
constexpr CLSID kClsidV2 = {0x6f1c2a31, 0x8e4b, 0x4c7d, {0x9a, 0x52, 0x3b, 0x0e, 0x7d, 0x41, 0xc9, 0x02}};
constexpr CLSID kClsidV1 = {0x6f1c2a31, 0x8e4b, 0x4c7d, {0x9a, 0x52, 0x3b, 0x0e, 0x7d, 0x41, 0xc9, 0x01}};

struct ClassInfo {
    sim::Gen gen;
    const CLSID* clsid;
    const wchar_t* progId;
    const wchar_t* description;
};
const ClassInfo kClasses[] = {
    {sim::Gen::V2, &kClsidV2, L"ArconlibV2.Arcon", L"Device service simulator, second generation"},
    {sim::Gen::V1, &kClsidV1, L"ArconLib.Arcon", L"Device service simulator, first generation"},
};

class Factory final : public IClassFactory {
public:
    explicit constexpr Factory(sim::Gen gen) : gen_(gen) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Static objects: their references only keep the server loaded.
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++sim::g_serverRefs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--sim::g_serverRefs); }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        try {
            auto obj = std::make_unique<sim::Arcon>(gen_);
            HRESULT hr = obj->QueryInterface(riid, ppv);
            // From here the object's reference count owns it.
            obj.release()->Release();
            return hr;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) ++sim::g_serverRefs; else --sim::g_serverRefs;
        return S_OK;
    }

private:
    sim::Gen gen_;
};

Factory g_factoryV2(sim::Gen::V2);
Factory g_factoryV1(sim::Gen::V1);

std::wstring GuidText(const CLSID& id) {
    wchar_t buf[64] = {};
    StringFromGUID2(id, buf, 64);
    return buf;
}

bool SetValue(HKEY root, const std::wstring& sub, const wchar_t* name, const std::wstring& value) {
    win::RegKey key;
    if (RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

HKEY ClassesRoot(win::RegKey& holder) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        holder.Put(), nullptr) != ERROR_SUCCESS)
        return nullptr;
    return holder.Get();
}

// `threading`: the ThreadingModel value; empty writes none, as an old
// single-threaded server is registered.
bool Register(HKEY classes, const ClassInfo& c, const std::wstring& dllPath, const std::wstring& threading) {
    std::wstring clsid = GuidText(*c.clsid);
    std::wstring clsKey = L"CLSID\\" + clsid;
    return SetValue(classes, c.progId, nullptr, c.description) &&
           SetValue(classes, std::wstring(c.progId) + L"\\CLSID", nullptr, clsid) &&
           SetValue(classes, clsKey, nullptr, c.description) &&
           SetValue(classes, clsKey + L"\\ProgID", nullptr, c.progId) &&
           SetValue(classes, clsKey + L"\\InprocServer32", nullptr, dllPath) &&
           (threading.empty() || SetValue(classes, clsKey + L"\\InprocServer32", L"ThreadingModel", threading));
}

void Unregister(HKEY classes, const ClassInfo& c) {
    RegDeleteTreeW(classes, c.progId);
    RegDeleteTreeW(classes, (L"CLSID\\" + GuidText(*c.clsid)).c_str());
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid == kClsidV2) return g_factoryV2.QueryInterface(riid, ppv);
    if (clsid == kClsidV1) return g_factoryV1.QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return sim::g_serverRefs == 0 ? S_OK : S_FALSE; }

// ARCONSIM_REGISTER picks the generations: "both" (default), "v1", "v2" or
// "none". The other one is removed, so each test starts from a known set.
// ARCONSIM_THREADING is the ThreadingModel to register: "Apartment"
// (default), "Both", "Free", or "none" for no value.
STDAPI DllRegisterServer() {
    std::wstring mode = com::GetEnv(L"ARCONSIM_REGISTER");
    CharLowerBuffW(mode.data(), static_cast<DWORD>(mode.size()));
    bool v2 = mode.empty() || mode == L"both" || mode == L"v2";
    bool v1 = mode.empty() || mode == L"both" || mode == L"v1";
    if (!v1 && !v2 && mode != L"none") return E_INVALIDARG;
    std::wstring threading = com::GetEnv(L"ARCONSIM_THREADING");
    if (threading.empty()) threading = L"Apartment";
    if (threading == L"none") threading.clear();

    wchar_t path[MAX_PATH * 2] = {};
    DWORD len = GetModuleFileNameW(g_module, path, MAX_PATH * 2);
    if (len == 0 || len >= MAX_PATH * 2) return SELFREG_E_CLASS;

    win::RegKey holder;
    HKEY classes = ClassesRoot(holder);
    if (!classes) return SELFREG_E_CLASS;
    for (const auto& c : kClasses) {
        bool wanted = c.gen == sim::Gen::V2 ? v2 : v1;
        Unregister(classes, c);
        if (wanted && !Register(classes, c, path, threading)) return SELFREG_E_CLASS;
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    win::RegKey holder;
    HKEY classes = ClassesRoot(holder);
    if (!classes) return SELFREG_E_CLASS;
    for (const auto& c : kClasses) Unregister(classes, c);
    return S_OK;
}
