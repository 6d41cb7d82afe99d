#pragma once
// The header the simulator reads from a firmware image; the rest of the
// image is opaque. Layout (all lengths little-endian):
//   "ITL", format byte 1, device byte (0 coin recycler, 1 banknote module),
//   u16 length + UTF-8 firmware version, u16 length + UTF-8 dataset version,
//   then the data.
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

struct ImageHeader {
    std::uint8_t device = 0;
    std::wstring fw;
    std::wstring ds;
};

// nullopt when the file is missing, unreadable, or its header is malformed.
std::optional<ImageHeader> ReadImageHeader(const std::wstring& path);

// True when the file can be opened for reading, whatever it holds.
bool ImageFileReadable(const std::wstring& path);

// The versions a scenario with "unreadable_images = accept" gives an image
// whose header is not ours (a maker's real image): it orders above every
// version the simulated devices start with, so a run needs no downgrade, and
// it reads as what it is in a screenshot.
inline constexpr wchar_t kUnreadableImageVersion[] = L"SIM-UNREADABLE";

}  // namespace sim
