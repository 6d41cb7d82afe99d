// The launcher's hasher against the published SHA-256 vectors, run under
// Wine by tests/e2e/test_launcher.py: the provider must give them fed
// whole and in pieces that end before, on and after block boundaries.
//
//   sha_vectors    prints one "ok" line per case; exits 1 after the first
//                  case that fails, naming it.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "SystemSha256.h"

namespace {

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex(const std::optional<SystemSha256::Digest>& d) {
    if (!d) return "no digest";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (auto b : *d) s += {kDigits[b >> 4], kDigits[b & 15]};
    return s;
}

std::optional<SystemSha256::Digest> InChunks(std::span<const std::uint8_t> bytes, std::size_t chunk) {
    SystemSha256 sha;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) sha.Add(bytes.subspan(at, std::min(chunk, bytes.size() - at)));
    return sha.Finish();
}

bool Check(const std::string& what, const std::optional<SystemSha256::Digest>& got, const char* want) {
    const std::string hex = Hex(got);
    if (hex != want) {
        std::printf("FAIL %s: %s, want %s\n", what.c_str(), hex.c_str(), want);
        return false;
    }
    std::printf("ok %s\n", what.c_str());
    return true;
}

bool CheckVector(const Vector& v) {
    const auto bytes = AsBytes(v.message);
    if (!Check(std::string(v.name) + " whole", SystemSha256::Of(bytes), v.digest)) return false;
    for (std::size_t chunk : {1, 3, 55, 63, 64, 65, 127, 1000})
        if (!Check(std::string(v.name) + " in chunks of " + std::to_string(chunk), InChunks(bytes, chunk), v.digest))
            return false;
    return true;
}

// A spent hasher that still gave a digest would give one that does not
// cover what was added after the end.
bool CheckSpentGivesNothing() {
    SystemSha256 sha;
    sha.Add(AsBytes("abc"));
    static_cast<void>(sha.Finish());
    sha.Add(AsBytes("d"));
    return Check("spent hasher", sha.Finish(), "no digest");
}

}  // namespace

int main() {
    const Vector vectors[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors)
        if (!CheckVector(v)) return 1;
    return CheckSpentGivesNothing() ? 0 : 1;
}
