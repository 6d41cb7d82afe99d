// The main window's version lists, image checks and update-command guards.
#include <gtest/gtest.h>

#include "Fakes.h"
#include "core/MainWindow.h"

using core::Value;
using fake::Raise;
using fake::Returns;
using Lines = std::vector<std::wstring>;

namespace {

const std::wstring kFolder = L"C:\\run";
const std::wstring kHopper = L"C:\\run\\SMARTHOPPER";
const std::wstring kPayout = L"C:\\run\\SMARTPAYOUT";

struct MainBed {
    fake::Log log;
    fake::User user;
    fake::MainView view;
    fake::Files files;
    core::MainState state;
    core::Session session;
    fake::Device* device = nullptr;

    explicit MainBed(bool usingV2 = true) {
        device = &fake::InstallDevice(session, usingV2, log);
        const int validator = usingV2 ? 1 : 2, recycler = usingV2 ? 2 : 0, banknote = usingV2 ? 3 : 1;
        device->versions[validator] = {L"CV1", L"CVDS"};
        device->versions[recycler] = {L"SH0300.10", L"SHDS0100"};
        device->versions[banknote] = {L"NV0300.20", L"NVDS0200"};
        device->images[kHopper] = {L"SH0300.20", L"SHDS0101"};
        device->images[kPayout] = {L"NV0300.30", L"NVDS0201"};
        files.present = {kHopper, kPayout};
    }
    void Load() { core::LoadMainWindow(session, kFolder, view, files, user, state); }
    bool Command(std::uint8_t device) {
        return core::ConfirmUpdateCommand(device, kFolder, view, files, user, state);
    }
};

}  // namespace

TEST(MainWindowLoad, BothImagesAccepted) {
    MainBed t;
    t.Load();
    EXPECT_EQ(t.view.list1, (Lines{L"Coin validator:", L"FW: CV1", L"", L"Coin recycler:", L"FW: SH0300.10",
                                   L"DS: SHDS0100", L"", L"Banknote module:", L"FW: NV0300.20", L"DS: NVDS0200"}));
    EXPECT_EQ(t.view.list2, (Lines{L"Coin validator:", L"FW: -NOT AVAILABLE-", L"", L"Coin recycler:",
                                   L"FW: SH0300.20", L"DS: SHDS0101", L"", L"Banknote module:", L"FW: NV0300.30",
                                   L"DS: NVDS0201"}));
    EXPECT_TRUE(t.view.command1 && t.view.command2);
    EXPECT_EQ(t.view.doEvents, 1);
    EXPECT_TRUE(t.view.waitWindowUnloaded);
    EXPECT_TRUE(t.user.boxes.empty());
    // Version reads in order, then the two checks with the full image paths.
    std::vector<std::wstring> ops;
    for (auto& c : t.log) ops.push_back(c.op + L" " + c.args[0] + (c.args.size() > 1 ? L" " + c.args[1] : L""));
    EXPECT_EQ(ops, (Lines{L"GetFirmWareVersion 1", L"GetFirmWareVersion 2", L"GetFirmWareVersion 3",
                          L"CheckSmartFirmwareFile C:\\run\\SMARTHOPPER 0",
                          L"CheckSmartFirmwareFile C:\\run\\SMARTPAYOUT 1"}));
}

TEST(MainWindowLoad, FirstGenerationUsesItsDeviceNumbers) {
    MainBed t(false);
    t.Load();
    EXPECT_EQ(t.log[0].args[0], L"2");
    EXPECT_EQ(t.log[1].args[0], L"0");
    EXPECT_EQ(t.log[2].args[0], L"1");
    EXPECT_EQ(t.view.list1[4], L"FW: SH0300.10");
}

TEST(MainWindowLoad, MissingAndRejectedImages) {
    MainBed none;
    none.files.present.clear();
    none.Load();
    EXPECT_EQ(Lines(none.view.list2.begin() + 3, none.view.list2.end()),
              (Lines{L"Coin recycler:", L"FW: \u00A1ERROR!", L"DS: \u00A1ERROR!", L"", L"Banknote module:",
                     L"FW: \u00A1ERROR!", L"DS: \u00A1ERROR!"}));
    EXPECT_TRUE(none.view.command1 && none.view.command2);  // a missing image leaves its button enabled
    EXPECT_EQ(none.log.size(), 3u);                          // and is never handed to the component

    MainBed rejected;
    rejected.device->scripted[L"CheckSmartFirmwareFile"] = {Returns(Value::Int(1)), Returns(Value::Int(0))};
    rejected.Load();
    EXPECT_TRUE(rejected.view.command1);
    EXPECT_FALSE(rejected.view.command2);
    EXPECT_EQ(rejected.view.list2[8], L"FW: \u00A1ERROR!");
    EXPECT_EQ(rejected.view.list1[8], L"FW: NV0300.20");  // the devices' own versions stay in List1

    MainBed nonsense;  // a result that is no byte is a rejection, not an acceptance
    nonsense.device->scripted[L"CheckSmartFirmwareFile"] = {Returns(Value::Int(-1)), Returns(Value::Text(L"x"))};
    nonsense.Load();
    EXPECT_FALSE(nonsense.view.command1 || nonsense.view.command2);
    EXPECT_TRUE(nonsense.user.boxes.empty());
}

