#include "core/Value.h"

#include <cmath>
#include <cstdlib>
#include <cwctype>
#include <string>

namespace core {
namespace {

std::optional<std::uint8_t> RealToByte(double d) {
    if (std::isnan(d)) return std::nullopt;
    const double r = std::nearbyint(d);  // default rounding: halves to even
    if (r < 0.0 || r > 255.0) return std::nullopt;
    return static_cast<std::uint8_t>(r);
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Accepts [blanks][sign]digits[.digits][(e|E)[sign]digits][blanks] and
// nothing else: no hex, no "inf", no thousands separators.
std::optional<double> ParseNumber(const std::wstring& text) {
    std::size_t i = 0, n = text.size();
    while (i < n && IsBlank(text[i])) ++i;
    std::size_t end = n;
    while (end > i && IsBlank(text[end - 1])) --end;
    std::string ascii;
    if (i < end && (text[i] == L'+' || text[i] == L'-')) ascii += char(text[i++]);
    std::size_t digits = 0;
    while (i < end && IsAsciiDigit(text[i])) { ascii += char(text[i++]); ++digits; }
    if (i < end && text[i] == L'.') {
        ascii += char(text[i++]);
        while (i < end && IsAsciiDigit(text[i])) { ascii += char(text[i++]); ++digits; }
    }
    if (digits == 0) return std::nullopt;
    if (i < end && (text[i] == L'e' || text[i] == L'E')) {
        ascii += 'e';
        ++i;
        if (i < end && (text[i] == L'+' || text[i] == L'-')) ascii += char(text[i++]);
        std::size_t expDigits = 0;
        while (i < end && IsAsciiDigit(text[i])) { ascii += char(text[i++]); ++expDigits; }
        if (expDigits == 0) return std::nullopt;
    }
    if (i != end) return std::nullopt;
    return std::strtod(ascii.c_str(), nullptr);
}

}  // namespace

std::optional<std::uint8_t> ToByte(const Value& v) {
    switch (v.kind) {
        case Value::Kind::Integer:
            if (v.integer < 0 || v.integer > 255) return std::nullopt;
            return static_cast<std::uint8_t>(v.integer);
        case Value::Kind::Real:
            return RealToByte(v.real);
        case Value::Kind::Boolean:
            return static_cast<std::uint8_t>(v.boolean ? 255 : 0);
        case Value::Kind::Text:
            if (auto d = ParseNumber(v.text)) return RealToByte(*d);
            return std::nullopt;
        case Value::Kind::Empty:
        case Value::Kind::Null:
        case Value::Kind::Object:
        case Value::Kind::Error:
            return std::nullopt;
    }
    return std::nullopt;
}

bool IsSuccess(const Value& v) {
    const auto b = ToByte(v);
    return b.has_value() && *b != 0;
}

}  // namespace core
