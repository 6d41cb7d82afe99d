// How component results read as success, and how version lines order.
#include <gtest/gtest.h>

#include "core/Value.h"
#include "core/VersionOrder.h"

using core::Value;

TEST(ResultReading, OnlyNonZeroBytesAndTrueCountAsSuccess) {
    struct Case {
        Value v;
        bool success;
    } cases[] = {
        {Value::Int(1), true},           {Value::Int(255), true},         {Value::Bool(true), true},
        {Value::Text(L"7"), true},       {Value::Text(L" 12 "), true},    {Value::Real(0.6), true},
        {Value::Real(254.5), true},      {Value::Text(L"1e2"), true},

        {Value::Int(0), false},          {Value::Int(-1), false},         {Value::Int(256), false},
        // Through a 16-bit range these would wrap to 1 and 255.
        {Value::Int(257), false},        {Value::Int(511), false},        {Value::Real(257.0), false},
        {Value::Text(L"511"), false},
        {Value::Bool(false), false},     {Value::Empty(), false},         {Value::Null(), false},
        {Value::Object(), false},        {Value::Text(L""), false},       {Value::Text(L"abc"), false},
        {Value::Text(L"0x1"), false},    {Value::Text(L"inf"), false},    {Value::Text(L"1 2"), false},
        {Value::Real(0.5), false},       {Value::Real(255.5), false},     {Value::Real(-0.4), false},
        {Value::Real(1.0 / 0.0), false}, {Value::Of(Value::Kind::Error), false},
    };
    for (const auto& c : cases) EXPECT_EQ(core::IsSuccess(c.v), c.success) << int(c.v.kind);
}

TEST(ResultReading, RealsRoundHalfToEvenLikeTheByteConversion) {
    EXPECT_EQ(core::ToByte(Value::Real(1.5)), 2);
    EXPECT_EQ(core::ToByte(Value::Real(2.5)), 2);
    EXPECT_EQ(core::ToByte(Value::Text(L"3.5")), 4);
    EXPECT_EQ(core::ToByte(Value::Real(254.5)), 254);
    EXPECT_EQ(core::ToByte(Value::Bool(true)), 255);
    EXPECT_EQ(core::ToByte(Value::Text(std::wstring(70000, L'9'))), std::nullopt);
}

TEST(VersionOrder, DigitRunsCompareByValue) {
    using core::SortsBefore;
    EXPECT_TRUE(SortsBefore(L"FW: 9", L"FW: 10"));
    EXPECT_FALSE(SortsBefore(L"FW: 10", L"FW: 9"));
    EXPECT_TRUE(SortsBefore(L"FW: SH0300.9", L"FW: SH0300.10"));
    EXPECT_TRUE(SortsBefore(L"FW: 1.2.9b", L"FW: 1.2.10a"));
    // Equal values go on after the run; only a full tie falls back to codes.
    EXPECT_TRUE(SortsBefore(L"FW: 01a", L"FW: 1b"));
    EXPECT_TRUE(SortsBefore(L"FW: 01", L"FW: 1"));
    EXPECT_EQ(core::CompareVersionLines(L"FW: 1", L"FW: 1"), 0);
}

TEST(VersionOrder, SameWidthRunsAndTextCompareByCharacterCode) {
    using core::SortsBefore;
    EXPECT_TRUE(SortsBefore(L"FW: NV0300.20", L"FW: NV0300.30"));
    EXPECT_TRUE(SortsBefore(L"DS: ", L"DS: A"));  // a prefix sorts first
    EXPECT_TRUE(SortsBefore(L"FW: Z", L"FW: a"));
    // The error line of a rejected image sorts after any version below code 161.
    EXPECT_TRUE(SortsBefore(L"FW: ~~~", L"FW: \u00A1ERROR!"));
    EXPECT_TRUE(SortsBefore(L"FW: 99", L"FW: \u00A1ERROR!"));
    EXPECT_FALSE(SortsBefore(L"FW: \u00E9", L"FW: \u00A1ERROR!"));
}

TEST(VersionOrder, VeryLongRunsNeverOverflow) {
    std::wstring a = L"FW: " + std::wstring(65536, L'9');
    std::wstring b = L"FW: 1" + std::wstring(65536, L'0');
    EXPECT_TRUE(core::SortsBefore(a, b));
    EXPECT_TRUE(core::SortsBefore(L"FW: " + std::wstring(65536, L'0') + L"1", L"FW: 2"));
    std::wstring withNul(L"FW: 1\0" L"9", 7), withNul2(L"FW: 1\0" L"10", 8);
    EXPECT_TRUE(core::SortsBefore(withNul, withNul2));
}
