#pragma once

// What the program's windows make their controls with.

#include "ui/GdiObject.h"

#include <windows.h>

// A control's id, passed as the menu argument of CreateWindowEx.
inline HMENU IdMenu(int id)
{
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

// The windows' fonts: ANSI character set, smoothed, of the given face (Tahoma by default).
inline FontObject MakeFont(int height, int width, int weight, const char* face = "Tahoma")
{
    return FontObject(CreateFontA(height, width, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, 0,
                                  face));
}

// Registers a window class of the program. A class registered before (by an earlier window of
// this program) is there to be used, so only a real failure gives false, with its error code.
inline bool RegisterWindowClass(const WNDCLASSEXW& windowClass, DWORD& error)
{
    if (RegisterClassExW(&windowClass) != 0)
        return true;
    error = GetLastError();
    return error == ERROR_CLASS_ALREADY_EXISTS;
}
