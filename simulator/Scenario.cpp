#include "Scenario.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "ComSupport.h"
#include "Win32Handles.h"

namespace sim {
namespace {

// A repeat that would take more memory than any test needs is a typo.
constexpr size_t kMaxText = 16u << 20;

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && (s.front() == L' ' || s.front() == L'\t' || s.front() == L'\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\t' || s.back() == L'\r')) s.remove_suffix(1);
    return s;
}

std::wstring Lower(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r) c = static_cast<wchar_t>(std::towlower(c));
    return r;
}

bool StartsWith(std::wstring_view s, std::wstring_view p) { return s.substr(0, p.size()) == p; }

std::optional<long long> ParseInt(std::wstring_view s) {
    s = Trim(s);
    if (s.empty()) return std::nullopt;
    std::wstring t(s);
    wchar_t* end = nullptr;
    errno = 0;
    long long v = std::wcstoll(t.c_str(), &end, 0);
    if (errno != 0 || end != t.c_str() + t.size()) return std::nullopt;
    return v;
}

std::optional<std::wstring> Unescape(std::wstring_view s, std::wstring& error) {
    std::wstring out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != L'\\') { out += s[i]; continue; }
        if (++i == s.size()) { error = L"backslash at end of value"; return std::nullopt; }
        switch (s[i]) {
        case L'\\': out += L'\\'; break;
        case L'n': out += L'\n'; break;
        case L't': out += L'\t'; break;
        case L'0': out += L'\0'; break;
        case L's': out += L' '; break;
        case L'u': {
            if (i + 4 >= s.size()) { error = L"short \\u escape"; return std::nullopt; }
            unsigned v = 0;
            for (size_t k = 1; k <= 4; ++k) {
                wchar_t c = s[i + k];
                v <<= 4;
                if (c >= L'0' && c <= L'9') v |= c - L'0';
                else if (c >= L'a' && c <= L'f') v |= c - L'a' + 10;
                else if (c >= L'A' && c <= L'F') v |= c - L'A' + 10;
                else { error = L"bad \\u escape"; return std::nullopt; }
            }
            out += static_cast<wchar_t>(v);
            i += 4;
            break;
        }
        default: error = std::wstring(L"unknown escape \\") + s[i]; return std::nullopt;
        }
    }
    return out;
}

}  // namespace

DeviceTable DefaultDevices() {
    DeviceTable t;
    t[kValidator] = {L"CV0100.00", L"CVDS0100"};
    t[kRecycler] = {L"SH0300.10", L"SHDS0100"};
    t[kBanknote] = {L"NV0300.20", L"NVDS0200"};
    return t;
}

std::optional<std::wstring> ParseText(std::wstring_view raw, std::wstring& error) {
    raw = Trim(raw);
    if (StartsWith(raw, L"repeat:")) {
        raw.remove_prefix(7);
        size_t colon = raw.find(L':');
        if (colon == raw.npos) { error = L"repeat needs N:TEXT"; return std::nullopt; }
        auto n = ParseInt(raw.substr(0, colon));
        if (!n || *n < 0) { error = L"bad repeat count"; return std::nullopt; }
        auto unit = Unescape(raw.substr(colon + 1), error);
        if (!unit) return std::nullopt;
        if (!unit->empty() && static_cast<unsigned long long>(*n) > kMaxText / unit->size()) {
            error = L"repeat too long";
            return std::nullopt;
        }
        std::wstring out;
        out.reserve(unit->size() * static_cast<size_t>(*n));
        for (long long k = 0; k < *n; ++k) out += *unit;
        return out;
    }
    return Unescape(raw, error);
}

