#pragma once
// Chaos mode: every answer of every operation may be drawn at random from a
// seeded stream: a result of any type, a raised error, a failing HRESULT,
// odd version texts and delays. The same seed gives the same answers to the
// same calls, so a fault run can be replayed.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Scenario.h"

namespace sim {

// One injected fault, as the call log reports it: "<kind>\t<detail>".
struct ChaosFault {
    std::wstring kind;    // result, raise, hresult, version, delay
    std::wstring detail;  // e.g. "I2=256", "0x80010108", "fw:long", "120"
};

struct ChaosDraw {
    DWORD delayMs = 0;
    std::optional<Outcome> answer;     // replaces the operation's own answer
    std::optional<std::wstring> fw;    // written over the first version string
    std::optional<std::wstring> ds;    // written over the second
    std::vector<ChaosFault> faults;    // in the order they were drawn
};

class Chaos {
public:
    // The stream of one object: the seed, the generation and how many
    // objects of that generation this process created before.
    Chaos(const ChaosSettings& settings, Gen gen, unsigned ordinal);

    // What the next call gets. Version faults are drawn only for operations
    // that write versions back. With `answerFixed` (the scenario forces the
    // result) the answer is drawn all the same, so that the stream stays in
    // step, but not applied.
    ChaosDraw Next(bool writesVersions, bool answerFixed);

private:
    std::uint64_t Next64();
    unsigned Below(unsigned n);
    bool Chance(unsigned percent);
    std::wstring VersionText(std::wstring& kind);

    ChaosSettings settings_;
    std::uint64_t state_;
};

}  // namespace sim
