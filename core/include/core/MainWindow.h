#pragma once
// What the main window does with the component: fill the two ten-line
// version lists, check the firmware images, and guard the update commands.
#include <cstdint>
#include <string>

#include "core/Messages.h"
#include "core/StartUp.h"

namespace core {

inline constexpr int kListLines = 10;
// Line numbers in both lists.
inline constexpr int kLineRecyclerFw = 4;
inline constexpr int kLineRecyclerDs = 5;
inline constexpr int kLineBanknoteFw = 8;
inline constexpr int kLineBanknoteDs = 9;

inline constexpr const wchar_t* kFw = L"FW: ";
inline constexpr const wchar_t* kDs = L"DS: ";
inline constexpr const wchar_t* kFwError = L"FW: \u00A1ERROR!";
inline constexpr const wchar_t* kDsError = L"DS: \u00A1ERROR!";
inline constexpr const wchar_t* kFwNotAvailable = L"FW: -NOT AVAILABLE-";
inline constexpr const wchar_t* kCoinValidator = L"Coin validator:";
inline constexpr const wchar_t* kCoinRecycler = L"Coin recycler:";
inline constexpr const wchar_t* kBanknoteModule = L"Banknote module:";

inline constexpr const wchar_t* kImageRecycler = L"SMARTHOPPER";
inline constexpr const wchar_t* kImageBanknote = L"SMARTPAYOUT";

enum Device : std::uint8_t { kRecycler = 0, kBanknote = 1 };

// Device numbers per generation.
std::int16_t VersionDeviceNumber(int shownDevice /*0 validator, 1 recycler, 2 banknote*/, bool usingV2);
std::int16_t UpdateDeviceNumber(std::uint8_t device, bool usingV2);

// The folder that holds the updater + "\" + the image's file name.
std::wstring ImagePath(const std::wstring& updaterFolder, std::uint8_t device);

// The main window as the logic sees it. Command numbers are 1 and 2.
class IMainView {
public:
    virtual ~IMainView() = default;
    virtual void AddList1(const std::wstring& line) = 0;
    virtual void AddList2(const std::wstring& line) = 0;
    virtual void ClearList1() = 0;
    virtual std::wstring List1Line(int index) const = 0;  // empty when there is no such line
    virtual std::wstring List2Line(int index) const = 0;
    virtual void SetCommandEnabled(int command, bool enabled) = 0;
    virtual void DoEvents() = 0;           // lets waiting window messages through, once
    virtual void UnloadWaitWindow() = 0;  // closes the start-up cover
};

class IFiles {
public:
    virtual ~IFiles() = default;
    // An ordinary file: exists, not a folder, not hidden, not system.
    virtual bool IsOrdinaryFile(const std::wstring& path) = 0;
};

// Which current versions could be read; an unknown version refuses its
// update, since it would slip past the downgrade question and the
// too-old check.
struct MainState {
    bool recyclerVersionKnown = true;
    bool banknoteVersionKnown = true;
};

// Form_Load of the main window, from the version reads to the unloading of
// the start-up cover; ends with one warning box when anything failed.
void LoadMainWindow(const Session& s, const std::wstring& updaterFolder, IMainView& view, IFiles& files,
                    IMessages& ui, MainState& state);

// Command1_Click / Command2_Click up to the wait window: the guards and the
// two questions. True: open the wait window for the update of `device`.
bool ConfirmUpdateCommand(std::uint8_t device, const std::wstring& updaterFolder, const IMainView& view,
                          IFiles& files, IMessages& ui, const MainState& state);

}  // namespace core