std::optional<Outcome> ParseOutcome(std::wstring_view raw, std::wstring& error) {
    raw = Trim(raw);
    size_t colon = raw.find(L':');
    std::wstring kind = Lower(raw.substr(0, colon));
    std::wstring_view arg = colon == raw.npos ? std::wstring_view() : raw.substr(colon + 1);
    Outcome o;
    auto integer = [&](long long lo, long long hi) -> bool {
        auto v = ParseInt(arg);
        if (!v || *v < lo || *v > hi) { error = L"number out of range for " + kind; return false; }
        o.integer = *v;
        return true;
    };
    if (kind == L"i2") { o.kind = Outcome::Kind::I2; if (!integer(-32768, 32767)) return std::nullopt; }
    else if (kind == L"i4") { o.kind = Outcome::Kind::I4; if (!integer(-2147483648LL, 2147483647LL)) return std::nullopt; }
    else if (kind == L"ui1") { o.kind = Outcome::Kind::UI1; if (!integer(0, 255)) return std::nullopt; }
    else if (kind == L"r8") {
        o.kind = Outcome::Kind::R8;
        std::wstring t(Trim(arg));
        wchar_t* end = nullptr;
        o.real = std::wcstod(t.c_str(), &end);
        if (t.empty() || end != t.c_str() + t.size()) { error = L"bad real"; return std::nullopt; }
    } else if (kind == L"bool") {
        o.kind = Outcome::Kind::Bool;
        std::wstring v = Lower(Trim(arg));
        if (v == L"true") o.boolean = true;
        else if (v == L"false") o.boolean = false;
        else { error = L"bool needs true or false"; return std::nullopt; }
    } else if (kind == L"str" || kind == L"raise") {
        o.kind = kind == L"str" ? Outcome::Kind::Str : Outcome::Kind::Raise;
        auto t = ParseText(arg, error);
        if (!t) return std::nullopt;
        o.text = std::move(*t);
    } else if (kind == L"empty" && colon == raw.npos) { o.kind = Outcome::Kind::Empty; }
    else if (kind == L"null" && colon == raw.npos) { o.kind = Outcome::Kind::Null; }
    else if (kind == L"hresult") {
        o.kind = Outcome::Kind::HResult;
        auto v = ParseInt(arg);
        if (!v || *v < -2147483648LL || *v > 0xFFFFFFFFLL) { error = L"bad hresult"; return std::nullopt; }
        o.hr = static_cast<HRESULT>(static_cast<unsigned long>(*v));
    } else {
        error = L"unknown result kind '" + kind + L"'";
        return std::nullopt;
    }
    return o;
}

std::wstring EscapeText(std::wstring_view text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        bool edge = i == 0 || i + 1 == text.size();
        if (c == L'\\') out += L"\\\\";
        else if (c == L'\n') out += L"\\n";
        else if (c == L'\t') out += L"\\t";
        else if (c == L'\0') out += L"\\0";
        else if (c == L' ' && edge) out += L"\\s";
        else if (c < 0x20 || c == 0x7F) {
            wchar_t buf[8];
            std::swprintf(buf, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += buf;
        } else out += c;
    }
    // A text that itself begins with "repeat:" must not read back as a repeat.
    if (StartsWith(out, L"repeat:")) out.replace(0, 1, L"\\u0072");
    return out;
}

const OperationScript* Scenario::Find(Gen gen, std::wstring_view op) const {
    auto it = ops.find(std::wstring(GenName(gen)) + L"." + Lower(op));
    return it == ops.end() ? nullptr : &it->second;
}

void Scenario::ApplyDevices(DeviceTable& table) const {
    static const wchar_t* names[] = {L"validator", L"recycler", L"banknote"};
    for (int d = 0; d < 3; ++d) {
        if (auto it = device.find(std::wstring(names[d]) + L".fw"); it != device.end()) table[d].fw = it->second;
        if (auto it = device.find(std::wstring(names[d]) + L".ds"); it != device.end()) table[d].ds = it->second;
    }
}

