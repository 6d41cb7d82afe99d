#pragma once
// The component as the user-interface thread sees it: the same calls with
// the same arguments and results, each done on the component thread while
// the windows stay alive. The real objects are created, called and
// released there only.
#include <memory>
#include <string>

#include "ComponentThread.h"
#include "core/Device.h"

namespace updater {

class ThreadedDevice final : public core::IDevice {
public:
    ThreadedDevice(ComponentThread& thread, std::unique_ptr<core::IDevice> device)
        : thread_(thread), device_(std::move(device)) {}
    ~ThreadedDevice() override;
    ThreadedDevice(const ThreadedDevice&) = delete;
    ThreadedDevice& operator=(const ThreadedDevice&) = delete;

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
    template <class Call>
    core::CallResult OnThread(Call call);

    ComponentThread& thread_;
    std::unique_ptr<core::IDevice> device_;
};

class ThreadedFactory final : public core::IDeviceFactory {
public:
    ThreadedFactory(ComponentThread& thread, core::IDeviceFactory& factory) : thread_(thread), factory_(factory) {}
    std::unique_ptr<core::IDevice> Create(const std::wstring& progId) override;

private:
    ComponentThread& thread_;
    core::IDeviceFactory& factory_;
};

}  // namespace updater
