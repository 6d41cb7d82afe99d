#pragma once
// The launcher's only window: never shown, it exists so that the shell has
// an owner for the updater's start and the launcher has a message queue
// to keep serving while it waits. Made when the updater is about to start.
#include <windows.h>

class FrmTonto {
public:
    explicit FrmTonto(HINSTANCE instance);
    ~FrmTonto();
    FrmTonto(const FrmTonto&) = delete;
    FrmTonto& operator=(const FrmTonto&) = delete;

    HWND Handle() const { return hwnd_; }

private:
    HINSTANCE instance_;
    ATOM class_ = 0;
    HWND hwnd_ = nullptr;
};
