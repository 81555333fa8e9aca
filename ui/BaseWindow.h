#pragma once

#include "ui/WindowParts.h"

#include <windows.h>

// Binds a Win32 window to an object of T: the static window procedure finds the object in the
// window's user data and routes every message to its HandleMessage. T supplies the class name
// and the handler.
template <class T> class BaseWindow
{
public:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        T* self = nullptr;
        if (message == WM_NCCREATE)
        {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            self = static_cast<T*>(create->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->hwnd = window;
        }
        else
        {
            self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
        // Messages that come before WM_NCCREATE (the first WM_GETMINMAXINFO) find no object.
        if (!self)
            return DefWindowProcW(window, message, wParam, lParam);
        const LRESULT result = self->HandleMessage(message, wParam, lParam);
        // The window's last message: the object outlives it and lets go of it, and the window's
        // last messages no longer find the object.
        if (message == WM_NCDESTROY)
        {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            self->hwnd = nullptr;
        }
        return result;
    }

    // Registers the class and creates the visible top-level window. A class that cannot be
    // registered (one registered before is used as it is) gives no window: the result is null.
    HWND Create(PCWSTR title, DWORD style, int width, int height)
    {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
        windowClass.hCursor = nullptr; // the window sets its cursor itself
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
        windowClass.lpszClassName = ClassName();
        DWORD error = 0;
        if (!RegisterWindowClass(windowClass, error))
            return nullptr;

        return CreateWindowExW(0, ClassName(), title, style, CW_USEDEFAULT, CW_USEDEFAULT, width,
                               height, nullptr, nullptr, instance, static_cast<T*>(this));
    }

    virtual PCWSTR ClassName() const = 0;
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    HWND hwnd = nullptr;

protected:
    // Destroyed as the derived type only; the object outlives its window.
    ~BaseWindow() = default;
};
