#include "core/UpdateRun.h"

#include "Reporting.h"

namespace core {
namespace {

constexpr wchar_t kTooOldPrefix[] = L"NV0200410";

const wchar_t kTooOldWarning[] =
    L"\u00A1WARNING!\r\n"
    L"It is not possible to update the firmware of the banknote module (the current version of this module is too "
    L"old).\r\n"
    L"Contact your technical support.";

const wchar_t kDowngradeQuestion[] =
    L"The current version of the device is the same or newer that the available version to update to.\r\n"
    L"\u00BFDo you want to downgrade?";

bool NewerAvailable(const IMainView& view, int fwLine, int dsLine) {
    return SortsBefore(view.List1Line(dsLine), view.List2Line(dsLine)) ||
           SortsBefore(view.List1Line(fwLine), view.List2Line(fwLine));
}

std::wstring VersionAfterLabel(const std::wstring& line) {
    const std::wstring label = kFw;
    return line.compare(0, label.size(), label) == 0 ? line.substr(label.size()) : line;
}

// Everything one run needs, so the steps below read like the run itself.
struct Run {
    const Session& session;
    const std::wstring& folder;
    WaitRequest& request;
    IMainView& mainView;
    IWaitView& waitView;
    IMessages& ui;
    IClock& clock;
    MainState& state;
    bool coinRecyclerUpdated = false;
    bool banknoteModuleUpdated = false;

    IDevice& Device() const { return session.InUse(); }

    void Restart() {
        const CallResult r = session.usingV2 ? Device().StartUp(std::int16_t{0}) : Device().SoftStart();
        if (!r.raised) return;
        std::wstring text = L"The device was updated, but it could not be restarted.";
        if (!r.description.empty()) text += L"\r\n" + r.description;
        ui.Show(text, kWarningBox);
    }

    void UpdateOne(std::uint8_t device, bool& updated) {
        waitView.SetInfo(kTextUpdating);
        waitView.BeforeWrite();
        const CallResult r =
            Device().UpdateSmartFirmware(ImagePath(folder, device), UpdateDeviceNumber(device, session.usingV2));
        if (!r.Succeeded()) {
            std::wstring text = L"\u00A1An error occurred while updating!";
            if (r.raised && !r.description.empty()) text += L"\r\n" + r.description;
            ui.Show(text, box::Ok | box::IconError);
            request.updating = false;
            return;
        }
        updated = true;
        waitView.SetInfo(kTextVerifying);
        WaitKeepingEventsFlowing(clock, device == kRecycler ? kRecyclerSettleMs : kBanknoteSettleMs);
        Restart();
    }

    // Each query starts from empty texts, so a component that writes
    // nothing never shows another device's version on these lines.
    bool Query(int shownDevice, std::wstring& fw, std::wstring& ds, FailureNotes& notes) {
        fw.clear();
        ds.clear();
        return ReadVersions(Device(), shownDevice, session.usingV2, fw, ds, notes);
    }

    void ClosingReport() {
        ui.Show(L"Device updated correctly.", box::Ok | box::IconInformation);
        FailureNotes notes;
        std::wstring fw, ds;
        Query(0, fw, ds, notes);
        mainView.ClearList1();
        mainView.AddList1(kCoinValidator);
        mainView.AddList1(kFw + fw);
        mainView.AddList1(L"");
        state.recyclerVersionKnown = Query(1, fw, ds, notes);
        mainView.AddList1(kCoinRecycler);
        mainView.AddList1(kFw + fw);
        mainView.AddList1(kDs + ds);
        mainView.AddList1(L"");
        state.banknoteVersionKnown = Query(2, fw, ds, notes);
        mainView.AddList1(kBanknoteModule);
        mainView.AddList1(kFw + fw);
        mainView.AddList1(kDs + ds);
        if (request.device == kRecycler) mainView.SetCommandEnabled(1, false);
        if (request.device == kBanknote) mainView.SetCommandEnabled(2, false);
        notes.ShowIfAny(ui);
    }
};

}  // namespace

void WaitKeepingEventsFlowing(IClock& clock, std::uint32_t ms) {
    const std::uint64_t end = clock.NowMs() + ms;
    std::uint64_t now;
    do {
        now = clock.NowMs();
        clock.PumpEvents(now < end ? static_cast<std::uint32_t>(end - now) : 0);
        now = clock.NowMs();
    } while (now < end);
}

bool CoinRecyclerUpdatable(const IMainView& view, bool force) {
    return force || NewerAvailable(view, kLineRecyclerFw, kLineRecyclerDs);
}

bool BanknoteModuleUpdatable(const IMainView& view, IMessages& ui, bool force) {
    bool updatable = force || NewerAvailable(view, kLineBanknoteFw, kLineBanknoteDs);
    if (VersionAfterLabel(view.List1Line(kLineBanknoteFw)).rfind(kTooOldPrefix, 0) == 0) {
        updatable = false;
        ui.Show(kTooOldWarning, box::Ok | box::IconWarning);
    }
    return updatable;
}

void RunUpdate(const Session& s, const std::wstring& updaterFolder, WaitRequest& request, WaitFlags& flags,
               IMainView& mainView, IWaitView& waitView, IMessages& ui, IClock& clock, MainState& state) {
    if (flags.updateStarted == 1) return;
    flags.updateStarted = 1;
    if (!request.updating) return;

    Run run{s, updaterFolder, request, mainView, waitView, ui, clock, state};
    bool force = false;
    const bool recyclerNewer = CoinRecyclerUpdatable(mainView, false);
    const bool banknoteNewer = BanknoteModuleUpdatable(mainView, ui, false);
    if ((request.device == kRecycler && !recyclerNewer) || (request.device == kBanknote && !banknoteNewer))
        force = ui.Show(kDowngradeQuestion, box::YesNo | box::IconQuestion) == answer::Yes;

    if (CoinRecyclerUpdatable(mainView, force) && request.device == kRecycler)
        run.UpdateOne(kRecycler, run.coinRecyclerUpdated);
    if (BanknoteModuleUpdatable(mainView, ui, force) && request.updating && request.device == kBanknote)
        run.UpdateOne(kBanknote, run.banknoteModuleUpdated);
    if (request.updating && (run.coinRecyclerUpdated || run.banknoteModuleUpdated)) run.ClosingReport();
    flags.updateFinished = true;
}

}  // namespace core
