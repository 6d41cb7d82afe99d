#pragma once
// The main window: the two version lists and the two update commands.
#include <windows.h>

#include <string>

#include "ModGen.h"
#include "core/MainWindow.h"

namespace renovo {

class Inicial final : public core::IMainView {
public:
    Inicial() = default;
    ~Inicial() override;
    Inicial(const Inicial&) = delete;
    Inicial& operator=(const Inicial&) = delete;

    // Builds the window and its controls, hidden.
    bool Create();
    // Form_Load: centre, read the versions, check the images, close the
    // start-up cover.
    void Load();
    void Show();
    // Ends the program the way a close request does, unless busy:
    // Terminate, then the window goes.
    void Close();
    HWND Hwnd() const { return hwnd_; }

    void AddList1(const std::wstring& line) override;
    void AddList2(const std::wstring& line) override;
    void ClearList1() override;
    std::wstring List1Line(int index) const override;
    std::wstring List2Line(int index) const override;
    void SetCommandEnabled(int command, bool enabled) override;
    void DoEvents() override;
    void UnloadWaitWindow() override;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void Layout();
    void LoadPictures();
    void Command(int which);
    void Unload();
    void DrawButton(const DRAWITEMSTRUCT& di);
    void DrawLogo(const DRAWITEMSTRUCT& di);
    void FocusFirst();
    // Back to the control that had the focus, or on from it when it has
    // been disabled meanwhile.
    void RestoreFocus();
    void PressFocusedCommand();
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

    HWND hwnd_ = nullptr;
    HWND lastFocus_ = nullptr;
    int dpi_ = 96;
    win::FontPtr labelFont_, guiFont_;
    win::BrushPtr background_, white_, lightGreen_;
    win::BitmapPtr logo_;
    SIZE logoSize_{0, 0};
    win::IconPtr buttonIcon_, bigIcon_, smallIcon_;
    int buttonIconSize_ = 32;
};

}  // namespace renovo
