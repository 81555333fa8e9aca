#pragma once

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
        if (self)
            return self->HandleMessage(message, wParam, lParam);
        return DefWindowProcW(window, message, wParam, lParam);
    }

    // Registers the class and creates the visible top-level window. A failed registration (the
    // class may exist already) shows as a failed creation: the result is then null.
    HWND Create(PCWSTR title, DWORD style, int width, int height)
    {
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
        windowClass.hCursor = nullptr; // the window sets its cursor itself
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
        windowClass.lpszClassName = ClassName();
        RegisterClassW(&windowClass);

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
