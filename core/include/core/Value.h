#pragma once
// A portable picture of an automation value, as far as the updater reads
// results of the device component. The COM layer converts a VARIANT into it.
#include <cstdint>
#include <optional>
#include <string>

namespace core {

struct Value {
    enum class Kind { Empty, Null, Integer, Real, Boolean, Text, Object, Error };

    Kind kind = Kind::Empty;
    std::int64_t integer = 0;  // Integer
    double real = 0.0;         // Real (single, double, currency, date)
    bool boolean = false;      // Boolean
    std::wstring text;         // Text

    static Value Of(Kind k) { Value r; r.kind = k; return r; }
    static Value Empty() { return {}; }
    static Value Null() { return Of(Kind::Null); }
    static Value Int(std::int64_t v) { Value r = Of(Kind::Integer); r.integer = v; return r; }
    static Value Real(double v) { Value r = Of(Kind::Real); r.real = v; return r; }
    static Value Bool(bool v) { Value r = Of(Kind::Boolean); r.boolean = v; return r; }
    static Value Text(std::wstring v) { Value r = Of(Kind::Text); r.text = std::move(v); return r; }
    static Value Object() { return Of(Kind::Object); }
};

// The byte conversion of the original platform: integers and reals 0..255
// (reals rounded half to even first), numeric text the same, Boolean True
// as 255 and False as 0. Everything it would reject gives nothing.
std::optional<std::uint8_t> ToByte(const Value& v);

// A component result counts as success only when it converts to a
// non-zero byte. A failure is never reported as success.
bool IsSuccess(const Value& v);

}  // namespace core
