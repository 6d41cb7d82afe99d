#include "core/MainWindow.h"

#include "Reporting.h"

namespace core {
namespace {

struct DeviceTexts {
    const wchar_t* command;    // as the update questions name it
    const wchar_t* versionOf;  // as the unknown-version refusal names it
};

const DeviceTexts& Texts(std::uint8_t device) {
    static const DeviceTexts recycler{L"coin recycler", L"coin recycler"};
    static const DeviceTexts banknote{L"banknote unit", L"banknote module"};
    return device == kRecycler ? recycler : banknote;
}

int CommandOf(std::uint8_t device) { return device == kRecycler ? 1 : 2; }

void AddImageLines(IDevice& device, std::uint8_t which, const std::wstring& folder, std::wstring& fw,
                   std::wstring& ds, IMainView& view, IFiles& files, FailureNotes& notes) {
    const std::wstring path = ImagePath(folder, which);
    bool accepted = false;
    if (files.IsOrdinaryFile(path)) {
        const CallResult r = device.CheckSmartFirmwareFile(path, which, fw, ds);
        accepted = r.Succeeded();
        if (r.raised)
            notes.Add(std::wstring(L"Could not check the firmware file ") +
                          (which == kRecycler ? kImageRecycler : kImageBanknote),
                      r.description);
        if (!accepted) view.SetCommandEnabled(CommandOf(which), false);
    }
    view.AddList2(accepted ? kFw + fw : kFwError);
    view.AddList2(accepted ? kDs + ds : kDsError);
}

bool HasErrorLines(const IMainView& view, std::uint8_t device) {
    const int fwLine = device == kRecycler ? kLineRecyclerFw : kLineBanknoteFw;
    return view.List2Line(fwLine) == kFwError && view.List2Line(fwLine + 1) == kDsError;
}

}  // namespace

bool ReadVersions(IDevice& device, int shownDevice, bool usingV2, std::wstring& fw, std::wstring& ds,
                  FailureNotes& notes) {
    const CallResult r = device.GetFirmWareVersion(VersionDeviceNumber(shownDevice, usingV2), fw, ds);
    if (!r.raised) return true;
    fw.clear();
    ds.clear();
    notes.Add(L"Could not read the versions of the devices", r.description);
    return false;
}

std::int16_t VersionDeviceNumber(int shownDevice, bool usingV2) {
    static constexpr std::int16_t v2[] = {1, 2, 3};
    static constexpr std::int16_t v1[] = {2, 0, 1};
    return usingV2 ? v2[shownDevice] : v1[shownDevice];
}

std::int16_t UpdateDeviceNumber(std::uint8_t device, bool usingV2) {
    if (device == kRecycler) return usingV2 ? 1 : 0;
    return usingV2 ? 3 : 1;
}

std::wstring ImagePath(const std::wstring& updaterFolder, std::uint8_t device) {
    return updaterFolder + L"\\" + (device == kRecycler ? kImageRecycler : kImageBanknote);
}

void LoadMainWindow(const Session& s, const std::wstring& updaterFolder, IMainView& view, IFiles& files,
                    IMessages& ui, MainState& state) {
    IDevice& device = s.InUse();
    FailureNotes notes;
    std::wstring validatorFw, validatorDs, recyclerFw, recyclerDs, banknoteFw, banknoteDs;
    ReadVersions(device, 0, s.usingV2, validatorFw, validatorDs, notes);
    state.recyclerVersionKnown = ReadVersions(device, 1, s.usingV2, recyclerFw, recyclerDs, notes);
    state.banknoteVersionKnown = ReadVersions(device, 2, s.usingV2, banknoteFw, banknoteDs, notes);

    for (const std::wstring& line :
         {std::wstring(kCoinValidator), kFw + validatorFw, std::wstring(), std::wstring(kCoinRecycler),
          kFw + recyclerFw, kDs + recyclerDs, std::wstring(), std::wstring(kBanknoteModule), kFw + banknoteFw,
          kDs + banknoteDs})
        view.AddList1(line);

    view.AddList2(kCoinValidator);
    view.AddList2(kFwNotAvailable);
    view.AddList2(L"");
    view.DoEvents();

    view.AddList2(kCoinRecycler);
    AddImageLines(device, kRecycler, updaterFolder, recyclerFw, recyclerDs, view, files, notes);
    view.AddList2(L"");
    view.AddList2(kBanknoteModule);
    AddImageLines(device, kBanknote, updaterFolder, banknoteFw, banknoteDs, view, files, notes);

    view.UnloadWaitWindow();
    notes.ShowIfAny(ui);
}

bool ConfirmUpdateCommand(std::uint8_t device, const std::wstring& updaterFolder, const IMainView& view,
                          IFiles& files, IMessages& ui, const MainState& state) {
    const DeviceTexts& t = Texts(device);
    if (HasErrorLines(view, device) || !files.IsOrdinaryFile(ImagePath(updaterFolder, device))) {
        ui.Show(std::wstring(L"The firmware file for the ") + t.command + L" was not found. Nothing has been updated.",
                kWarningBox);
        return false;
    }
    const bool known = device == kRecycler ? state.recyclerVersionKnown : state.banknoteVersionKnown;
    if (!known) {
        ui.Show(std::wstring(L"The current version of the ") + t.versionOf +
                    L" could not be read. Nothing has been updated.",
                kWarningBox);
        return false;
    }
    if (ui.Show(std::wstring(L"\u00BFDo you want to update the ") + t.command + L" with the available firmware?",
                box::OkCancel | box::IconQuestion) != answer::Ok)
        return false;
    const std::wstring warning =
        L"\u00A1WARNING!\r\n"
        L"The update process is very sensible. Before starting the update, you must be sure of the system and "
        L"power stability.\r\n"
        L"If any error occurs during the update process it can result in a total failure of the device.\r\n"
        L"Do you want to continue? (the process can take several minutes)";
    return ui.Show(warning, box::YesNo | box::IconInformation) == answer::Yes;
}

}  // namespace core
