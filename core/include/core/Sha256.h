#pragma once
// SHA-256 of our own: the launcher checks every payload several times per
// run, and the system's providers are both slow to load and slow to hash.
// Uses the processor's SHA instructions where it has them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace core {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;
    enum class Engine { Best, Portable, Extensions };

    // Extensions falls back to Portable on a processor without them.
    explicit Sha256(Engine engine = Engine::Best);
    static bool HasExtensions();
    static Digest Of(std::span<const std::uint8_t> bytes);

    void Add(std::span<const std::uint8_t> bytes);
    // Ends the message; the object is spent afterwards.
    Digest Finish();

private:
    using Compress = void (*)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);
    Compress compress_;
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace core
