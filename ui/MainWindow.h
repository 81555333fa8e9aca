#pragma once

#include "ui/BaseWindow.h"
#include "ui/ChatLineFormat.h"
#include "ui/GdiObject.h"
#include "ui/NicknameDialog.h"
#include "ui/NicknameStore.h"

#include <richedit.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

// The program's one top-level window: the chat log, the message box with its Send button, the
// users-online list and the nickname label. It knows nothing of the chat client and meets it only
// through the main loop: it raises messagePending / nicknameChanged and fills pendingMessage /
// nickname, and the loop shows what the client received through AppendChatLine and usersList.
class MainWindow : public BaseWindow<MainWindow>
{
public:
    // The window keeps the user's nickname in the store it is given.
    explicit MainWindow(NicknameStore& nicknames) : nicknames(nicknames) {}

    PCWSTR ClassName() const override { return L"Ostrel chat client"; }
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Makes nick the nickname: stores it in data.dat, flags it for announcement and, once the
    // window exists, shows it in the label and lays the window out again.
    void ApplyNickname(const std::string& nick);
    // The Send action: hands the typed text to the chat client and locks the box for 300 ms.
    void SubmitMessage();
    // Appends one received chat line (without its line feed) to the chat log, its control bytes
    // shown as spaces: grey time, bold sender coloured by who it is, web addresses as links.
    // When the newest line was in view, it scrolls down by one line to keep it so; a user who
    // has scrolled up to read keeps reading. Past ChatLogMaxLines + ChatLogTrimLines lines, the
    // oldest ChatLogTrimLines go, and the view stays on what it showed.
    void AppendChatLine(const std::string& text);
    // Paints what AppendChatLine added since the chat log was last painted. Lines are appended
    // with the log's painting held, and painted once a burst is over (the chat client's frame
    // calls this when the socket has nothing more to read) or at the latest every 50 ms.
    void RepaintChatLog();

    // The chat log keeps the newest lines only: a program left open for days stays light. The
    // oldest go a hundred at a time, so that trimming is not done for every line. Larger chunks
    // would not be cheaper per line under Wine (its control shifts every later line for each line
    // removed, whatever the chunk), only longer pauses.
    static constexpr std::size_t ChatLogMaxLines = 5000;
    static constexpr std::size_t ChatLogTrimLines = 100;

    // Opens a web address the user clicked in the chat log (in the default browser); tests put
    // their own in its place to see what would be opened.
    std::function<void(const std::string& address)> openLink = OpenInBrowser;
    static void OpenInBrowser(const std::string& address);

    NicknameDialog nicknameDialog;
    CHARFORMATW defaultFormat = {};
    HWND messageEdit = nullptr;
    HWND chatLog = nullptr;
    HWND usersGroup = nullptr;
    HWND usersList = nullptr;
    HWND sendButton = nullptr;
    HWND nicknameLabel = nullptr;
    FontObject editFont;
    FontObject spareFont;
    FontObject listFont;
    FontObject labelFont;
    const char* fontFace = "Tahoma";
    bool messagePending = false;
    bool hotKeysRegistered = false;
    bool nicknameChanged = false;
    std::int32_t chatLength = 0;
    std::deque<std::int32_t> chatLineStarts; // where each line in the log starts
    struct ChatLink
    {
        std::int32_t begin, end; // characters of the log
    };
    std::deque<ChatLink> chatLinks; // in the order of the log
    bool chatLogHeld = false;       // lines were appended that are not painted yet
    std::chrono::steady_clock::time_point chatLogHeldSince;
    std::string pendingMessage;
    std::string nickname;

private:
    NicknameStore& nicknames;

    ChatLineFormat InsertChatLine(const std::string& line);
    bool ChatLogShowsEnd() const;
    void TrimChatLog(bool showsEnd);
    void ScrollChatLogTo(LRESULT firstLine);
    // The link under a point of the chat log's client area, if any.
    const ChatLink* LinkAt(POINT point) const;
    void OpenLink(const ChatLink& link);
    static LRESULT CALLBACK ChatLogProc(HWND log, UINT message, WPARAM wParam, LPARAM lParam);
    bool OnChatLogMouse(UINT message, LPARAM lParam);
    const ChatLink* pressedLink = nullptr;
    LRESULT OnCreate();
    // False when the rich edit controls cannot be made.
    bool CreateControls();
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
