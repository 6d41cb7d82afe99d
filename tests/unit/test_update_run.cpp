// The update run: version decisions, the downgrade and too-old boxes, the
// firmware write, the wait, the restart and the closing report.
#include <gtest/gtest.h>

#include "Fakes.h"
#include "core/UpdateRun.h"

using core::Value;
using fake::Raise;
using fake::Returns;
using Lines = std::vector<std::wstring>;

namespace {

const std::wstring kFolder = L"C:\\run";
const std::wstring kTooOld = L"\u00A1WARNING!\r\nIt is not possible";
const std::wstring kDowngrade = L"The current version of the device is the same or newer";

struct RunBed {
    fake::Log log;
    fake::User user;
    fake::MainView view;
    fake::WaitView wait;
    fake::Clock clock;
    core::MainState state;
    core::Session session;
    core::WaitRequest request;
    core::WaitFlags flags;
    fake::Device* device = nullptr;

    explicit RunBed(std::uint8_t which, bool usingV2 = true) {
        device = &fake::InstallDevice(session, usingV2, log);
        wait.log = &log;
        core::FillWaitRequest(request, which, 100.0f, 100.0f, true);
        view.list1 = {L"Coin validator:", L"FW: CV1", L"", L"Coin recycler:", L"FW: SH0300.10", L"DS: SHDS0100",
                      L"", L"Banknote module:", L"FW: NV0300.20", L"DS: NVDS0200"};
        view.list2 = {L"Coin validator:", L"FW: -NOT AVAILABLE-", L"", L"Coin recycler:", L"FW: SH0300.20",
                      L"DS: SHDS0101", L"", L"Banknote module:", L"FW: NV0300.30", L"DS: NVDS0201"};
        // After the write the devices report new versions.
        device->versions[usingV2 ? 1 : 2] = {L"CV1", L"CVDS"};
        device->versions[usingV2 ? 2 : 0] = {L"SH0300.20", L"SHDS0101"};
        device->versions[usingV2 ? 3 : 1] = {L"NV0300.30", L"NVDS0201"};
    }
    void Run() {
        core::RunUpdate(session, kFolder, request, flags, view, wait, user, clock, state);
    }
    Lines Ops() const {
        Lines out;
        for (auto& c : log) out.push_back(c.op + (c.args.empty() ? L"" : L" " + c.args.back()));
        return out;
    }
    Lines BoxStarts() const {
        Lines out;
        for (auto& b : user.boxes) out.push_back(b.text.substr(0, 20));
        return out;
    }
    bool Updated() const {
        for (auto& c : log)
            if (c.op == L"UpdateSmartFirmware") return true;
        return false;
    }
};

std::wstring Start(const std::wstring& s) { return s.substr(0, 20); }

}  // namespace

TEST(UpdateRun, RecyclerUpdateOnSecondGeneration) {
    RunBed t(core::kRecycler);
    const std::uint64_t before = t.clock.now;
    t.Run();
    EXPECT_EQ(t.Ops(), (Lines{L"UpdateSmartFirmware 1", L"StartUp 0", L"GetFirmWareVersion 1",
                              L"GetFirmWareVersion 2", L"GetFirmWareVersion 3"}));
    EXPECT_EQ(t.log[0].args[0], L"C:\\run\\SMARTHOPPER");
    EXPECT_EQ(t.wait.captions, (Lines{L"Updating ...", L"Verifying ...."}));
    EXPECT_EQ(t.wait.writeStarts, std::vector<size_t>{0}) << "the machine kept awake from just before the write";
    EXPECT_GE(t.clock.now - before, 5000u);
    EXPECT_LT(t.clock.now - before, 5200u);
    EXPECT_GT(t.clock.pumps, 10);
    ASSERT_EQ(t.user.boxes.size(), 1u);
    EXPECT_EQ(t.user.boxes[0].text, L"Device updated correctly.");
    EXPECT_EQ(t.user.boxes[0].style, core::box::Ok | core::box::IconInformation);
    EXPECT_EQ(t.view.list1, (Lines{L"Coin validator:", L"FW: CV1", L"", L"Coin recycler:", L"FW: SH0300.20",
                                   L"DS: SHDS0101", L"", L"Banknote module:", L"FW: NV0300.30", L"DS: NVDS0201"}));
    EXPECT_FALSE(t.view.command1);
    EXPECT_TRUE(t.view.command2);
    EXPECT_TRUE(t.flags.updateFinished);
}

