#include "Arcon.h"

#include <exception>
#include <new>
#include <optional>

#include "ComSupport.h"
#include "Image.h"
#include "Win32Handles.h"

namespace sim {

std::atomic<long> g_serverRefs{0};

namespace {

enum : DISPID {
    kConnect = 1,
    kStartUp,
    kDisconnect,
    kGetFirmWareVersion,
    kCheckSmartFirmwareFile,
    kUpdateSmartFirmware,
    kSoftStart,
    kTerminate,
};

const wchar_t* const kNames[] = {nullptr, L"Connect", L"StartUp", L"Disconnect", L"GetFirmWareVersion",
                                 L"CheckSmartFirmwareFile", L"UpdateSmartFirmware", L"SoftStart", L"Terminate"};

UINT ExpectedArgs(Gen gen, DISPID id) {
    switch (id) {
    case kConnect: return 5;
    case kStartUp: return gen == Gen::V2 ? 1 : 8;
    case kGetFirmWareVersion: return 3;
    case kCheckSmartFirmwareFile: return 4;
    case kUpdateSmartFirmware: return 2;
    default: return 0;
    }
}

// Device numbers are per generation and per operation.
std::optional<Device> VersionDevice(Gen gen, long n) {
    if (gen == Gen::V2) {
        if (n == 1) return kValidator;
        if (n == 2) return kRecycler;
        if (n == 3) return kBanknote;
    } else {
        if (n == 2) return kValidator;
        if (n == 0) return kRecycler;
        if (n == 1) return kBanknote;
    }
    return std::nullopt;
}

std::optional<Device> UpdateDevice(Gen gen, long n) {
    if (n == (gen == Gen::V2 ? 1 : 0)) return kRecycler;
    if (n == (gen == Gen::V2 ? 3 : 1)) return kBanknote;
    return std::nullopt;
}

// Image device byte as the check and the update understand it.
std::uint8_t ImageDevice(Device d) { return d == kRecycler ? 0 : 1; }

std::optional<long> AsInteger(VARIANT* arg) {
    com::Variant v;
    if (FAILED(VariantChangeType(v.Get(), arg, 0, VT_I4))) return std::nullopt;
    return v.Get()->lVal;
}

std::optional<std::wstring> AsString(VARIANT* arg) {
    com::Variant v;
    if (FAILED(VariantChangeType(v.Get(), arg, 0, VT_BSTR))) return std::nullopt;
    return com::Bstr::ToString(v.Get()->bstrVal);
}

// Writes into a by-reference string argument; by-value arguments cannot
// carry anything back and are left alone.
void WriteBack(VARIANT* arg, const std::wstring& text) {
    if (arg->vt == (VT_BYREF | VT_BSTR) && arg->pbstrVal) {
        com::Bstr fresh(text);
        SysFreeString(*arg->pbstrVal);
        *arg->pbstrVal = fresh.Detach();
    } else if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal) {
        com::Variant fresh = com::Variant::Str(text);
        VariantClear(arg->pvarVal);
        *arg->pvarVal = *fresh.Get();
        VariantInit(fresh.Get());
    }
}

com::Variant ToVariant(const Outcome& o) {
    com::Variant v;
    VARIANT* p = v.Get();
    switch (o.kind) {
    case Outcome::Kind::I2: p->vt = VT_I2; p->iVal = static_cast<SHORT>(o.integer); break;
    case Outcome::Kind::I4: p->vt = VT_I4; p->lVal = static_cast<LONG>(o.integer); break;
    case Outcome::Kind::UI1: p->vt = VT_UI1; p->bVal = static_cast<BYTE>(o.integer); break;
    case Outcome::Kind::R8: p->vt = VT_R8; p->dblVal = o.real; break;
    case Outcome::Kind::Bool: return com::Variant::Bool(o.boolean);
    case Outcome::Kind::Str: return com::Variant::Str(o.text);
    case Outcome::Kind::Null: p->vt = VT_NULL; break;
    default: break;
    }
    return v;
}

// Objects made so far in this process, per generation: a chaos stream is
// fixed by the seed and the object's place in that order.
unsigned NextOrdinal(Gen gen) {
    static std::atomic<unsigned> made[2];
    return made[gen == Gen::V2 ? 1 : 0]++;
}

// Which thread made a call, created or released the object.
std::wstring ThreadField() { return L"\tthread=" + std::to_wstring(GetCurrentThreadId()); }

std::wstring HexHr(HRESULT hr) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

#ifdef ARCONSIM_DEPENDENCY
// Like a maker's component that loads a DLL of its own folder by bare name
// while it works, and so relies on its caller's DLL search to find it.
// Empty when it loaded, else what went wrong.
std::wstring LoadDependency() {
    win::LibraryPtr dll(LoadLibraryW(L"ArconDep.dll"));
    if (!dll) return L"error " + std::to_wstring(GetLastError());
    using PingFn = int (*)();
    auto ping = reinterpret_cast<PingFn>(reinterpret_cast<void*>(GetProcAddress(dll.get(), "ArconDepPing")));
    return ping && ping() == 1 ? std::wstring() : L"no answer";
}
#endif

// Like a component whose hidden window keeps posting to itself (a poll
// timer run by posted messages): each message it gets posts the next.
constexpr UINT kSelfPost = WM_APP + 7;

LRESULT CALLBACK SelfPosterProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kSelfPost) {
        PostMessageW(hwnd, kSelfPost, 0, 0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND StartSelfPoster() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = SelfPosterProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ArconSimSelfPoster";
    RegisterClassW(&wc);  // a second registration fails harmlessly
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                nullptr);
    if (hwnd) PostMessageW(hwnd, kSelfPost, 0, 0);
    return hwnd;
}

}  // namespace

