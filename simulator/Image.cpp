#include "Image.h"

#include <windows.h>

#include <vector>

#include "ComSupport.h"
#include "Win32Handles.h"

namespace sim {
namespace {

constexpr DWORD kMaxHeader = 3 + 1 + 1 + 2 + 0xFFFF + 2 + 0xFFFF;

std::optional<std::wstring> Utf8Field(const std::vector<unsigned char>& b, size_t& pos) {
    if (pos + 2 > b.size()) return std::nullopt;
    size_t len = b[pos] | (b[pos + 1] << 8);
    pos += 2;
    if (pos + len > b.size()) return std::nullopt;
    std::wstring out;
    if (len > 0) {
        const char* p = reinterpret_cast<const char*>(b.data() + pos);
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, p, static_cast<int>(len), nullptr, 0);
        if (n <= 0) return std::nullopt;
        out.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, p, static_cast<int>(len), out.data(), n);
    }
    pos += len;
    return out;
}

}  // namespace

std::optional<ImageHeader> ReadImageHeader(const std::wstring& path) {
    win::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.Valid()) return std::nullopt;
    std::vector<unsigned char> b(kMaxHeader);
    DWORD total = 0;
    for (DWORD got = 0; total < kMaxHeader; total += got) {
        if (!ReadFile(f.Get(), b.data() + total, kMaxHeader - total, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
    }
    b.resize(total);
    if (b.size() < 5 || b[0] != 'I' || b[1] != 'T' || b[2] != 'L' || b[3] != 1) return std::nullopt;
    ImageHeader h;
    h.device = b[4];
    if (h.device > 1) return std::nullopt;
    size_t pos = 5;
    auto fw = Utf8Field(b, pos);
    if (!fw) return std::nullopt;
    auto ds = Utf8Field(b, pos);
    if (!ds) return std::nullopt;
    h.fw = std::move(*fw);
    h.ds = std::move(*ds);
    return h;
}

bool ImageFileReadable(const std::wstring& path) {
    win::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return f.Valid();
}

}  // namespace sim