TEST(UpdateRun, BanknoteUpdateOnFirstGenerationWaitsLongerAndSoftStarts) {
    RunBed t(core::kBanknote, false);
    const std::uint64_t before = t.clock.now;
    t.Run();
    EXPECT_EQ(t.Ops(), (Lines{L"UpdateSmartFirmware 1", L"SoftStart", L"GetFirmWareVersion 2",
                              L"GetFirmWareVersion 0", L"GetFirmWareVersion 1"}));
    EXPECT_EQ(t.log[0].args[0], L"C:\\run\\SMARTPAYOUT");
    EXPECT_GE(t.clock.now - before, 25000u);
    EXPECT_LT(t.clock.now - before, 25200u);
    EXPECT_TRUE(t.view.command1);
    EXPECT_FALSE(t.view.command2);
}

TEST(UpdateRun, EqualVersionsAskBeforeADowngrade) {
    RunBed no(core::kRecycler);
    no.view.list2 = no.view.list1;
    no.user.answers = {core::answer::No};
    no.Run();
    EXPECT_FALSE(no.Updated());
    ASSERT_EQ(no.user.boxes.size(), 1u);
    EXPECT_EQ(no.user.boxes[0].text,
              L"The current version of the device is the same or newer that the available version to update "
              L"to.\r\n\u00BFDo you want to downgrade?");
    EXPECT_EQ(no.user.boxes[0].style, core::box::YesNo | core::box::IconQuestion);
    EXPECT_TRUE(no.flags.updateFinished);

    RunBed yes(core::kRecycler);
    yes.view.list2 = yes.view.list1;
    yes.Run();
    EXPECT_TRUE(yes.Updated());
    EXPECT_EQ(yes.BoxStarts(), (Lines{Start(kDowngrade), L"Device updated corre"}));
}

TEST(UpdateRun, NewerDatasetAloneOrNumericallyNewerFirmwareNeedsNoQuestion) {
    RunBed ds(core::kRecycler);
    ds.view.list2[4] = ds.view.list1[4];
    ds.Run();
    EXPECT_TRUE(ds.Updated());
    EXPECT_EQ(ds.user.boxes.size(), 1u);

    RunBed natural(core::kRecycler);  // 9 before 10
    natural.view.list1[4] = L"FW: 9";
    natural.view.list2[4] = L"FW: 10";
    natural.view.list2[5] = natural.view.list1[5];
    natural.Run();
    EXPECT_TRUE(natural.Updated());
    EXPECT_EQ(natural.user.boxes.size(), 1u);

    RunBed error(core::kRecycler);  // an error line counts as newer
    error.view.list2[4] = L"FW: \u00A1ERROR!";
    error.view.list2[5] = L"DS: \u00A1ERROR!";
    error.Run();
    EXPECT_TRUE(error.Updated());
}

TEST(UpdateRun, TooOldBanknoteModuleIsNeverUpdated) {
    for (int answer : {core::answer::Yes, core::answer::No}) {
        RunBed t(core::kBanknote);
        t.view.list1[8] = L"FW: NV02004101";
        t.user.answers = {core::answer::Ok, answer};
        t.Run();
        EXPECT_FALSE(t.Updated());
        EXPECT_EQ(t.BoxStarts(), (Lines{Start(kTooOld), Start(kDowngrade), Start(kTooOld)}));
        EXPECT_EQ(t.user.boxes[0].style, core::box::Ok | core::box::IconWarning);
        EXPECT_TRUE(t.flags.updateFinished);
    }
}

TEST(UpdateRun, TooOldBanknoteWarnsTwiceDuringARecyclerUpdate) {
    RunBed t(core::kRecycler);
    t.view.list1[8] = L"FW: NV0200410";
    t.Run();
    EXPECT_TRUE(t.Updated());
    // The second warning comes after the write, wait and restart, before the success box.
    EXPECT_EQ(t.BoxStarts(), (Lines{Start(kTooOld), Start(kTooOld), L"Device updated corre"}));
}