Scenario Scenario::Parse(std::string_view utf8) {
    Scenario sc;
    if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
    std::wstring all = com::FromUtf8(utf8);
    std::wstring_view view(all);
    std::map<std::wstring, std::vector<Outcome>> single;
    int lineNo = 0;
    for (size_t pos = 0; pos <= view.size();) {
        size_t nl = view.find(L'\n', pos);
        std::wstring_view line = Trim(view.substr(pos, nl == view.npos ? view.npos : nl - pos));
        pos = nl == view.npos ? view.size() + 1 : nl + 1;
        ++lineNo;
        if (line.empty() || line.front() == L'#') continue;
        auto fail = [&](const std::wstring& why) {
            sc.errors.push_back(L"line " + std::to_wstring(lineNo) + L": " + why);
        };
        size_t eq = line.find(L'=');
        if (eq == line.npos) { fail(L"no '='"); continue; }
        std::wstring key = Lower(Trim(line.substr(0, eq)));
        std::wstring_view value = line.substr(eq + 1);
        std::wstring error;

        auto dot = key.rfind(L'.');
        std::wstring head = dot == key.npos ? key : key.substr(0, dot);
        std::wstring tail = dot == key.npos ? L"" : key.substr(dot + 1);
        bool opKey = StartsWith(key, L"v1.") || StartsWith(key, L"v2.");

        if (key == L"update.ms") {
            auto v = ParseInt(value);
            if (!v || *v < 0 || *v > 0x7FFFFFFF) fail(L"bad update.ms");
            else sc.updateMs = static_cast<DWORD>(*v);
        } else if (key == L"chaos") {
            auto v = ParseInt(value);
            if (!v || *v < 0) fail(L"chaos needs a seed, a number from 0 on");
            else {
                sc.chaos.on = true;
                sc.chaos.seed = static_cast<std::uint64_t>(*v);
            }
        } else if (key == L"chaos.rate") {
            auto v = ParseInt(value);
            if (!v || *v < 0 || *v > 100) fail(L"chaos.rate is a percentage");
            else sc.chaos.rate = static_cast<unsigned>(*v);
        } else if (key == L"chaos.delay_ms") {
            // A cap, so that chaos alone never looks like a hang.
            auto v = ParseInt(value);
            if (!v || *v < 0 || *v > 60000) fail(L"chaos.delay_ms must lie between 0 and 60000");
            else sc.chaos.maxDelayMs = static_cast<DWORD>(*v);
        } else if (key == L"unreadable_images") {
            std::wstring v = Lower(Trim(value));
            if (v == L"accept") sc.acceptUnreadableImages = true;
            else if (v == L"refuse") sc.acceptUnreadableImages = false;
            else fail(L"unreadable_images is accept or refuse");
        } else if (key == L"post_to_self") {
            const std::wstring v = Lower(Trim(value));
            if (v != L"on" && v != L"off") fail(L"post_to_self is on or off");
            else sc.postToSelf = v == L"on";
        } else if (key == L"state") {
            // A path, taken literally: Windows paths are full of backslashes.
            sc.statePath = std::wstring(Trim(value));
        } else if (StartsWith(key, L"device.") && (tail == L"fw" || tail == L"ds")) {
            std::wstring name = head.substr(7);
            if (name != L"validator" && name != L"recycler" && name != L"banknote") { fail(L"unknown device " + name); }
            else if (auto t = ParseText(value, error)) sc.device[name + L"." + tail] = std::move(*t);
            else fail(error);
        } else if (opKey && tail == L"result") {
            if (auto o = ParseOutcome(value, error)) single[head] = {std::move(*o)};
            else fail(error);
        } else if (opKey && tail == L"results") {
            std::vector<Outcome> seq;
            std::wstring_view items = value;
            bool ok = true;
            while (ok) {
                size_t comma = items.find(L',');
                auto o = ParseOutcome(items.substr(0, comma), error);
                if (!o) { fail(error); ok = false; break; }
                seq.push_back(std::move(*o));
                if (comma == items.npos) break;
                items.remove_prefix(comma + 1);
            }
            if (ok) sc.ops[head].results = std::move(seq);
        } else if (opKey && tail == L"delay_ms") {
            auto v = ParseInt(value);
            if (!v || *v < 0 || *v > 0x7FFFFFFF) fail(L"bad delay_ms");
            else sc.ops[head].delayMs = static_cast<DWORD>(*v);
        } else if (opKey && tail == L"write") {
            std::wstring v = Lower(Trim(value));
            if (v == L"none") sc.ops[head].writeNone = true;
            else if (v == L"normal") sc.ops[head].writeNone = false;
            else fail(L"write takes none or normal");
        } else {
            fail(L"unknown key " + key);
        }
    }
    // A sequence is more specific than a single forced result.
    for (auto& [head, seq] : single)
        if (sc.ops[head].results.empty()) sc.ops[head].results = std::move(seq);
    return sc;
}

namespace {
std::optional<std::string> ReadFileBytes(const std::wstring& path) {
    win::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.Valid()) return std::nullopt;
    std::string data;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f.Get(), buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
    return data;
}
}  // namespace

Scenario Scenario::Load(const std::wstring& path) {
    if (path.empty()) return {};
    auto data = ReadFileBytes(path);
    if (!data) {
        Scenario sc;
        sc.errors.push_back(L"cannot read " + path);
        return sc;
    }
    return Parse(*data);
}

bool LoadState(const std::wstring& path, DeviceTable& table) {
    auto data = ReadFileBytes(path);
    if (!data) return false;
    Scenario::Parse(*data).ApplyDevices(table);
    return true;
}

bool SaveState(const std::wstring& path, const DeviceTable& table) {
    static const wchar_t* names[] = {L"validator", L"recycler", L"banknote"};
    std::wstring text = L"# device versions written by the simulator after an update\n";
    for (int d = 0; d < 3; ++d) {
        text += L"device." + std::wstring(names[d]) + L".fw = " + EscapeText(table[d].fw) + L"\n";
        text += L"device." + std::wstring(names[d]) + L".ds = " + EscapeText(table[d].ds) + L"\n";
    }
    std::string bytes = com::ToUtf8(text);
    // Written aside and moved over, so a reader never sees half a file.
    std::wstring tmp = path + L".tmp" + std::to_wstring(GetCurrentProcessId());
    {
        win::Handle f(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f.Valid()) return false;
        DWORD put = 0;
        if (!WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put != bytes.size()) {
            f.Close();
            DeleteFileW(tmp.c_str());
            return false;
        }
    }
    if (!MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
