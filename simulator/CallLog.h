#pragma once
// The call log: one tab-separated UTF-8 line per event, appended to the
// file named by ARCONSIM_LOG. Tests read it to see exactly which VARIANT
// types the caller passed.
#include <windows.h>

#include <string>
#include <string_view>

namespace sim {

// "I2=8001", "BSTR|BYREF=127.0.0.1", "BOOL=-1", "EMPTY=".
std::wstring FormatVariant(const VARIANT& v);
// Backslash, tab, CR, LF and NUL escaped; over 200 characters as "<len N>".
std::wstring EscapeForLog(std::wstring_view text);

class CallLog {
public:
    explicit CallLog(std::wstring path) : path_(std::move(path)) {}
    // Opened per line in append mode, so several processes can share the
    // file and a crash loses no line already written.
    void Write(const std::wstring& line) const;

private:
    std::wstring path_;
};

}  // namespace sim