TEST(UpdateRun, FailedWriteReportsAndStops) {
    for (auto result : {Returns(Value::Int(0)), Returns(Value::Int(-1)), Returns(Value::Text(L"done")),
                        Raise(L"device busy")}) {
        RunBed t(core::kRecycler);
        t.device->scripted[L"UpdateSmartFirmware"] = {result};
        const Lines before = t.view.list1;
        t.Run();
        EXPECT_EQ(t.Ops(), (Lines{L"UpdateSmartFirmware 1"}));  // no restart, no report
        ASSERT_EQ(t.user.boxes.size(), 1u);
        EXPECT_EQ(t.user.boxes[0].text.substr(0, 34), L"\u00A1An error occurred while updating!");
        EXPECT_EQ(t.user.boxes[0].style, core::box::Ok | core::box::IconError);
        if (result.raised) {
            EXPECT_EQ(t.user.boxes[0].text, L"\u00A1An error occurred while updating!\r\ndevice busy");
        }
        EXPECT_FALSE(t.request.updating);
        EXPECT_EQ(t.view.list1, before);
        EXPECT_TRUE(t.view.command1);
        EXPECT_TRUE(t.flags.updateFinished);
    }
}

TEST(UpdateRun, FailedRestartAndReportQueriesAreTold) {
    RunBed t(core::kRecycler);
    t.device->scripted[L"StartUp"] = {Raise(L"no answer")};
    t.device->scripted[L"GetFirmWareVersion"] = {Returns(Value::Int(1)), Raise(L"lost"), Returns(Value::Int(1))};
    t.Run();
    EXPECT_EQ(t.user.boxes[0].text, L"The device was updated, but it could not be restarted.\r\nno answer");
    EXPECT_EQ(t.user.boxes[0].style, core::box::Ok | core::box::IconWarning);
    EXPECT_EQ(t.user.boxes[1].text, L"Device updated correctly.");
    EXPECT_EQ(t.user.boxes[2].text, L"Could not read the versions of the devices: lost");
    EXPECT_EQ(t.view.list1[4], L"FW: ");
    EXPECT_EQ(t.view.list1[5], L"DS: ");
    EXPECT_EQ(t.view.list1.size(), 10u);
    EXPECT_FALSE(t.state.recyclerVersionKnown);
    EXPECT_TRUE(t.state.banknoteVersionKnown);
    EXPECT_TRUE(t.flags.updateFinished);

    // The restart's result is not looked at: only a call that fails is told.
    for (bool usingV2 : {true, false}) {
        for (auto result : {Returns(Value::Int(0)), Returns(Value::Empty())}) {
            RunBed quiet(core::kRecycler, usingV2);
            quiet.device->scripted[usingV2 ? L"StartUp" : L"SoftStart"] = {result};
            quiet.Run();
            EXPECT_EQ(quiet.BoxStarts(), (Lines{L"Device updated corre"}));
        }
    }
}

TEST(UpdateRun, ReportNeverShowsAnotherDevicesVersion) {
    RunBed t(core::kRecycler);
    t.device->versions.erase(2);  // the component writes nothing for the recycler
    t.Run();
    EXPECT_EQ(t.view.list1[1], L"FW: CV1");
    EXPECT_EQ(t.view.list1[4], L"FW: ");
    EXPECT_EQ(t.view.list1[5], L"DS: ");
}

TEST(UpdateRun, RunsOnceAndOnlyForAnUpdateRequest) {
    RunBed t(core::kRecycler);
    t.device->onUpdate = [&] { t.Run(); };  // a focus event let through during the write
    t.Run();
    EXPECT_EQ(std::count_if(t.log.begin(), t.log.end(), [](auto& c) { return c.op == L"UpdateSmartFirmware"; }), 1);

    RunBed cover(core::kRecycler);
    cover.request.updating = false;
    cover.Run();
    EXPECT_TRUE(cover.log.empty());
    EXPECT_FALSE(cover.flags.updateFinished);  // the start-up cover stays until the main window closes it
    EXPECT_EQ(cover.flags.updateStarted, 1);

    for (std::uint8_t other : {2, 255}) {
        RunBed t2(other);
        t2.Run();
        EXPECT_TRUE(t2.log.empty());
        EXPECT_TRUE(t2.user.boxes.empty());
        EXPECT_TRUE(t2.flags.updateFinished);
    }
}

TEST(UpdateRun, WaitLastsTheStatedTimeAndPumpsAtLeastOnce) {
    fake::Clock clock;
    clock.now = ~std::uint64_t{0} - 20000;  // near the end of the range
    const std::uint64_t start = clock.now;
    core::WaitKeepingEventsFlowing(clock, 5000);
    EXPECT_GE(clock.now - start, 5000u);
    fake::Clock zero;
    core::WaitKeepingEventsFlowing(zero, 0);
    EXPECT_EQ(zero.pumps, 1);
}
