#include "core/VersionOrder.h"

#include <cstdint>

namespace core {
namespace {

bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Character codes compare unsigned whatever the width of wchar_t.
std::uint32_t Code(wchar_t c) { return static_cast<std::uint32_t>(c) & 0x1FFFFFu; }

int Ordinal(std::wstring_view a, std::wstring_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return Code(a[i]) < Code(b[i]) ? -1 : 1;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::size_t RunEnd(std::wstring_view s, std::size_t from) {
    while (from < s.size() && IsAsciiDigit(s[from])) ++from;
    return from;
}

std::size_t SkipZeros(std::wstring_view s, std::size_t from, std::size_t end) {
    while (from < end && s[from] == L'0') ++from;
    return from;
}

// Compares two digit runs by value without converting them: after the
// leading zeros the longer run is larger, equal lengths go digit by digit.
int CompareRuns(std::wstring_view a, std::size_t ai, std::size_t ae, std::wstring_view b, std::size_t bi,
                std::size_t be) {
    ai = SkipZeros(a, ai, ae);
    bi = SkipZeros(b, bi, be);
    if (ae - ai != be - bi) return (ae - ai) < (be - bi) ? -1 : 1;
    for (; ai < ae; ++ai, ++bi)
        if (a[ai] != b[bi]) return a[ai] < b[bi] ? -1 : 1;
    return 0;
}

int Natural(std::wstring_view a, std::wstring_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsAsciiDigit(a[i]) && IsAsciiDigit(b[j])) {
            const std::size_t ie = RunEnd(a, i), je = RunEnd(b, j);
            if (int c = CompareRuns(a, i, ie, b, j, je)) return c;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return Code(a[i]) < Code(b[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace

int CompareVersionLines(std::wstring_view a, std::wstring_view b) {
    if (int c = Natural(a, b)) return c;
    return Ordinal(a, b);
}

}  // namespace core
