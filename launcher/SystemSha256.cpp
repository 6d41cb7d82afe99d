#include "SystemSha256.h"

#include <algorithm>

namespace {

// One context for the whole process: every acquisition loads the
// provider's DLL again, which cost more than the hashing of a run.
HCRYPTPROV Provider() {
    static const win::CryptProvider provider = [] {
        HCRYPTPROV p = 0;
        return CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ? win::CryptProvider(p)
                                                                                              : win::CryptProvider();
    }();
    return provider.Get();
}

win::CryptHash NewHash() {
    HCRYPTHASH h = 0;
    const HCRYPTPROV provider = Provider();
    return provider && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &h) ? win::CryptHash(h) : win::CryptHash();
}

// CryptHashData takes a DWORD length.
constexpr std::size_t kLargestPiece = 0x40000000;

}  // namespace

SystemSha256::SystemSha256() : hash_(NewHash()), failed_(!hash_) {}

std::optional<SystemSha256::Digest> SystemSha256::Of(std::span<const std::uint8_t> bytes) {
    SystemSha256 sha;
    sha.Add(bytes);
    return sha.Finish();
}

void SystemSha256::Add(std::span<const std::uint8_t> bytes) {
    while (!failed_ && !bytes.empty()) {
        const auto piece = bytes.first(std::min(bytes.size(), kLargestPiece));
        failed_ = !CryptHashData(hash_.Get(), piece.data(), static_cast<DWORD>(piece.size()), 0);
        bytes = bytes.subspan(piece.size());
    }
}

std::optional<SystemSha256::Digest> SystemSha256::Finish() {
    if (failed_) return std::nullopt;
    failed_ = true;  // spent
    Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    if (!CryptGetHashParam(hash_.Get(), HP_HASHVAL, digest.data(), &size, 0) || size != digest.size())
        return std::nullopt;
    return digest;
}