Arcon::Arcon(Gen gen)
    : gen_(gen),
      scenario_(Scenario::Load(com::GetEnv(L"ARCONSIM_SCENARIO"))),
      devices_(DefaultDevices()),
      log_(com::GetEnv(L"ARCONSIM_LOG")),
      chaos_(scenario_.chaos, gen, NextOrdinal(gen)) {
    ++g_serverRefs;
    if (scenario_.postToSelf) selfPoster_ = StartSelfPoster();
    scenario_.ApplyDevices(devices_);
    if (!scenario_.statePath.empty()) LoadState(scenario_.statePath, devices_);
    Log(L"Create", ThreadField());
    // A scenario line the simulator did not understand would otherwise make
    // a test pass or fail for the wrong reason.
    for (const auto& e : scenario_.errors) Log(L"ScenarioError", L"\t" + EscapeForLog(e));
}

Arcon::~Arcon() {
    if (selfPoster_) DestroyWindow(selfPoster_);
    --g_serverRefs;
}

void Arcon::Log(const std::wstring& event, const std::wstring& fields) const {
    log_.Write(std::wstring(GenName(gen_)) + L"\t" + event + fields);
}

// A release carries the maker's images, whose header is not the one this
// stand-in reads; its whole-update run must still go through, under
// versions that no screenshot can pass off as the image's own.
std::optional<ImageHeader> Arcon::ImageFor(const std::wstring& path, std::uint8_t device) const {
    if (auto image = ReadImageHeader(path)) {
        if (image->device != device) return std::nullopt;
        return image;
    }
    if (!scenario_.acceptUnreadableImages || !ImageFileReadable(path)) return std::nullopt;
    Log(L"UnreadableImage", L"\t" + EscapeForLog(path));
    return ImageHeader{device, kUnreadableImageVersion, kUnreadableImageVersion};
}

STDMETHODIMP Arcon::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) Arcon::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) Arcon::Release() {
    ULONG n = --refs_;
    if (n == 0) {
        Log(L"Release", ThreadField());
        delete this;
    }
    return n;
}

