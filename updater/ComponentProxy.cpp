#include "ComponentProxy.h"

namespace updater {

namespace {

// Out of line: built once, not at every call site.
[[gnu::noinline]] core::CallResult Refused() {
    return core::CallResult::Raised(L"The device service is still busy with another call.");
}

}  // namespace

template <class Call>
core::CallResult ThreadedDevice::OnThread(Call call) {
    core::CallResult result;
    if (!thread_.Run([&] { result = call(*device_); })) return Refused();
    return result;
}

ThreadedDevice::~ThreadedDevice() {
    // Released where it was created; the thread is idle by the time the
    // proxy goes (the caller's last call has returned).
    thread_.Run([this] { device_.reset(); });
}

// By-reference strings are the caller's own: the caller waits until the
// call is over before it looks at them again.
core::CallResult ThreadedDevice::Connect(std::wstring& host, std::int16_t port1, std::int16_t port2,
                                         std::int16_t mode, std::int32_t timeout) {
    return OnThread([&](core::IDevice& d) { return d.Connect(host, port1, port2, mode, timeout); });
}

core::CallResult ThreadedDevice::StartUp(std::int16_t mode) {
    return OnThread([&](core::IDevice& d) { return d.StartUp(mode); });
}

core::CallResult ThreadedDevice::StartUp(bool flag, std::int16_t a, std::int16_t b, std::int16_t c,
                                         std::int16_t d, std::int16_t e, std::int16_t f, std::int16_t g) {
    return OnThread([&](core::IDevice& device) { return device.StartUp(flag, a, b, c, d, e, f, g); });
}

core::CallResult ThreadedDevice::Disconnect() {
    return OnThread([](core::IDevice& d) { return d.Disconnect(); });
}

core::CallResult ThreadedDevice::GetFirmWareVersion(std::int16_t device, std::wstring& firmware,
                                                    std::wstring& dataset) {
    return OnThread([&](core::IDevice& d) { return d.GetFirmWareVersion(device, firmware, dataset); });
}

core::CallResult ThreadedDevice::CheckSmartFirmwareFile(const std::wstring& path, std::int16_t device,
                                                        std::wstring& firmware, std::wstring& dataset) {
    return OnThread([&](core::IDevice& d) { return d.CheckSmartFirmwareFile(path, device, firmware, dataset); });
}

core::CallResult ThreadedDevice::UpdateSmartFirmware(const std::wstring& path, std::int16_t device) {
    return OnThread([&](core::IDevice& d) { return d.UpdateSmartFirmware(path, device); });
}

core::CallResult ThreadedDevice::SoftStart() {
    return OnThread([](core::IDevice& d) { return d.SoftStart(); });
}

core::CallResult ThreadedDevice::Terminate() {
    return OnThread([](core::IDevice& d) { return d.Terminate(); });
}

std::unique_ptr<core::IDevice> ThreadedFactory::Create(const std::wstring& progId) {
    std::unique_ptr<core::IDevice> device;
    // Without the thread nothing is created: the start-up then fails with
    // its own message.
    if (!thread_.Run([&] { device = factory_.Create(progId); }) || !device) return nullptr;
    return std::make_unique<ThreadedDevice>(thread_, std::move(device));
}

}  // namespace updater
