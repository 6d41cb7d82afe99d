#pragma once
// The launcher's digests, from the system's CryptoAPI provider (advapi32,
// a KnownDLL, so no planted copy beside the launcher can answer instead).
// The system's code runs right on every processor, where a hash of our own
// had a path for each kind of processor and only one of them could be
// tested here. A provider that fails gives no digest rather than a crash:
// the caller must take "no digest" as "not verified".
#include <cstdint>
#include <optional>
#include <span>

#include "Win32Handles.h"
#include "core/Launcher.h"

class SystemSha256 {
public:
    using Digest = core::launcher::Digest;

    SystemSha256();
    SystemSha256(const SystemSha256&) = delete;
    SystemSha256& operator=(const SystemSha256&) = delete;

    [[nodiscard]] static std::optional<Digest> Of(std::span<const std::uint8_t> bytes);

    void Add(std::span<const std::uint8_t> bytes);
    // Ends the message; the object is spent afterwards, and a later Add or
    // Finish gives no digest.
    [[nodiscard]] std::optional<Digest> Finish();

private:
    win::CryptHash hash_;
    bool failed_;
};
