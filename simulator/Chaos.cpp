#include "Chaos.h"

#include <cstdio>

namespace sim {
namespace {

// splitmix64: tiny, and the same numbers on every compiler and library,
// which std::uniform_int_distribution does not promise.
std::uint64_t Mix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Outcome Integer(long long v) {
    Outcome o;
    o.kind = Outcome::Kind::I2;
    o.integer = v;
    return o;
}

Outcome Text(const wchar_t* text) {
    Outcome o;
    o.kind = Outcome::Kind::Str;
    o.text = text;
    return o;
}

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

// The detail as the call log writes the value itself.
std::wstring Describe(const Outcome& o) {
    switch (o.kind) {
    case Outcome::Kind::I2: return L"I2=" + std::to_wstring(o.integer);
    case Outcome::Kind::Bool: return o.boolean ? L"BOOL=-1" : L"BOOL=0";
    case Outcome::Kind::Str: return L"BSTR=" + o.text;
    case Outcome::Kind::Null: return L"NULL=";
    default: return L"EMPTY=";
    }
}

template <class T, size_t N>
const T& Pick(const T (&items)[N], unsigned index) { return items[index % N]; }

}  // namespace

Chaos::Chaos(const ChaosSettings& settings, Gen gen, unsigned ordinal) : settings_(settings) {
    state_ = settings.seed;
    Mix(state_);
    state_ ^= (gen == Gen::V2 ? 0x5632ULL : 0x5631ULL) << 32 | ordinal;
}

std::uint64_t Chaos::Next64() { return Mix(state_); }

unsigned Chaos::Below(unsigned n) { return n ? static_cast<unsigned>(Next64() % n) : 0; }

bool Chaos::Chance(unsigned percent) { return Below(100) < percent; }

std::wstring Chaos::VersionText(std::wstring& kind) {
    switch (Below(5)) {
    case 0:
        kind = L"empty";
        return L"";
    case 1: {
        kind = L"long";
        std::wstring s;
        s.reserve(65536);
        while (s.size() < 65536) s += L"SH0300.99.";
        s.resize(65536);
        return s;
    }
    case 2:
        kind = L"nonascii";
        return L"\u00A1V\u00E9rsi\u00F3n \u4E2D\u6587 \xD83D\xDE00 \u00FF";
    case 3:
        kind = L"nul";
        return std::wstring(L"SH0300\0.10", 10);
    default: {
        // The banknote module that is too old to be updated.
        kind = L"old";
        return L"NV0200410." + std::to_wstring(Below(100));
    }
    }
}

ChaosDraw Chaos::Next(bool writesVersions, bool answerFixed) {
    ChaosDraw d;
    if (!settings_.on) return d;
    const unsigned rate = settings_.rate;

    if (Chance(rate / 2)) {
        d.delayMs = Below(settings_.maxDelayMs + 1);
        d.faults.push_back({L"delay", std::to_wstring(d.delayMs)});
    }

    if (Chance(rate)) {
        static const wchar_t* const kWords[] = {L"OK", L"Error", L"True", L"yes"};
        static const wchar_t* const kNumbers[] = {L"1", L"0", L"255", L"256", L"-1", L" 2 "};
        static const wchar_t* const kRaised[] = {L"Device not responding", L"Service connection lost",
                                                 L"Timeout waiting for the device", L""};
        static const HRESULT kFailures[] = {E_FAIL, static_cast<HRESULT>(0x80010108) /* RPC_E_DISCONNECTED */,
                                            static_cast<HRESULT>(0x80010105) /* RPC_E_SERVERFAULT */, E_UNEXPECTED,
                                            DISP_E_TYPEMISMATCH, E_OUTOFMEMORY};
        Outcome o;
        switch (Below(13)) {
        case 0: o = Integer(0); break;
        case 1: o = Integer(1); break;
        case 2: o = Integer(255); break;
        case 3: o = Integer(256); break;
        case 4: o = Integer(-1); break;
        case 5: o.kind = Outcome::Kind::Bool; o.boolean = true; break;
        case 6: o.kind = Outcome::Kind::Bool; o.boolean = false; break;
        case 7: o = Text(Pick(kWords, Below(4))); break;
        case 8: o = Text(Pick(kNumbers, Below(6))); break;
        case 9: o.kind = Outcome::Kind::Empty; break;
        case 10: o.kind = Outcome::Kind::Null; break;
        case 11:
            o.kind = Outcome::Kind::Raise;
            o.text = Pick(kRaised, Below(4));
            break;
        default:
            o.kind = Outcome::Kind::HResult;
            o.hr = Pick(kFailures, Below(6));
            break;
        }
        if (answerFixed) {
            // drawn only to keep the stream in step
        } else if (o.kind == Outcome::Kind::Raise) d.faults.push_back({L"raise", o.text});
        else if (o.kind == Outcome::Kind::HResult) d.faults.push_back({L"hresult", Hex(o.hr)});
        else d.faults.push_back({L"result", Describe(o)});
        if (!answerFixed) d.answer = std::move(o);
    }

    if (writesVersions) {
        std::wstring kind;
        if (Chance(rate / 2)) {
            d.fw = VersionText(kind);
            d.faults.push_back({L"version", L"fw:" + kind});
        }
        if (Chance(rate / 2)) {
            d.ds = VersionText(kind);
            d.faults.push_back({L"version", L"ds:" + kind});
        }
    }
    return d;
}

}  // namespace sim
