#include "support/WindowTesting.h"

#include <richedit.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

namespace testing_support
{

namespace
{

using Clock = std::chrono::steady_clock;

void DispatchPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

struct BoxSearch
{
    DWORD processId;
    HWND found;
};

BOOL CALLBACK TakeMessageBox(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ClassNameOf(window) == "#32770" && IsWindowVisible(window))
    {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

void PumpMessages(int milliseconds)
{
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    do
    {
        DispatchPending();
        Sleep(1);
    } while (Clock::now() < end);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done())
    {
        if (Clock::now() > end)
            return false;
        DispatchPending();
        Sleep(1);
    }
    return true;
}

std::string ClassNameOf(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window)
{
    const int length = GetWindowTextLengthA(window);
    std::vector<char> text(length + 1, '\0');
    GetWindowTextA(window, text.data(), length + 1);
    return text.data();
}

LONG_PTR StyleOf(HWND window)
{
    return GetWindowLongPtrW(window, GWL_STYLE);
}

Placement PlacementOf(HWND control)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

SIZE OuterSizeOf(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

CHARFORMATW CharFormatAt(HWND richEdit, int position)
{
    SendMessageW(richEdit, EM_SETSEL, position, position + 1);
    CHARFORMATW format = {};
    format.cbSize = sizeof format;
    SendMessageW(richEdit, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return format;
}

void WhilePumping(const std::function<void()>& action, int timeoutMs)
{
    std::atomic<bool> finished = false;
    std::thread worker([&] {
        action();
        finished = true;
    });
    PumpUntil([&] { return finished.load(); }, timeoutMs);
    worker.join();
}

HWND FindMessageBoxOf(DWORD processId, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do
    {
        BoxSearch search{processId, nullptr};
        EnumWindows(TakeMessageBox, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(20);
    } while (Clock::now() < end);
    return nullptr;
}

std::string MessageBoxText(HWND box)
{
    return TextOf(GetDlgItem(box, 65535));
}

void DismissMessageBox(HWND box)
{
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

MessageBoxSeen DismissComingMessageBox(int timeoutMs)
{
    MessageBoxSeen seen;
    WhilePumping([&] {
        const HWND box = FindMessageBoxOf(GetCurrentProcessId(), timeoutMs);
        if (!box)
            return;
        seen.text = MessageBoxText(box);
        seen.caption = TextOf(box);
        seen.owner = GetWindow(box, GW_OWNER);
        DismissMessageBox(box);
    });
    return seen;
}

std::string ContentOf(HWND control)
{
    DWORD_PTR length = 0;
    SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 30000, &length);
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(control, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_NORMAL, 30000, &copied);
    text.resize(std::min<std::size_t>(copied, length));
    return text;
}

int PixelsOfColor(HWND window, COLORREF color)
{
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return 0;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    int count = 0;
    const auto* pixels = static_cast<const DWORD*>(bits);
    const DWORD wanted = (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
    for (int i = 0; i < width * height; ++i)
        count += (pixels[i] & 0xFFFFFF) == wanted;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return count;
}

} // namespace testing_support

std::ostream& operator<<(std::ostream& out, const testing_support::Placement& p)
{
    return out << "(" << p.x << ", " << p.y << ") " << p.width << " x " << p.height;
}
