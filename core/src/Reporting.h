#pragma once
// Internal to the core: reading versions and telling what failed, shared by
// the main window's load and the update run's closing report.
#include <string>
#include <vector>

#include "core/Device.h"
#include "core/Messages.h"

namespace core {

inline constexpr unsigned kWarningBox = box::Ok | box::IconWarning;

// What failed during one load or report, told in one box at the end.
class FailureNotes {
public:
    void Add(const std::wstring& what, const std::wstring& description) {
        std::wstring line = what;
        if (!description.empty()) line += L": " + description;
        for (const auto& l : lines_)
            if (l == line) return;
        lines_.push_back(std::move(line));
    }
    void ShowIfAny(IMessages& ui) const {
        if (lines_.empty()) return;
        std::wstring text;
        for (const auto& l : lines_) text += (text.empty() ? L"" : L"\r\n") + l;
        ui.Show(text, kWarningBox);
    }

private:
    std::vector<std::wstring> lines_;
};

// Reads one device's versions into `fw` and `ds` (0 validator, 1 recycler,
// 2 banknote). A call that fails leaves both empty, so nothing stale is ever
// shown for that device, and notes the failure.
bool ReadVersions(IDevice& device, int shownDevice, bool usingV2, std::wstring& fw, std::wstring& ds,
                  FailureNotes& notes);

}  // namespace core
