// Randomized runs of the whole updater logic against a component whose every
// answer is drawn at random and a user who answers every box at random.
// Seeded and reproducible: FAULT_SEEDS=N runs seeds 1..N (default 3000),
// FAULT_SEED=S replays one seed. A failure names its seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "Fakes.h"
#include "core/StartUp.h"
#include "core/UpdateRun.h"

using core::Value;
using Lines = std::vector<std::wstring>;

namespace {

const std::wstring kFolder = L"C:\\\u0416\u0443\u0440\u043d\u0430\u043b";  // a non-ANSI folder name

struct Dice {
    std::mt19937_64 rng;
    explicit Dice(std::uint64_t seed) : rng(seed) {}
    int Below(int n) { return int(rng() % std::uint64_t(n)); }
    bool Chance(int percent) { return Below(100) < percent; }
};

std::wstring RandomVersion(Dice& d) {
    switch (d.Below(8)) {
        case 0: return L"";
        case 1: return std::wstring(65536, L'7');
        case 2: return L"\u00D1V\u00A1\u4E2D" + std::to_wstring(d.Below(20));
        case 3: return std::wstring(L"SH03\0" L"0.1", 9);
        case 4: return L"NV0200410" + std::to_wstring(d.Below(9));
        case 5: return L"FW" + std::to_wstring(d.Below(12));
        default: return L"SH0300." + std::to_wstring(d.Below(30));
    }
}

core::CallResult RandomResult(Dice& d) {
    switch (d.Below(12)) {
        case 0: return core::CallResult::Returned(Value::Int(0));
        case 1: return core::CallResult::Returned(Value::Int(255));
        case 2: return core::CallResult::Returned(Value::Int(256));
        case 3: return core::CallResult::Returned(Value::Int(-1));
        case 4: return core::CallResult::Returned(Value::Bool(d.Chance(50)));
        case 5: return core::CallResult::Returned(Value::Text(L"abc"));
        case 6: return core::CallResult::Returned(Value::Text(L"7"));
        case 7: return core::CallResult::Returned(Value::Empty());
        case 8: return core::CallResult::Returned(Value::Null());
        case 9: return core::CallResult::Raised(d.Chance(50) ? L"" : L"the service dropped");
        default: return core::CallResult::Returned(Value::Int(1));
    }
}

// A component whose answers and version texts are all drawn at random.
class ChaosDevice : public core::IDevice {
public:
    ChaosDevice(Dice& d, std::wstring gen, fake::Log& log) : d_(d), gen_(std::move(gen)), log_(log) {}
    std::vector<bool> updateResults;  // how each UpdateSmartFirmware read

