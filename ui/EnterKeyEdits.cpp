#include "ui/EnterKeyEdits.h"

namespace
{

WNDPROC previousMessageEditProc = nullptr;
// Replaced at each opening of the dialog, which creates a new edit box each time.
WNDPROC previousDialogEditProc = nullptr;

WNDPROC Subclass(HWND edit, WNDPROC procedure)
{
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

} // namespace

void MakeMessageEdit(HWND edit)
{
    previousMessageEditProc = Subclass(edit, MessageEditProc);
}

void MakeDialogEdit(HWND edit)
{
    previousDialogEditProc = Subclass(edit, DialogEditProc);
}

LRESULT CALLBACK MessageEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_KEYDOWN && wParam == VK_RETURN)
    {
        SendMessageW(GetParent(edit), WM_COMMAND, 3, 13);
        return 0;
    }
    // The carriage return that Enter produces would only make the box beep.
    if (message == WM_CHAR && wParam == 13)
        return 0;
    return CallWindowProcW(previousMessageEditProc, edit, message, wParam, lParam);
}

LRESULT CALLBACK DialogEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Confirming destroys the dialog and this box with it, so the carriage return that follows
    // finds no window.
    if (message == WM_KEYDOWN && wParam == VK_RETURN)
    {
        SendMessageA(GetParent(edit), WM_COMMAND, 0, 0);
        return 0;
    }
    return CallWindowProcW(previousDialogEditProc, edit, message, wParam, lParam);
}
