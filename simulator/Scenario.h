#pragma once
// Test scenario of the simulator: forced results, delays and device
// versions, read from the file named by ARCONSIM_SCENARIO.
#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Gen { V1, V2 };
inline const wchar_t* GenName(Gen g) { return g == Gen::V1 ? L"v1" : L"v2"; }

// What an operation answers instead of its own result.
struct Outcome {
    enum class Kind { I2, I4, UI1, R8, Bool, Str, Empty, Null, Raise, HResult };
    Kind kind = Kind::Empty;
    long long integer = 0;
    double real = 0.0;
    bool boolean = false;
    std::wstring text;  // Str, Raise
    HRESULT hr = S_OK;  // HResult
};

struct OperationScript {
    std::vector<Outcome> results;  // the last one repeats; empty: the operation's own result
    DWORD delayMs = 0;
    bool writeNone = false;        // GetFirmWareVersion leaves the strings alone
};

enum Device { kValidator = 0, kRecycler = 1, kBanknote = 2 };

struct Versions {
    std::wstring fw;
    std::wstring ds;
};
using DeviceTable = std::array<Versions, 3>;

DeviceTable DefaultDevices();

// Scenario keys chaos, chaos.rate and chaos.delay_ms.
struct ChaosSettings {
    bool on = false;
    std::uint64_t seed = 0;
    unsigned rate = 30;         // percent of calls whose answer is drawn
    DWORD maxDelayMs = 300;     // the longest delay a call may get
};

struct Scenario {
    ChaosSettings chaos;
    std::map<std::wstring, OperationScript> ops;  // "v2.connect" (lower case)
    std::map<std::wstring, std::wstring> device;  // "recycler.fw" -> text
    DWORD updateMs = 3000;
    std::wstring statePath;
    bool acceptUnreadableImages = false;          // "unreadable_images = accept"
    bool postToSelf = false;                      // keeps posting to a window of its own while idle
    std::vector<std::wstring> errors;             // one per rejected line

    const OperationScript* Find(Gen gen, std::wstring_view op) const;
    // Applies the scenario's device.* keys onto a table.
    void ApplyDevices(DeviceTable& table) const;

    static Scenario Parse(std::string_view utf8);
    static Scenario Load(const std::wstring& path);
};

// A text value: blanks around it trimmed, escapes resolved, "repeat:N:TEXT"
// expanded. nullopt (with a reason) for a malformed value.
std::optional<std::wstring> ParseText(std::wstring_view raw, std::wstring& error);
std::optional<Outcome> ParseOutcome(std::wstring_view raw, std::wstring& error);
// The inverse of ParseText, for the state file.
std::wstring EscapeText(std::wstring_view text);

// Device versions that outlive the process (scenario key "state").
bool LoadState(const std::wstring& path, DeviceTable& table);
bool SaveState(const std::wstring& path, const DeviceTable& table);

}  // namespace sim
