#pragma once
// Bringing up the device-service component (second generation first, then
// the first) and shutting it down.
#include <memory>

#include "core/Device.h"
#include "core/Messages.h"

namespace core {

// DeviceV2, DeviceV1 and UsingV2: written only by StartUpSequence.
struct Session {
    std::unique_ptr<IDevice> deviceV2;
    std::unique_ptr<IDevice> deviceV1;
    bool usingV2 = false;

    // The component every later call goes to.
    IDevice& InUse() const { return usingV2 ? *deviceV2 : *deviceV1; }
};

inline constexpr const wchar_t* kTextConnectFailedV2 = L"System not found. Trying in V2...";
inline constexpr const wchar_t* kTextConnectFailedV1 = L"System not found in LOCALHOST. Cannot start the process.";
inline constexpr const wchar_t* kTextCouldNotInitialize = L"Could not initialize the device. Check connections.";

// Runs the whole start-up after the wait window is up. True: a component
// is ready in `s`. False: the user has been told and the program must end
// at once (no Terminate, no further windows).
bool StartUpSequence(IDeviceFactory& factory, IMessages& ui, Session& s);

// The shut-down when the main window closes: Terminate to the component in
// use only. The caller disables Command1 first.
void ShutDown(Session& s);

}  // namespace core