    core::CallResult Connect(std::wstring&, std::int16_t, std::int16_t, std::int16_t, std::int32_t) override {
        return Answer(L"Connect");
    }
    core::CallResult StartUp(std::int16_t) override { return Answer(L"StartUp"); }
    core::CallResult StartUp(bool, std::int16_t, std::int16_t, std::int16_t, std::int16_t, std::int16_t,
                             std::int16_t, std::int16_t) override {
        return Answer(L"StartUp");
    }
    core::CallResult Disconnect() override { return Answer(L"Disconnect"); }
    core::CallResult GetFirmWareVersion(std::int16_t, std::wstring& fw, std::wstring& ds) override {
        return Versions(L"GetFirmWareVersion", fw, ds);
    }
    core::CallResult CheckSmartFirmwareFile(const std::wstring&, std::int16_t, std::wstring& fw,
                                            std::wstring& ds) override {
        return Versions(L"CheckSmartFirmwareFile", fw, ds);
    }
    core::CallResult UpdateSmartFirmware(const std::wstring& path, std::int16_t) override {
        log_.push_back({gen_, L"UpdateSmartFirmware", {path}});
        auto r = RandomResult(d_);
        updateResults.push_back(r.Succeeded());
        return r;
    }
    core::CallResult SoftStart() override { return Answer(L"SoftStart"); }
    core::CallResult Terminate() override { return Answer(L"Terminate"); }

private:
    core::CallResult Answer(const std::wstring& op) {
        log_.push_back({gen_, op, {}});
        return d_.Chance(60) ? core::CallResult::Returned(Value::Int(1)) : RandomResult(d_);
    }
    core::CallResult Versions(const std::wstring& op, std::wstring& fw, std::wstring& ds) {
        auto r = Answer(op);
        if (d_.Chance(80)) fw = RandomVersion(d_);
        if (d_.Chance(80)) ds = RandomVersion(d_);
        return r;
    }
    Dice& d_;
    std::wstring gen_;
    fake::Log& log_;
};

class ChaosFactory : public core::IDeviceFactory {
public:
    ChaosFactory(Dice& d, fake::Log& log) : d_(d), log_(log) {}
    std::vector<ChaosDevice*> made;
    std::unique_ptr<core::IDevice> Create(const std::wstring& progId) override {
        if (d_.Chance(15)) return nullptr;
        auto dev = std::make_unique<ChaosDevice>(d_, progId == core::kProgIdV2 ? L"v2" : L"v1", log_);
        made.push_back(dev.get());
        return dev;
    }

private:
    Dice& d_;
    fake::Log& log_;
};

// Answers every box at random with one of the buttons it offers.
class RandomUser : public fake::User {
public:
    explicit RandomUser(Dice& d) : d_(d) {}
    std::vector<int> given;
    int Show(const std::wstring& text, unsigned style) override {
        boxes.push_back({text, style});
        int a = core::answer::Ok;
        if ((style & 0xF) == core::box::OkCancel) a = d_.Chance(70) ? core::answer::Ok : core::answer::Cancel;
        if ((style & 0xF) == core::box::YesNo) a = d_.Chance(70) ? core::answer::Yes : core::answer::No;
        given.push_back(a);
        return a;
    }

private:
    Dice& d_;
};

class ChaosFiles : public core::IFiles {
public:
    explicit ChaosFiles(Dice& d) : present{d.Chance(80), d.Chance(80)} {}
    bool present[2];
    bool IsOrdinaryFile(const std::wstring& path) override {
        return path == core::ImagePath(kFolder, 0) ? present[0] : path == core::ImagePath(kFolder, 1) && present[1];
    }
};

void ExpectLayout(const Lines& list, bool available) {
    ASSERT_EQ(list.size(), 10u);
    const Lines labels{L"Coin validator:", L"", L"", L"Coin recycler:", L"", L"", L"", L"Banknote module:"};
    for (int i : {0, 2, 3, 6, 7}) EXPECT_EQ(list[i], labels[i]) << "line " << i;
    for (int i : {1, 4, 8}) EXPECT_EQ(list[i].substr(0, 4), L"FW: ") << "line " << i;
    for (int i : {5, 9}) EXPECT_EQ(list[i].substr(0, 4), L"DS: ") << "line " << i;
    if (available) {
        EXPECT_EQ(list[1], L"FW: -NOT AVAILABLE-");
    }
}

int CountOp(const fake::Log& log, const std::wstring& op) {
    return int(std::count_if(log.begin(), log.end(), [&](const fake::Call& c) { return c.op == op; }));
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix) { return s.rfind(prefix, 0) == 0; }

// One update command and, when confirmed, its run; checks what must never happen.
void OneCommand(Dice& dice, const core::Session& s, fake::MainView& view, ChaosFiles& files, RandomUser& user,
                core::MainState& state, fake::Log& log) {
    const std::uint8_t device = std::uint8_t(dice.Below(2));
    if (!(device == 0 ? view.command1 : view.command2)) return;  // a disabled button cannot be pressed
    if (dice.Chance(10)) files.present[device] = false;           // deleted after the load
    const bool imageThere = files.present[device];
    const bool versionKnown = device == 0 ? state.recyclerVersionKnown : state.banknoteVersionKnown;
    const bool tooOld = StartsWith(view.List1Line(8), L"FW: NV0200410");
    const std::size_t boxesBefore = user.boxes.size();
    const int writesBefore = CountOp(log, L"UpdateSmartFirmware");

    if (!core::ConfirmUpdateCommand(device, kFolder, view, files, user, state)) {
        EXPECT_EQ(CountOp(log, L"UpdateSmartFirmware"), writesBefore);
        return;
    }
    EXPECT_TRUE(imageThere);
    EXPECT_TRUE(versionKnown);

    core::WaitRequest request;
    core::FillWaitRequest(request, device, 0.0f, 0.0f, true);
    core::WaitFlags flags;
    fake::WaitView wait;
    fake::Clock clock;
    core::RunUpdate(s, kFolder, request, flags, view, wait, user, clock, state);
    EXPECT_TRUE(flags.updateFinished);

    const int writes = CountOp(log, L"UpdateSmartFirmware") - writesBefore;
    EXPECT_LE(writes, 1);
    if (device == 1 && tooOld) {
        EXPECT_EQ(writes, 0) << "too-old banknote module written";
    }
    bool declined = false, success = false;
    for (std::size_t i = boxesBefore; i < user.boxes.size(); ++i) {
        if (StartsWith(user.boxes[i].text, L"The current version of the device") && user.given[i] == core::answer::No)
            declined = true;
        if (user.boxes[i].text == L"Device updated correctly.") success = true;
    }
    if (declined) {
        EXPECT_EQ(writes, 0) << "written after a declined downgrade";
    }
    auto* chaos = dynamic_cast<ChaosDevice*>(&s.InUse());
    const bool lastWriteSucceeded = writes == 1 && chaos->updateResults.back();
    EXPECT_EQ(success, lastWriteSucceeded) << "success box without a successful write, or none after one";
}

void OneRun(std::uint64_t seed) {
    SCOPED_TRACE("replay with FAULT_SEED=" + std::to_string(seed));
    Dice dice(seed);
    fake::Log log;
    ChaosFactory factory(dice, log);
    RandomUser user(dice);
    core::Session s;
    if (!core::StartUpSequence(factory, user, s)) {
        EXPECT_EQ(CountOp(log, L"Terminate"), 0);
        return;
    }
    fake::MainView view;
    ChaosFiles files(dice);
    core::MainState state;
    core::LoadMainWindow(s, kFolder, view, files, user, state);
    ExpectLayout(view.list1, false);
    ExpectLayout(view.list2, true);
    EXPECT_EQ(CountOp(log, L"UpdateSmartFirmware"), 0);

    for (int commands = dice.Below(4); commands > 0; --commands) {
        OneCommand(dice, s, view, files, user, state, log);
        ExpectLayout(view.list1, false);
        ExpectLayout(view.list2, true);
        if (::testing::Test::HasFailure()) return;
    }
    const std::size_t before = log.size();
    core::ShutDown(s);
    ASSERT_EQ(log.size(), before + 1);
    EXPECT_EQ(log.back().op, L"Terminate");
    EXPECT_EQ(log.back().generation, s.usingV2 ? L"v2" : L"v1");
}

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

}  // namespace

TEST(FaultCampaign, RandomComponentAndUserNeverBreakTheRules) {
    if (const std::uint64_t one = EnvNumber("FAULT_SEED", 0)) return OneRun(one);
    const std::uint64_t seeds = EnvNumber("FAULT_SEEDS", 3000);
    for (std::uint64_t seed = 1; seed <= seeds && !HasFailure(); ++seed) OneRun(seed);
}
