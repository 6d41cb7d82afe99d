#pragma once
// The device-service component reached through IDispatch: late-bound calls
// with exactly the VARIANT types the component expects, and every failure
// turned into a CallResult instead of an exception.
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>

#include "ComSupport.h"
#include "core/Device.h"

namespace updater {

// Converts an automation result; by-reference values are read through, a
// by-reference VARIANT once; a plain VT_VARIANT or a longer chain is a failed result.
core::Value ToValue(const VARIANT& v);

class DispatchDevice final : public core::IDevice {
public:
    explicit DispatchDevice(com::Ptr<IDispatch> object) : object_(std::move(object)) {}

    core::CallResult Connect(std::wstring& host, std::int16_t port1, std::int16_t port2, std::int16_t mode,
                             std::int32_t timeout) override;
    core::CallResult StartUp(std::int16_t mode) override;
    core::CallResult StartUp(bool flag, std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d,
                             std::int16_t e, std::int16_t f, std::int16_t g) override;
    core::CallResult Disconnect() override;
    core::CallResult GetFirmWareVersion(std::int16_t device, std::wstring& firmware, std::wstring& dataset) override;
    core::CallResult CheckSmartFirmwareFile(const std::wstring& path, std::int16_t device, std::wstring& firmware,
                                            std::wstring& dataset) override;
    core::CallResult UpdateSmartFirmware(const std::wstring& path, std::int16_t device) override;
    core::CallResult SoftStart() override;
    core::CallResult Terminate() override;

private:
    // args in call order; reversed into DISPPARAMS here.
    core::CallResult Call(const wchar_t* name, com::Variant* args, size_t count);

    com::Ptr<IDispatch> object_;
};

class DispatchFactory final : public core::IDeviceFactory {
public:
    std::unique_ptr<core::IDevice> Create(const std::wstring& progId) override;
    // Why the last Create gave nothing; S_OK after a success.
    HRESULT LastError() const { return lastError_; }

private:
    HRESULT lastError_ = S_OK;
};

}  // namespace updater
