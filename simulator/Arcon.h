#pragma once
// One device-service object of either generation, driven late-bound.
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CallLog.h"
#include "Chaos.h"
#include "Image.h"
#include "Scenario.h"

namespace sim {

// Live objects and server locks, for DllCanUnloadNow.
extern std::atomic<long> g_serverRefs;

class Arcon final : public IDispatch {
public:
    explicit Arcon(Gen gen);
    ~Arcon();
    Arcon(const Arcon&) = delete;
    Arcon& operator=(const Arcon&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override;

private:
    struct Natural {  // the operation's own answer when nothing is forced
        HRESULT hr = S_OK;
        UINT argErr = 0;
        SHORT result = 0;
    };
    HRESULT Call(DISPID id, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* argErr);
    Natural Perform(DISPID id, std::vector<VARIANT*>& args);
    void Log(const std::wstring& event, const std::wstring& fields = L"") const;
    std::optional<ImageHeader> ImageFor(const std::wstring& path, std::uint8_t device) const;

    std::atomic<ULONG> refs_{1};
    Gen gen_;
    Scenario scenario_;
    DeviceTable devices_;
    CallLog log_;
    Chaos chaos_;
    std::map<DISPID, size_t> calls_;
    HWND selfPoster_ = nullptr;  // scenario post_to_self: destroyed on the thread that made it
};

}  // namespace sim
