#pragma once
// The device-service component as the updater sees it: one object of either
// generation, called late-bound. Every call comes back as a value: a call
// that the component fails (an error HRESULT or an exception) is reported
// with the component's description and never ends the program by itself.
#include <cstdint>
#include <memory>
#include <string>

#include "core/Value.h"

namespace core {

struct CallResult {
    bool raised = false;       // the call failed instead of returning
    std::wstring description;  // the component's description of the failure
    Value result;

    static CallResult Returned(Value v) { CallResult r; r.result = std::move(v); return r; }
    static CallResult Raised(std::wstring why) { CallResult r; r.raised = true; r.description = std::move(why); return r; }

    // Returned a result that reads as success.
    bool Succeeded() const { return !raised && IsSuccess(result); }
};

// By-reference string arguments are in/out: the implementation passes the
// caller's string with its current text, so a component that writes
// nothing leaves it as it was.
class IDevice {
public:
    virtual ~IDevice() = default;
    virtual CallResult Connect(std::wstring& host, std::int16_t port1, std::int16_t port2,
                               std::int16_t mode, std::int32_t timeout) = 0;
    // Second generation: one 16-bit argument.
    virtual CallResult StartUp(std::int16_t mode) = 0;
    // First generation: a Boolean and seven 16-bit integers.
    virtual CallResult StartUp(bool flag, std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d,
                               std::int16_t e, std::int16_t f, std::int16_t g) = 0;
    virtual CallResult Disconnect() = 0;
    virtual CallResult GetFirmWareVersion(std::int16_t device, std::wstring& firmware, std::wstring& dataset) = 0;
    virtual CallResult CheckSmartFirmwareFile(const std::wstring& path, std::int16_t device,
                                              std::wstring& firmware, std::wstring& dataset) = 0;
    virtual CallResult UpdateSmartFirmware(const std::wstring& path, std::int16_t device) = 0;
    virtual CallResult SoftStart() = 0;
    virtual CallResult Terminate() = 0;
};

inline constexpr const wchar_t* kProgIdV2 = L"ArconlibV2.Arcon";
inline constexpr const wchar_t* kProgIdV1 = L"ArconLib.Arcon";

class IDeviceFactory {
public:
    virtual ~IDeviceFactory() = default;
    // Creates the component by ProgID; nullptr when it cannot be created.
    virtual std::unique_ptr<IDevice> Create(const std::wstring& progId) = 0;
};

}  // namespace core
