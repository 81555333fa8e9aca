#include "ui/NicknameDialog.h"

#include "ui/EnterKeyEdits.h"
#include "ui/WindowParts.h"

namespace
{

constexpr int SelectAllHotKey = 3;
constexpr WPARAM OkCommand = 0;
constexpr WPARAM CancelCommand = 1;
// The main window's command that takes the confirmed nickname.
constexpr WPARAM ConfirmNicknameCommand = 2;

// The dialog's private close request. It is only ever sent, never posted, so it never reaches
// a message loop as the real quit message.
constexpr UINT CloseRequest = WM_QUIT;

} // namespace

void NicknameDialog::RegisterDialogClass()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = DialogProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
    windowClass.lpszClassName = className;
    DWORD error = 0;
    if (RegisterWindowClass(windowClass, error))
        return;
    const std::string message = "Error creating class: " + std::to_string(error);
    MessageBoxA(nullptr, message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

void NicknameDialog::Open()
{
    RECT mainWindow = {};
    GetWindowRect(parent, &mainWindow);
    hwnd = CreateWindowExW(0, className, L"Choose your nickname",
                           WS_VISIBLE | WS_CAPTION | WS_SYSMENU, mainWindow.left + 400,
                           mainWindow.top + 200, width, height, nullptr, nullptr, nullptr, this);
    if (!hwnd)
    {
        MessageBoxA(nullptr, "Error creating dialog window.", "Error", MB_OK | MB_ICONERROR);
        return;
    }
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetActiveWindow(hwnd);

    edit = CreateWindowExA(0, "edit", text.c_str(), WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 20,
                           width - 37, 23, hwnd, IdMenu(0), nullptr, nullptr);
    MakeDialogEdit(edit);
    okButton = CreateWindowExA(0, "button", "Ok", WS_CHILD | WS_VISIBLE, 50, 60, 90, 25, hwnd,
                               IdMenu(OkCommand), nullptr, nullptr);
    cancelButton = CreateWindowExA(0, "button", "Cancel", WS_CHILD | WS_VISIBLE, 150, 60, 90, 25,
                                   hwnd, IdMenu(CancelCommand), nullptr, nullptr);

    ReplaceFonts();
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(editFont.Get()), TRUE);
    SendMessageW(okButton, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont.Get()), TRUE);
    SendMessageW(cancelButton, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont.Get()), TRUE);

    // Typing goes straight into the box and replaces the nickname shown.
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 0, -1);
}

// Every opening makes a new pair of fonts; the pair of the last opening, whose controls are
// gone with its window, goes as they take its place.
void NicknameDialog::ReplaceFonts()
{
    editFont = MakeFont(16, 6, FW_NORMAL);
    buttonFont = MakeFont(16, 7, FW_BOLD);
}

LRESULT CALLBACK NicknameDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
    {
        // The dialog's hwnd is set by Open from CreateWindowExW's result, not here.
        auto* self =
            static_cast<NicknameDialog*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetLastError(0);
        if (!SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self)) &&
            GetLastError() != 0)
            return 0; // creation fails
        return DefWindowProcW(window, message, wParam, lParam);
    }

    auto* self = reinterpret_cast<NicknameDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self)
        self->HandleMessage(window, message, wParam);
    // The window's last message: its last messages no longer find the dialog object.
    if (message == WM_NCDESTROY)
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return DefWindowProcW(window, message, wParam, lParam);
}

void NicknameDialog::HandleMessage(HWND window, UINT message, WPARAM wParam)
{
    switch (message)
    {
    case WM_DESTROY:
        hwnd = nullptr;
        break;
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE)
        {
            RegisterHotKey(window, SelectAllHotKey, MOD_CONTROL, 'A');
            hotKeyRegistered = true;
        }
        else if (hotKeyRegistered)
        {
            UnregisterHotKey(window, SelectAllHotKey);
            hotKeyRegistered = false;
        }
        break;
    case CloseRequest:
        DestroyWindow(window);
        break;
    case WM_COMMAND:
        if (wParam == OkCommand)
        {
            // The main window takes the nickname while the dialog still exists; one it refuses
            // keeps the dialog open.
            if (SendMessageA(parent, WM_COMMAND, ConfirmNicknameCommand, 0) != 0)
                SendMessageW(window, CloseRequest, 0, 0);
        }
        else if (wParam == CancelCommand)
        {
            SendMessageW(window, CloseRequest, 0, 0);
        }
        break;
    case WM_HOTKEY:
        if (LOWORD(wParam) == SelectAllHotKey)
            SendMessageW(edit, EM_SETSEL, 0, -1);
        break;
    default:
        break;
    }
}
