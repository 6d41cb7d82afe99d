#pragma once
// Test doubles for the core's small interfaces: a scripted component that
// records every call, a user who answers boxes from a script, a main window
// made of two string vectors, a clock that moves only when asked.
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Device.h"
#include "core/MainWindow.h"
#include "core/Messages.h"
#include "core/StartUp.h"
#include "core/UpdateRun.h"

namespace fake {

struct Call {
    std::wstring generation;
    std::wstring op;
    std::vector<std::wstring> args;
};

using Log = std::vector<Call>;

// Versions per device number; results per operation name (default 1).
class Device : public core::IDevice {
public:
    Device(std::wstring generation, Log& log) : gen_(std::move(generation)), log_(log) {}

    std::map<std::wstring, std::deque<core::CallResult>> scripted;  // consumed in order, last one repeats
    std::map<int, std::pair<std::wstring, std::wstring>> versions;    // by device number
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> images;  // by path
    bool writesVersions = true;
    std::function<void()> onUpdate;  // runs inside UpdateSmartFirmware

    core::CallResult Connect(std::wstring& host, std::int16_t a, std::int16_t b, std::int16_t c,
                             std::int32_t d) override {
        return Record(L"Connect", {host, N(a), N(b), N(c), N(d)});
    }
    core::CallResult StartUp(std::int16_t mode) override { return Record(L"StartUp", {N(mode)}); }
    core::CallResult StartUp(bool flag, std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d,
                             std::int16_t e, std::int16_t f, std::int16_t g) override {
        return Record(L"StartUp", {flag ? L"True" : L"False", N(a), N(b), N(c), N(d), N(e), N(f), N(g)});
    }
    core::CallResult Disconnect() override { return Record(L"Disconnect", {}); }
    core::CallResult GetFirmWareVersion(std::int16_t device, std::wstring& fw, std::wstring& ds) override {
        auto r = Record(L"GetFirmWareVersion", {N(device)});
        if (!r.raised && writesVersions && versions.count(device)) {
            fw = versions[device].first;
            ds = versions[device].second;
        }
        return r;
    }
    core::CallResult CheckSmartFirmwareFile(const std::wstring& path, std::int16_t device, std::wstring& fw,
                                            std::wstring& ds) override {
        auto r = Record(L"CheckSmartFirmwareFile", {path, N(device)});
        if (r.Succeeded() && images.count(path)) {
            fw = images[path].first;
            ds = images[path].second;
        }
        return r;
    }
    core::CallResult UpdateSmartFirmware(const std::wstring& path, std::int16_t device) override {
        auto r = Record(L"UpdateSmartFirmware", {path, N(device)});
        if (onUpdate) onUpdate();
        return r;
    }
    core::CallResult SoftStart() override { return Record(L"SoftStart", {}); }
    core::CallResult Terminate() override { return Record(L"Terminate", {}); }

private:
    static std::wstring N(long v) { return std::to_wstring(v); }
    core::CallResult Record(const std::wstring& op, std::vector<std::wstring> args) {
        log_.push_back({gen_, op, std::move(args)});
        auto it = scripted.find(op);
        if (it == scripted.end() || it->second.empty()) return core::CallResult::Returned(core::Value::Int(1));
        core::CallResult r = it->second.front();
        if (it->second.size() > 1) it->second.pop_front();
        return r;
    }
    std::wstring gen_;
    Log& log_;
};

class Factory : public core::IDeviceFactory {
public:
    explicit Factory(Log& log) : log_(log) {}
    std::set<std::wstring> registered{core::kProgIdV2, core::kProgIdV1};
    std::function<void(Device&)> setupV2, setupV1;
    std::unique_ptr<core::IDevice> Create(const std::wstring& progId) override {
        const bool v2 = progId == core::kProgIdV2;
        log_.push_back({v2 ? L"v2" : L"v1", L"Create", {}});
        if (!registered.count(progId)) return nullptr;
        auto d = std::make_unique<Device>(v2 ? L"v2" : L"v1", log_);
        if (v2 && setupV2) setupV2(*d);
        if (!v2 && setupV1) setupV1(*d);
        return d;
    }

private:
    Log& log_;
};

struct Box {
    std::wstring text;
    unsigned style;
};

class User : public core::IMessages {
public:
    std::vector<Box> boxes;
    std::deque<int> answers;  // scripted answers; OK/Yes when none left
    std::function<void()> onShow;  // runs as each box opens
    int Show(const std::wstring& text, unsigned style) override {
        boxes.push_back({text, style});
        if (onShow) onShow();
        if (!answers.empty()) {
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return (style & core::box::YesNo) == core::box::YesNo ? core::answer::Yes : core::answer::Ok;
    }
};

class MainView : public core::IMainView {
public:
    std::vector<std::wstring> list1, list2;
    bool command1 = true, command2 = true;
    int doEvents = 0;
    bool waitWindowUnloaded = false;
    void AddList1(const std::wstring& l) override { list1.push_back(l); }
    void AddList2(const std::wstring& l) override { list2.push_back(l); }
    void ClearList1() override { list1.clear(); }
    std::wstring List1Line(int i) const override { return i < int(list1.size()) ? list1[i] : L""; }
    std::wstring List2Line(int i) const override { return i < int(list2.size()) ? list2[i] : L""; }
    void SetCommandEnabled(int c, bool e) override { (c == 1 ? command1 : command2) = e; }
    void DoEvents() override { ++doEvents; }
    void UnloadWaitWindow() override { waitWindowUnloaded = true; }
};

class Files : public core::IFiles {
public:
    std::set<std::wstring> present;
    bool IsOrdinaryFile(const std::wstring& path) override { return present.count(path) > 0; }
};

class WaitView : public core::IWaitView {
public:
    std::vector<std::wstring> captions;
    const Log* log = nullptr;
    std::vector<size_t> writeStarts;  // how many component calls had been made at each BeforeWrite
    void SetInfo(const std::wstring& t) override { captions.push_back(t); }
    void BeforeWrite() override { writeStarts.push_back(log ? log->size() : 0); }
};

class Clock : public core::IClock {
public:
    std::uint64_t now = 1000;
    std::uint32_t step = 100;  // how far each pump moves time
    int pumps = 0;
    std::uint64_t NowMs() override { return now; }
    void PumpEvents(std::uint32_t maxSleepMs) override {
        ++pumps;
        now += maxSleepMs < step ? maxSleepMs : step;
    }
};

// A session that came up on one generation, with a fake component in use.
inline Device& InstallDevice(core::Session& session, bool usingV2, Log& log) {
    auto d = std::make_unique<Device>(usingV2 ? L"v2" : L"v1", log);
    Device& device = *d;
    (usingV2 ? session.deviceV2 : session.deviceV1) = std::move(d);
    session.usingV2 = usingV2;
    return device;
}

inline core::CallResult Raise(const wchar_t* why) { return core::CallResult::Raised(why); }
inline core::CallResult Returns(core::Value v) { return core::CallResult::Returned(std::move(v)); }

}  // namespace fake
