#include "core/StartUp.h"

namespace core {
namespace {

constexpr unsigned kErrorBox = box::Ok | box::IconError;

enum class Outcome { Done, Failed, Raised };

Outcome Classify(const CallResult& r) {
    if (r.raised) return Outcome::Raised;
    return r.Succeeded() ? Outcome::Done : Outcome::Failed;
}

Outcome Connect(IDevice& device) {
    std::wstring host = L"127.0.0.1";
    return Classify(device.Connect(host, 8001, 8002, 0, 100001));
}

// Second generation: an error raised by a call counts as a zero result.
bool ConnectV2(Session& s, IMessages& ui) {
    if (Connect(*s.deviceV2) == Outcome::Done) return true;
    ui.Show(kTextConnectFailedV2, kErrorBox);
    return false;
}

bool StartUpV2(Session& s) {
    if (s.deviceV2->StartUp(std::int16_t{0}).Succeeded()) return true;
    s.deviceV2->Disconnect();
    return false;
}

Outcome ConnectV1(Session& s, IMessages& ui) {
    const Outcome o = Connect(*s.deviceV1);
    if (o == Outcome::Failed) ui.Show(kTextConnectFailedV1, kErrorBox);
    return o;
}

Outcome StartUpV1(Session& s) {
    const Outcome o = Classify(s.deviceV1->StartUp(true, 0, 0, 0, 0, 254, 255, 8));
    if (o == Outcome::Failed) s.deviceV1->Disconnect();
    return o;
}

bool TrySecondGeneration(IDeviceFactory& factory, IMessages& ui, Session& s) {
    s.deviceV2 = factory.Create(kProgIdV2);
    return s.deviceV2 && ConnectV2(s, ui) && StartUpV2(s);
}

// A failed first-generation Connect has told the user already; every other
// failure here ends with the initialisation box.
bool TryFirstGeneration(IDeviceFactory& factory, IMessages& ui, Session& s) {
    s.deviceV1 = factory.Create(kProgIdV1);
    if (s.deviceV1) {
        const Outcome connected = ConnectV1(s, ui);
        if (connected == Outcome::Failed) return false;
        if (connected == Outcome::Done && StartUpV1(s) == Outcome::Done) return true;
    }
    ui.Show(kTextCouldNotInitialize, kErrorBox);
    return false;
}

}  // namespace

bool StartUpSequence(IDeviceFactory& factory, IMessages& ui, Session& s) {
    if (TrySecondGeneration(factory, ui, s)) {
        s.usingV2 = true;
        return true;
    }
    s.deviceV2.reset();
    return TryFirstGeneration(factory, ui, s);
}

void ShutDown(Session& s) {
    IDevice* device = s.usingV2 ? s.deviceV2.get() : s.deviceV1.get();
    if (device) device->Terminate();
}

}  // namespace core
