#pragma once

#include "ui/BaseWindow.h"
#include "ui/NicknameDialog.h"

#include <richedit.h>

#include <cstdint>
#include <string>

// The program's one top-level window: the chat log, the message box with its Send button, the
// users-online list and the nickname label. It meets the chat client only through the main
// loop: it raises messagePending / nicknameChanged and fills pendingMessage / nickname, and the
// chat client writes into it through AppendChatLine.
class MainWindow : public BaseWindow<MainWindow>
{
public:
    PCWSTR ClassName() const override { return L"Ostrel chat client"; }
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Makes nick the nickname: stores it in data.dat, flags it for announcement and, once the
    // window exists, shows it in the label and lays the window out again.
    void ApplyNickname(const std::string& nick);
    // The Send action: hands the typed text to the chat client and locks the box for 300 ms.
    void SubmitMessage();
    // Appends one received chat line (without its line feed) to the chat log, its control bytes
    // shown as spaces, colours it and scrolls down by one line.
    void AppendChatLine(const std::string& text);
    // Colours the line that starts at character position start: grey time, bold coloured sender.
    void FormatChatLine(std::int32_t start, std::string line);

    NicknameDialog nicknameDialog;
    CHARFORMATW defaultFormat = {};
    HWND messageEdit = nullptr;
    HWND chatLog = nullptr;
    HWND usersGroup = nullptr;
    HWND usersList = nullptr;
    HWND sendButton = nullptr;
    HWND nicknameLabel = nullptr;
    HFONT editFont = nullptr;
    HFONT spareFont = nullptr;
    HFONT listFont = nullptr;
    HFONT labelFont = nullptr;
    const char* fontFace = "Tahoma";
    bool messagePending = false;
    bool hotKeysRegistered = false;
    bool nicknameChanged = false;
    std::int32_t chatLength = 0;
    std::string pendingMessage;
    std::string nickname;

private:
    LRESULT OnCreate();
    void CreateControls();
    void CreateMenuBar();
    void SetupFonts();
    void LayoutControls();
    void RegisterHotKeys();
    void ReleaseHotKeys();
    void OnPaint();
    void OnTimer(WPARAM timerId);
    void OnActivate(bool active, bool minimised);
    LRESULT OnCommand(WPARAM command, LPARAM lParam);
    bool OnSetCursor(HWND under, LPARAM hitTest);
    void OpenNicknameDialog();
    // Applies the dialog's nickname; false, with a warning naming the reason, when the nickname
    // rule refuses it.
    bool ConfirmNickname();
    void OnHotKey(WPARAM hotKeyId);
    void ShowAbout();
};