STDMETHODIMP Arcon::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP Arcon::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP Arcon::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        // Operations take no named arguments, so only the first name can match.
        if (i == 0 && names[0]) {
            for (DISPID id = kConnect; id <= kTerminate; ++id)
                if (CompareStringOrdinal(names[0], -1, kNames[id], -1, TRUE) == CSTR_EQUAL) ids[0] = id;
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

STDMETHODIMP Arcon::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excep, UINT* argErr) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < kConnect || id > kTerminate) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (!params) return E_INVALIDARG;
    try {
        return Call(id, params, result, excep, argErr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT Arcon::Call(DISPID id, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    // rgvarg holds the arguments last first.
    std::vector<VARIANT*> args;
    for (UINT i = params->cArgs; i > 0; --i) args.push_back(&params->rgvarg[i - 1]);

    // Logged before the operation runs, so by-reference strings show what
    // the caller passed in.
    std::wstring fields;
    for (VARIANT* a : args) fields += L"\t" + FormatVariant(*a);
    // Into the debugger's stream as well, as the call begins, so that a
    // trace of the caller's system calls can be ordered against the calls.
    OutputDebugStringW((L"ArconSim " + std::wstring(GenName(gen_)) + L" " + kNames[id] + L" begins").c_str());
    auto finish = [&](const std::wstring& outcome) {
        Log(kNames[id], fields + L"\t=> " + outcome + ThreadField());
    };

    if (params->cNamedArgs > 0) {
        finish(L"hresult:" + HexHr(DISP_E_NONAMEDARGS));
        return DISP_E_NONAMEDARGS;
    }
    if (params->cArgs != ExpectedArgs(gen_, id)) {
        finish(L"hresult:" + HexHr(DISP_E_BADPARAMCOUNT));
        return DISP_E_BADPARAMCOUNT;
    }

#ifdef ARCONSIM_DEPENDENCY
    const std::wstring missing = LoadDependency();
    Log(L"Dependency", L"\tArconDep.dll\t" + (missing.empty() ? std::wstring(L"loaded") : missing));
    if (!missing.empty()) {
        if (excep) {
            *excep = EXCEPINFO{};
            excep->scode = E_FAIL;
            excep->bstrDescription = com::Bstr(L"ArconDep.dll could not be loaded: " + missing).Detach();
        }
        finish(L"raise:ArconDep.dll could not be loaded");
        return DISP_E_EXCEPTION;
    }
#endif

    const OperationScript* script = scenario_.Find(gen_, kNames[id]);
    const Outcome* forced = nullptr;
    size_t n = calls_[id]++;
    if (script) {
        if (script->delayMs) Sleep(script->delayMs);
        if (!script->results.empty()) forced = &script->results[std::min(n, script->results.size() - 1)];
    }

    // A result the scenario names wins over chaos; the rest is drawn.
    const bool writesVersions = id == kGetFirmWareVersion || id == kCheckSmartFirmwareFile;
    ChaosDraw chaos = chaos_.Next(writesVersions, forced != nullptr);
    if (!forced && chaos.answer) forced = &*chaos.answer;
    // A call that fails writes nothing back, so its drawn versions are no
    // fault of this call and must not be counted as one.
    if (forced && (forced->kind == Outcome::Kind::Raise || forced->kind == Outcome::Kind::HResult)) {
        chaos.fw.reset();
        chaos.ds.reset();
        std::erase_if(chaos.faults, [](const ChaosFault& f) { return f.kind == L"version"; });
    }
    for (const ChaosFault& f : chaos.faults)
        Log(L"Chaos", std::wstring(L"\t") + kNames[id] + L"\t" + f.kind + L"\t" + EscapeForLog(f.detail));
    if (chaos.delayMs) Sleep(chaos.delayMs);

    if (forced && forced->kind == Outcome::Kind::Raise) {
        if (excep) {
            *excep = EXCEPINFO{};
            excep->scode = E_FAIL;
            excep->bstrSource = com::Bstr(L"ArconSim").Detach();
            excep->bstrDescription = com::Bstr(forced->text).Detach();
        }
        finish(L"raise:" + EscapeForLog(forced->text));
        return DISP_E_EXCEPTION;
    }
    if (forced && forced->kind == Outcome::Kind::HResult) {
        finish(L"hresult:" + HexHr(forced->hr));
        return forced->hr;
    }

    Natural own = Perform(id, args);
    if (FAILED(own.hr)) {
        if (argErr) *argErr = own.argErr;
        finish(L"hresult:" + HexHr(own.hr));
        return own.hr;
    }
    // The version strings follow the device number (GetFirmWareVersion) or
    // the path and device (CheckSmartFirmwareFile).
    const size_t firstText = id == kGetFirmWareVersion ? 1 : 2;
    if (chaos.fw) WriteBack(args[firstText], *chaos.fw);
    if (chaos.ds) WriteBack(args[firstText + 1], *chaos.ds);
    com::Variant answer = forced ? ToVariant(*forced) : com::Variant::I2(own.result);
    finish(FormatVariant(*answer.Get()));
    if (result) {
        VariantClear(result);
        *result = *answer.Get();
        VariantInit(answer.Get());
    }
    return S_OK;
}

Arcon::Natural Arcon::Perform(DISPID id, std::vector<VARIANT*>& args) {
    Natural r;
    // Lenient about types, as an automation server is: every argument is
    // coerced, and only one that cannot be coerced is refused.
    auto integer = [&](size_t i) -> std::optional<long> {
        auto v = AsInteger(args[i]);
        if (!v) { r.hr = DISP_E_TYPEMISMATCH; r.argErr = static_cast<UINT>(args.size() - 1 - i); }
        return v;
    };
    auto string = [&](size_t i) -> std::optional<std::wstring> {
        auto v = AsString(args[i]);
        if (!v) { r.hr = DISP_E_TYPEMISMATCH; r.argErr = static_cast<UINT>(args.size() - 1 - i); }
        return v;
    };

    switch (id) {
    case kConnect:
        if (!string(0)) return r;
        for (size_t i = 1; i < 5; ++i)
            if (!integer(i)) return r;
        r.result = 1;
        return r;
    case kStartUp:
        for (size_t i = 0; i < args.size(); ++i)
            if (!integer(i)) return r;
        r.result = 1;
        return r;
    case kDisconnect:
    case kSoftStart:
    case kTerminate:
        r.result = 1;
        return r;
    case kGetFirmWareVersion: {
        auto n = integer(0);
        if (!n) return r;
        auto dev = VersionDevice(gen_, *n);
        if (!dev) return r;
        const OperationScript* script = scenario_.Find(gen_, kNames[id]);
        if (!script || !script->writeNone) {
            WriteBack(args[1], devices_[*dev].fw);
            WriteBack(args[2], devices_[*dev].ds);
        }
        r.result = 1;
        return r;
    }
    case kCheckSmartFirmwareFile: {
        auto path = string(0);
        if (!path) return r;
        auto n = integer(1);
        if (!n) return r;
        if (*n != 0 && *n != 1) return r;
        auto image = ImageFor(*path, static_cast<std::uint8_t>(*n));
        if (!image) return r;
        WriteBack(args[2], image->fw);
        WriteBack(args[3], image->ds);
        r.result = 1;
        return r;
    }
    case kUpdateSmartFirmware: {
        auto path = string(0);
        if (!path) return r;
        auto n = integer(1);
        if (!n) return r;
        auto dev = UpdateDevice(gen_, *n);
        if (!dev) return r;
        auto image = ImageFor(*path, ImageDevice(*dev));
        if (!image) return r;
        // The real write blocks its caller for seconds; so does this one.
        Sleep(scenario_.updateMs);
        devices_[*dev] = {image->fw, image->ds};
        if (!scenario_.statePath.empty()) SaveState(scenario_.statePath, devices_);
        r.result = 1;
        return r;
    }
    default:
        r.hr = DISP_E_MEMBERNOTFOUND;
        return r;
    }
}

}  // namespace sim
