#pragma once

#include "ui/GdiObject.h"

#include <windows.h>

#include <string>

// The small always-on-top window in which the user chooses a nickname: an edit box prefilled
// with the current nickname, "Ok" and "Cancel". A window of its own class, created on demand
// and destroyed on confirm, cancel or close. Confirming asks the main window (command 2) to
// take the edit box's text.
class NicknameDialog
{
public:
    // Registers the dialog's window class; called once, when the main window is created.
    void RegisterDialogClass();
    // Opens the dialog 400 pixels right of and 200 below the main window's top-left corner.
    void Open();
    static LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    bool hotKeyRegistered = false;
    HWND hwnd = nullptr;
    HWND okButton = nullptr;
    HWND cancelButton = nullptr;
    HWND edit = nullptr;
    HWND parent = nullptr;
    const wchar_t* className = L"Choose nickname dialog";
    std::string text;
    FontObject editFont;
    FontObject buttonFont;
    int width = 300;
    int height = 140;

private:
    void HandleMessage(HWND window, UINT message, WPARAM wParam);
    void ReplaceFonts();
};
