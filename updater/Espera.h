#pragma once
// The wait window: a ring of twelve dots turning while the updater works,
// and one status line. Each opening builds a fresh instance.
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ModGen.h"
#include "core/Spinner.h"
#include "core/UpdateRun.h"

namespace renovo {

class Espera final : public core::IWaitView {
    struct Token {
        explicit Token() = default;
    };

public:
    // Only Create builds one (the token is private); public for make_unique.
    explicit Espera(Token) {}
    // Builds the window hidden and runs its load: caption, outline,
    // position, timer.
    static std::unique_ptr<Espera> Create();
    ~Espera() override;
    Espera(const Espera&) = delete;
    Espera& operator=(const Espera&) = delete;

    HWND Hwnd() const { return hwnd_; }
    bool Alive() const { return hwnd_ != nullptr; }
    void Show();
    // Form_Unload: lets the waiting events through, stops the timer and
    // destroys the window; `beforeClose` runs just before the window goes so
    // that the caller can hand the activation back.
    void Unload();
    void SetBeforeClose(std::function<void()> f) { beforeClose_ = std::move(f); }

    void SetInfo(const std::wstring& text) override;
    void BeforeWrite() override;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void Load();
    void Layout();
    void Place();
    void FitInfo();
    void Paint(HDC dc);
    void Tick();
    RECT DotRect(int index) const;

    HWND hwnd_ = nullptr;
    HWND info_ = nullptr;  // LblInfo
    HWND text_ = nullptr;  // TxtActualiza
    int dpi_ = 96;
    win::FontPtr labelFont_;
    win::BrushPtr white_;
    std::wstring infoText_;

    std::uint8_t spinnerStep_ = 0;
    std::array<std::uint32_t, core::kDotCount> fills_ = core::InitialDotFills();
    core::WaitFlags flags_;
    bool timerOn_ = false;
    bool unloading_ = false;
    std::function<void()> beforeClose_;
    std::optional<AwakeWhileWriting> awake_;
};

}  // namespace renovo