TEST(MainWindowLoad, VersionTextsAreListedAsWrittenWhateverTheResult) {
    MainBed t;
    t.device->versions[2] = {L"", L"\u00D1\u00E9\u4E2D"};
    t.Load();
    EXPECT_EQ(t.view.list1[4], L"FW: ");
    EXPECT_EQ(t.view.list1[5], L"DS: \u00D1\u00E9\u4E2D");

    MainBed zero;  // a read that returns 0 but writes its texts is no failure
    zero.device->scripted[L"GetFirmWareVersion"] = {Returns(Value::Int(0))};
    zero.Load();
    EXPECT_EQ(zero.view.list1[1], L"FW: CV1");
    EXPECT_EQ(zero.view.list1[8], L"FW: NV0300.20");
    EXPECT_TRUE(zero.user.boxes.empty());
    EXPECT_TRUE(zero.state.recyclerVersionKnown && zero.state.banknoteVersionKnown);
}

TEST(MainWindowLoad, FailedCallsKeepTenLinesAndAreToldOnce) {
    MainBed t;
    // Two reads raise alike: one line tells both.
    t.device->scripted[L"GetFirmWareVersion"] = {Returns(Value::Int(1)), Raise(L"link down"), Raise(L"link down")};
    t.device->scripted[L"CheckSmartFirmwareFile"] = {Raise(L"bad file"), Returns(Value::Int(1))};
    t.user.onShow = [&] { EXPECT_TRUE(t.view.waitWindowUnloaded) << "a box over the start-up cover"; };
    t.Load();
    ASSERT_EQ(t.view.list1.size(), 10u);
    ASSERT_EQ(t.view.list2.size(), 10u);
    EXPECT_EQ(t.view.list1[4], L"FW: ");
    EXPECT_EQ(t.view.list1[5], L"DS: ");
    EXPECT_EQ(t.view.list1[9], L"DS: ");
    EXPECT_FALSE(t.state.recyclerVersionKnown);
    EXPECT_FALSE(t.state.banknoteVersionKnown);
    EXPECT_FALSE(t.view.command1);
    ASSERT_EQ(t.user.boxes.size(), 1u);
    EXPECT_EQ(t.user.boxes[0].text,
              L"Could not read the versions of the devices: link down\r\n"
              L"Could not check the firmware file SMARTHOPPER: bad file");
    EXPECT_EQ(t.user.boxes[0].style, core::box::Ok | core::box::IconWarning);
}

TEST(UpdateCommand, AsksBothQuestionsAndStopsOnCancelOrNo) {
    MainBed t;
    t.Load();
    EXPECT_TRUE(t.Command(core::kRecycler));
    ASSERT_EQ(t.user.boxes.size(), 2u);
    EXPECT_EQ(t.user.boxes[0].text, L"\u00BFDo you want to update the coin recycler with the available firmware?");
    EXPECT_EQ(t.user.boxes[0].style, core::box::OkCancel | core::box::IconQuestion);
    EXPECT_EQ(t.user.boxes[1].text.substr(0, 14), L"\u00A1WARNING!\r\nThe");
    EXPECT_NE(t.user.boxes[1].text.find(L"stability.\r\nIf any error"), std::wstring::npos);
    EXPECT_EQ(t.user.boxes[1].style, core::box::YesNo | core::box::IconInformation);

    t.user.boxes.clear();
    t.user.answers = {core::answer::Cancel};
    EXPECT_FALSE(t.Command(core::kBanknote));
    ASSERT_EQ(t.user.boxes.size(), 1u);
    EXPECT_EQ(t.user.boxes[0].text, L"\u00BFDo you want to update the banknote unit with the available firmware?");

    t.user.boxes.clear();
    t.user.answers = {core::answer::Ok, core::answer::No};
    EXPECT_FALSE(t.Command(core::kBanknote));
    EXPECT_EQ(t.user.boxes.size(), 2u);
}

TEST(UpdateCommand, RefusesWithoutACheckedImageOrAKnownVersion) {
    MainBed missing;
    missing.files.present = {kPayout};
    missing.Load();
    EXPECT_FALSE(missing.Command(core::kRecycler));
    ASSERT_EQ(missing.user.boxes.size(), 1u);
    EXPECT_EQ(missing.user.boxes[0].text,
              L"The firmware file for the coin recycler was not found. Nothing has been updated.");
    EXPECT_EQ(missing.user.boxes[0].style, core::box::Ok | core::box::IconWarning);

    MainBed late;  // missing at load, put in place afterwards: never checked
    late.files.present = {kPayout};
    late.Load();
    late.files.present.insert(kHopper);
    EXPECT_FALSE(late.Command(core::kRecycler));
    EXPECT_EQ(late.user.boxes.size(), 1u);

    MainBed deleted;  // checked at load, gone when the button is pressed
    deleted.Load();
    deleted.files.present.erase(kPayout);
    EXPECT_FALSE(deleted.Command(core::kBanknote));
    EXPECT_EQ(deleted.user.boxes[0].text,
              L"The firmware file for the banknote unit was not found. Nothing has been updated.");

    MainBed unknown;
    unknown.device->scripted[L"GetFirmWareVersion"] = {Returns(Value::Int(1)), Returns(Value::Int(1)),
                                                       Raise(L"")};
    unknown.Load();
    unknown.user.boxes.clear();
    EXPECT_TRUE(unknown.Command(core::kRecycler));
    unknown.user.boxes.clear();
    EXPECT_FALSE(unknown.Command(core::kBanknote));
    ASSERT_EQ(unknown.user.boxes.size(), 1u);
    EXPECT_EQ(unknown.user.boxes[0].text,
              L"The current version of the banknote module could not be read. Nothing has been updated.");
}
