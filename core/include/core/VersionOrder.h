#pragma once
// The order of version lines: by character code, except that runs of ASCII
// digits compare by numeric value ("...9" before "...10"). Runs are never
// parsed into integers, so lines of any length compare safely.
#include <string_view>

namespace core {

// <0, 0, >0 like a three-way comparison; 0 only for identical lines.
int CompareVersionLines(std::wstring_view a, std::wstring_view b);

inline bool SortsBefore(std::wstring_view a, std::wstring_view b) { return CompareVersionLines(a, b) < 0; }

}  // namespace core
