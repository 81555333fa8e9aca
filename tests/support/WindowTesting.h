#pragma once

// Helpers for tests that create real windows in the test process and read back their state.

#include <windows.h>

#include <richedit.h>

#include <functional>
#include <string>

namespace testing_support
{

// Dispatches this thread's messages for the given time, as the program's loop would.
void PumpMessages(int milliseconds);
// Dispatches messages until the condition holds or the time is up; returns the condition.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 3000);

std::string ClassNameOf(HWND window);
std::string TextOf(HWND window);
LONG_PTR StyleOf(HWND window);

struct Placement
{
    int x, y, width, height;
    bool operator==(const Placement& other) const
    {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};
// Position within the parent's client area, and size.
Placement PlacementOf(HWND control);
// Outer size of a top-level window.
SIZE OuterSizeOf(HWND window);

// How many pixels on the screen, within the window's rectangle, have exactly this colour: what
// the user sees there, whoever painted it.
int PixelsOfColor(HWND window, COLORREF color);

// The character format at one position of a rich edit control.
CHARFORMATW CharFormatAt(HWND richEdit, int position);

// Runs action on another thread while this one pumps messages until it returns: for checking a
// modal message box that blocks the thread which opened it.
void WhilePumping(const std::function<void()>& action, int timeoutMs = 10000);

// What a message box showed.
struct MessageBoxSeen
{
    std::string text;
    std::string caption;
    HWND owner = nullptr;
};
// Once the caller has posted what opens a message box in this thread: pumps messages while the
// box is up, reads it and dismisses it. Empty when no box came.
MessageBoxSeen DismissComingMessageBox(int timeoutMs = 5000);

// The text a control holds, also a control of another process (where GetWindowText would give
// only a window's caption).
std::string ContentOf(HWND control);

// A top-level window of this process with the class "#32770" (a message box), or null.
HWND FindMessageBoxOf(DWORD processId, int timeoutMs);
// The text of a message box (its static control with id 65535).
std::string MessageBoxText(HWND box);
void DismissMessageBox(HWND box);

} // namespace testing_support

std::ostream& operator<<(std::ostream& out, const testing_support::Placement& p);
