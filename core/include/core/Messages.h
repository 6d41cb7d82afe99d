#pragma once
// Message boxes as the core asks for them. The numbers are the platform's
// own (MB_* styles, ID* answers), so the front end passes them through.
#include <string>

namespace core {

namespace box {
inline constexpr unsigned Ok = 0x0;
inline constexpr unsigned OkCancel = 0x1;
inline constexpr unsigned YesNo = 0x4;
inline constexpr unsigned IconError = 0x10;
inline constexpr unsigned IconQuestion = 0x20;
inline constexpr unsigned IconWarning = 0x30;
inline constexpr unsigned IconInformation = 0x40;
}  // namespace box

namespace answer {
inline constexpr int Ok = 1;
inline constexpr int Cancel = 2;
inline constexpr int Yes = 6;
inline constexpr int No = 7;
}  // namespace answer

class IMessages {
public:
    virtual ~IMessages() = default;
    // Shows a box under the application title; returns the answer.
    virtual int Show(const std::wstring& text, unsigned style) = 0;
};

}  // namespace core
