#pragma once

#include <windows.h>

// The look of the rounded Send button. One program-wide instance, set up before any window
// exists; the paint code refills its scratch fields on every paint.
struct ButtonStyle
{
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW logFont = {};
    RECT rect = {};
    const char* caption = "Send";
    COLORREF textColor = RGB(255, 255, 255);
    COLORREF backColor = RGB(65, 136, 254);
    int radius = 10;
};

constexpr COLORREF RoundButtonNormalColor = RGB(65, 136, 254);
constexpr COLORREF RoundButtonHoverColor = RGB(95, 154, 254);

extern ButtonStyle sendButtonStyle;
// A hover-and-leave request is outstanding for the button.
extern bool mouseTracked;

// Turns an owner-drawn push button into the rounded Send button: a filled rounded rectangle with
// a centred white caption, lighter while the pointer rests on it, with the hand cursor.
void MakeRoundButton(HWND button);
LRESULT CALLBACK RoundButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam);
