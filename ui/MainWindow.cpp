#include "ui/MainWindow.h"

#include "common/ChatProtocol.h"
#include "common/NicknameRule.h"
#include "ui/ChatLineFormat.h"
#include "ui/Cursors.h"
#include "ui/EnterKeyEdits.h"
#include "ui/RoundButton.h"
#include "ui/WindowParts.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <vector>

namespace
{

// Control ids, passed as the menu argument of each control.
constexpr int ChatLogId = 0;
constexpr int UsersGroupId = 1;
constexpr int MessageEditId = 3;
constexpr int UsersListId = 4;
constexpr int SendButtonId = 5;
constexpr int NicknameLabelId = 0;

// Commands of WM_COMMAND, compared with the whole wParam so that only notification code 0
// matches.
constexpr WPARAM ConfirmNicknameCommand = 2; // sent by the nickname dialog
constexpr WPARAM SendKeyCommand = 3;         // Enter in the message box, with lParam 13
constexpr WPARAM SendButtonCommand = SendButtonId;
constexpr WPARAM NicknameMenuCommand = 10;
constexpr WPARAM AboutMenuCommand = 11;

// System-wide hot keys, held while the window is active and not minimised.
constexpr int SelectAllHotKey = 6;
constexpr int NicknameHotKey = 7;
constexpr int AboutHotKey = 8;

// The send cool-down.
constexpr UINT_PTR SendTimer = 9;
constexpr UINT SendCoolDownMs = 300;

// The window background: the system colour brush of the menu colour (index plus one).
const auto BackgroundBrush = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);

// The chat log's initial size, from which the other controls' first positions derive. The
// first WM_SIZE replaces them all.
constexpr int ChatLogWidth = 1000;
constexpr int ChatLogHeight = 553;

// The narrowest the message box gets; a long nickname's label gives way instead.
constexpr int MinMessageWidth = 100;

// While a burst of lines arrives, the chat log is painted at least this often.
constexpr auto ChatLogPaintInterval = std::chrono::milliseconds(50);

WNDPROC chatLogProc = nullptr; // the rich edit class's own procedure

// A rich edit control stops taking inserted text at 32,767 characters unless told otherwise; the
// chat log holds thousands of lines, as long as people make them.
constexpr LPARAM ChatLogTextLimit = 0x7FFFFFFF;

// Chat log colours.
constexpr COLORREF TimeColor = RGB(180, 180, 180);
constexpr COLORREF OtherSenderColor = RGB(0, 138, 80);
constexpr COLORREF ServerSenderColor = RGB(255, 85, 85);
constexpr COLORREF OwnSenderColor = RGB(65, 136, 254);

const char* const AboutText =
    "Ostrel Chat 1.0\n\n"
    "A small, friendly chat client: type a line, press Enter, and everyone on your server "
    "sees it.\n\n"
    "Choose your nickname with Ctrl+N. Your nickname and the server's address are kept in "
    "data.dat, next to where the program starts.";

void SetFont(HWND control, HFONT font)
{
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

} // namespace

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE:
        return OnCreate();
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        LayoutControls();
        if (wParam == SIZE_MINIMIZED)
            ReleaseHotKeys();
        return 1;
    case WM_ACTIVATE:
        OnActivate(LOWORD(wParam) != WA_INACTIVE, HIWORD(wParam) != 0);
        return 1;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {400, 300};
        return 1;
    case WM_TIMER:
        OnTimer(wParam);
        return 1;
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_CTLCOLORBTN:
        return reinterpret_cast<LRESULT>(BackgroundBrush);
    case WM_HOTKEY:
        OnHotKey(wParam);
        return 1;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), lParam))
            return TRUE;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

LRESULT MainWindow::OnCreate()
{
    SetCursor(arrowCursor);
    // Without its rich edit controls the window is of no use: its creation fails, as one whose
    // class could not be registered does, and start-up reports it.
    if (!CreateControls())
        return -1;
    CreateMenuBar();
    nicknameDialog.parent = hwnd;
    nicknameDialog.RegisterDialogClass();
    SetFocus(messageEdit);
    const int length = GetWindowTextLengthW(messageEdit);
    SendMessageW(messageEdit, EM_SETSEL, length, length);
    SendMessageW(messageEdit, EM_LIMITTEXT, ChatProtocol::MaxMessageChars, 0);
    if (nicknames.HasNickname())
        ApplyNickname(nicknames.StoredNickname());
    SetupFonts();
    RegisterHotKeys();
    return 1;
}

bool MainWindow::CreateControls()
{
    if (!LoadLibraryW(L"Msftedit.dll")) // provides the RICHEDIT50W class
        return false;

    chatLog = CreateWindowExW(0, L"RICHEDIT50W", L"",
                              WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE |
                                  ES_AUTOVSCROLL | ES_READONLY,
                              10, 10, ChatLogWidth, ChatLogHeight, hwnd, IdMenu(ChatLogId), nullptr,
                              nullptr);
    SendMessageW(chatLog, EM_EXLIMITTEXT, 0, ChatLogTextLimit);
    // Links are the log's own underlined text, whose clicks the window sees (the control's own
    // links would be painted in a colour of their own). Subclassed by replacing its procedure:
    // Wine's subclassing helpers look the subclass up at every message, which would double what
    // a line costs.
    chatLogProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        chatLog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::ChatLogProc)));

    messageEdit = CreateWindowExA(0, "edit", "", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL,
                                  10, ChatLogHeight + 20, ChatLogWidth, 27, hwnd,
                                  IdMenu(MessageEditId), nullptr, nullptr);
    MakeMessageEdit(messageEdit);

    sendButton =
        CreateWindowExA(0, "button", "", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 10,
                        ChatLogHeight + 57, 100, 27, hwnd, IdMenu(SendButtonId), nullptr, nullptr);
    MakeRoundButton(sendButton); // its caption comes from its style, not its window text

    usersGroup = CreateWindowExA(0, "button", "Users online", WS_CHILD | WS_VISIBLE | BS_GROUPBOX,
                                 ChatLogWidth + 20, 10, 150, ChatLogHeight, hwnd,
                                 IdMenu(UsersGroupId), nullptr, nullptr);

    usersList = CreateWindowExW(
        0, L"RICHEDIT50W", L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 5,
        20, 140, ChatLogHeight - 30, usersGroup, IdMenu(UsersListId), nullptr, nullptr);
    SendMessageW(usersList, EM_SETBKGNDCOLOR, 0, RGB(240, 240, 240));

    nicknameLabel = CreateWindowExA(0, "static", nickname.c_str(),
                                    WS_CHILD | WS_VISIBLE | SS_CENTER, 10, ChatLogHeight + 57, 100,
                                    27, hwnd, IdMenu(NicknameLabelId), nullptr, nullptr);
    return chatLog && usersList;
}

void MainWindow::CreateMenuBar()
{
    // The shortcuts after the tab are only shown: they work through the hot keys.
    const HMENU bar = CreateMenu();
    const HMENU edit = CreateMenu();
    const HMENU help = CreateMenu();
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(edit), "Edit");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), "Help");
    AppendMenuA(edit, MF_STRING, NicknameMenuCommand, "Choose nickname...\tCtrl+N");
    AppendMenuA(help, MF_STRING, AboutMenuCommand, "About Ostrel Chat\tCtrl+H");
    SetMenu(hwnd, bar);
}

void MainWindow::SetupFonts()
{
    // Only the size of the chat log's default format changes (11 points); it keeps its own font.
    defaultFormat = {};
    defaultFormat.cbSize = sizeof(CHARFORMATW);
    defaultFormat.dwMask = CFM_SIZE;
    defaultFormat.yHeight = 220;
    SendMessageW(chatLog, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&defaultFormat));
    // Then the whole default format as the control now has it: the format of a line's plain parts.
    defaultFormat = {};
    defaultFormat.cbSize = sizeof(CHARFORMATW);
    SendMessageW(chatLog, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&defaultFormat));

    editFont = MakeFont(18, 8, FW_NORMAL, fontFace);
    labelFont = MakeFont(19, 9, FW_BOLD, fontFace);
    listFont = MakeFont(16, 7, FW_BOLD, fontFace);
    spareFont = MakeFont(16, 7, FW_BOLD, fontFace);

    SetFont(messageEdit, editFont);
    SetFont(usersGroup, listFont);
    SetFont(usersList, listFont);
    SetFont(nicknameLabel, labelFont);
}

// Lays the controls out from the window's outer size (frame, caption and menu included). The
// label is 14 pixels per byte of the nickname and the message box starts just after it; when
// the window is too narrow for both, the message box keeps MinMessageWidth and the label gives
// way. Moved controls paint themselves anew (SWP_NOCOPYBITS): the chat log repaints over their
// old places, and copying those pixels would leave them blank.
void MainWindow::LayoutControls()
{
    RECT outer;
    if (!GetWindowRect(hwnd, &outer))
        return;
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    int labelWidth = 14 * static_cast<int>(nickname.size());
    if (width - labelWidth - 160 < MinMessageWidth)
        labelWidth = std::max(0, width - 160 - MinMessageWidth);
    const UINT moved = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS;

    HDWP positions = BeginDeferWindowPos(4);
    positions = DeferWindowPos(positions, chatLog, nullptr, 0, 0, width - 200, height - 116,
                               SWP_NOMOVE | moved);
    SetWindowPos(usersGroup, nullptr, width - 180, 10, 150, height - 116, moved);
    SetWindowPos(usersList, nullptr, 5, 20, 140, height - 141, moved);
    positions = DeferWindowPos(positions, sendButton, nullptr, width - 130, height - 97, 0, 0,
                               SWP_NOSIZE | SWP_NOOWNERZORDER | moved);
    positions = DeferWindowPos(positions, messageEdit, nullptr, labelWidth + 14, height - 97,
                               width - labelWidth - 160, 27, moved);
    positions = DeferWindowPos(positions, nicknameLabel, HWND_TOPMOST, 10, height - 95, labelWidth,
                               27, moved);
    EndDeferWindowPos(positions);
}

void MainWindow::RegisterHotKeys()
{
    RegisterHotKey(hwnd, SelectAllHotKey, MOD_CONTROL, 'A');
    RegisterHotKey(hwnd, NicknameHotKey, MOD_CONTROL, 'N');
    RegisterHotKey(hwnd, AboutHotKey, MOD_CONTROL, 'H');
    hotKeysRegistered = true;
}

void MainWindow::ReleaseHotKeys()
{
    if (!hotKeysRegistered)
        return;
    UnregisterHotKey(hwnd, SelectAllHotKey);
    UnregisterHotKey(hwnd, NicknameHotKey);
    UnregisterHotKey(hwnd, AboutHotKey);
    hotKeysRegistered = false;
}

void MainWindow::OnPaint()
{
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(hwnd, &paint);
    FillRect(dc, &paint.rcPaint, BackgroundBrush);
    EndPaint(hwnd, &paint);
}

void MainWindow::OnTimer(WPARAM timerId)
{
    if (timerId != SendTimer)
        return;
    EnableWindow(messageEdit, TRUE);
    SetFocus(messageEdit);
    KillTimer(hwnd, SendTimer);
}

// Whatever the window came back from (minimised, the About box, a warning, the nickname dialog),
// typing goes on in the message box: the window itself takes no keys.
void MainWindow::OnActivate(bool active, bool minimised)
{
    if (!active)
    {
        // A message box or another program comes in front: the log shows all it holds.
        RepaintChatLog();
        ReleaseHotKeys();
        return;
    }
    RegisterHotKeys();
    if (!minimised)
        SetFocus(messageEdit);
}

// 1 for every command but a refused nickname, for which the dialog stays open.
LRESULT MainWindow::OnCommand(WPARAM command, LPARAM lParam)
{
    switch (command)
    {
    case ConfirmNicknameCommand:
        return ConfirmNickname() ? 1 : 0;
    case SendKeyCommand:
        if (lParam == 13)
            SubmitMessage();
        break;
    case SendButtonCommand:
        SubmitMessage();
        SetFocus(messageEdit);
        break;
    case NicknameMenuCommand:
        OpenNicknameDialog();
        break;
    case AboutMenuCommand:
        ShowAbout();
        break;
    default:
        break;
    }
    return 1;
}

// The window's class has no cursor of its own; over the window's own background the pointer is
// the arrow again after it leaves the Send button's hand.
bool MainWindow::OnSetCursor(HWND under, LPARAM hitTest)
{
    if (under != hwnd || LOWORD(hitTest) != HTCLIENT)
        return false;
    SetCursor(arrowCursor);
    return true;
}

void MainWindow::OpenNicknameDialog()
{
    if (nicknameDialog.hwnd)
    {
        MessageBoxA(hwnd, "This window is already active.", "Warning", MB_OK | MB_ICONWARNING);
        return;
    }
    nicknameDialog.Open();
}

bool MainWindow::ConfirmNickname()
{
    const int length = GetWindowTextLengthA(nicknameDialog.edit);
    std::vector<char> text(length + 1, '\0');
    GetWindowTextA(nicknameDialog.edit, text.data(), length + 1);
    const std::string nick = text.data();

    // A nickname the server would refuse is refused here, with the reason: nothing changes and
    // the dialog stays open with what the user typed, ready to be corrected.
    const std::string problem = NicknameRule::Problem(nick);
    if (!problem.empty())
    {
        const std::string warning = problem + "\n\nPlease choose another nickname.";
        MessageBoxA(nicknameDialog.hwnd, warning.c_str(), "Warning", MB_OK | MB_ICONWARNING);
        SetFocus(nicknameDialog.edit);
        SendMessageW(nicknameDialog.edit, EM_SETSEL, 0, -1);
        return false;
    }
    ApplyNickname(nick);
    nicknameDialog.text = nickname;
    return true;
}

void MainWindow::OnHotKey(WPARAM hotKeyId)
{
    if (GetForegroundWindow() != hwnd)
        return;
    const HWND focus = GetFocus();
    switch (LOWORD(hotKeyId))
    {
    case SelectAllHotKey:
        if (focus == messageEdit)
            SendMessageW(messageEdit, EM_SETSEL, 0, -1);
        break;
    case NicknameHotKey:
        SendMessageW(hwnd, WM_COMMAND, NicknameMenuCommand, 0);
        break;
    case AboutHotKey:
        ShowAbout();
        break;
    default:
        break;
    }
}

void MainWindow::ShowAbout()
{
    MessageBoxA(hwnd, AboutText, "About Ostrel Chat", MB_OK | MB_ICONINFORMATION);
}

void MainWindow::SubmitMessage()
{
    const int size = GetWindowTextLengthA(messageEdit) + 1;
    if (size <= 1)
        return;
    EnableWindow(messageEdit, FALSE);
    SetTimer(hwnd, SendTimer, SendCoolDownMs, nullptr);
    pendingMessage.reserve(size);
    std::vector<char> text(size, '\0');
    GetWindowTextA(messageEdit, text.data(), size);
    pendingMessage = text.data();
    messagePending = true;
}

void MainWindow::ApplyNickname(const std::string& nick)
{
    nickname = nick;
    nicknameChanged = true;
    if (!nicknames.StoreNickname(nick))
        MessageBoxA(nullptr, "Unable to write new nickname to data.dat.", "Error",
                    MB_OK | MB_ICONERROR);

    // Before the window exists (start-up's first run) there is nothing to show it in yet.
    if (!hwnd)
        return;
    SetFocus(messageEdit);
    const std::string labelText = nickname + ": ";
    if (!SetWindowTextA(nicknameLabel, labelText.c_str()))
        MessageBoxA(nullptr, "Unable to update nickname label with new value.", "Error",
                    MB_OK | MB_ICONERROR);
    SendMessageW(hwnd, WM_SIZE, 0, 0);
    InvalidateRect(nicknameLabel, nullptr, TRUE);
}

void MainWindow::AppendChatLine(const std::string& text)
{
    // Control bytes of a received line are shown as spaces: a NUL would end the insertion early
    // and a CR LF would break the line in two, and either would shift the colours of every
    // later line. A tab stays a tab.
    std::string line = text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            c = ' ';
    line += '\n';
    // Painting after every line is most of a line's cost (under Wine, the insertion and the
    // scroll each repaint the whole view): it waits until the burst is over, or 50 ms.
    if (!chatLogHeld)
    {
        SendMessageW(chatLog, WM_SETREDRAW, FALSE, 0);
        chatLogHeld = true;
        chatLogHeldSince = std::chrono::steady_clock::now();
    }
    // The caret goes to the end, wherever the user left the selection. The end is asked for in
    // characters, which the control keeps count of: the ANSI length (GetWindowTextLengthA) can
    // cost a conversion of the whole log. A selection set by position costs a walk through the
    // whole log in Wine's control, so it is only set when the caret is not at the end already;
    // each line leaves it there.
    GETTEXTLENGTHEX lengthOf = {};
    lengthOf.flags = GTL_NUMCHARS | GTL_PRECISE;
    lengthOf.codepage = 1200; // UTF-16: characters as the control stores them
    const LRESULT end =
        SendMessageW(chatLog, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&lengthOf), 0);
    CHARRANGE selection = {};
    SendMessageW(chatLog, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
    if (selection.cpMin != end || selection.cpMax != end)
        SendMessageA(chatLog, EM_SETSEL, end, end);
    // Inserting at the caret scrolls the caret into view: for a user who has scrolled up to read,
    // the view is put back on the line it showed first. (By lines: the control's scroll
    // positions are 16-bit, and the log grows taller than that.)
    const bool showsEnd = ChatLogShowsEnd();
    const LRESULT firstLine = showsEnd ? 0 : SendMessageW(chatLog, EM_GETFIRSTVISIBLELINE, 0, 0);
    const ChatLineFormat format = InsertChatLine(line);
    chatLineStarts.push_back(static_cast<std::int32_t>(end));
    for (const auto& link : format.links)
        chatLinks.push_back({static_cast<std::int32_t>(end) + link.begin,
                             static_cast<std::int32_t>(end) + link.end});
    chatLength = static_cast<std::int32_t>(end) + static_cast<std::int32_t>(line.size());
    // The newest line stays in view for a user who was reading it; one who has scrolled up keeps
    // the lines they are reading.
    if (showsEnd)
        SendMessageA(chatLog, EM_LINESCROLL, 0, 1);
    else
        ScrollChatLogTo(firstLine);
    if (chatLineStarts.size() >= ChatLogMaxLines + ChatLogTrimLines)
        TrimChatLog(showsEnd);
    if (std::chrono::steady_clock::now() - chatLogHeldSince >= ChatLogPaintInterval)
        RepaintChatLog();
}

// Whether the last line of the log is in view: the scroll bar is at its end (or there is none).
bool MainWindow::ChatLogShowsEnd() const
{
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    if (!GetScrollInfo(chatLog, SB_VERT, &info) || info.nPage == 0 ||
        info.nMax - info.nMin < static_cast<int>(info.nPage))
        return true;
    return info.nPos + static_cast<int>(info.nPage) >= info.nMax;
}

// Removes the oldest ChatLogTrimLines lines at once, so that trimming costs little per line. The
// view stays where it was: on the newest line for a user who was at the end, on the same text for
// one who had scrolled up (or on the oldest line kept, when what they read is gone).
void MainWindow::TrimChatLog(bool showsEnd)
{
    const std::int32_t cut = chatLineStarts[ChatLogTrimLines];
    // What the view shows first.
    const LRESULT firstShown =
        showsEnd ? 0
                 : SendMessageW(chatLog, EM_LINEINDEX,
                                SendMessageW(chatLog, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    CHARRANGE oldest = {0, cut};
    SendMessageW(chatLog, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&oldest));
    SendMessageW(chatLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    chatLineStarts.erase(chatLineStarts.begin(),
                         chatLineStarts.begin() + static_cast<std::ptrdiff_t>(ChatLogTrimLines));
    for (std::int32_t& start : chatLineStarts)
        start -= cut;
    pressedLink = nullptr;
    while (!chatLinks.empty() && chatLinks.front().begin < cut)
        chatLinks.pop_front();
    for (ChatLink& link : chatLinks)
    {
        link.begin -= cut;
        link.end -= cut;
    }
    chatLength -= cut;
    SendMessageW(chatLog, EM_SETSEL, chatLength, chatLength);

    if (showsEnd)
    {
        SendMessageW(chatLog, WM_VSCROLL, SB_BOTTOM, 0);
        return;
    }
    // The same text first in view; the oldest line kept when it is gone.
    ScrollChatLogTo(
        firstShown >= cut ? SendMessageW(chatLog, EM_EXLINEFROMCHAR, 0, firstShown - cut) : 0);
}

void MainWindow::ScrollChatLogTo(LRESULT firstLine)
{
    const LRESULT now = SendMessageW(chatLog, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (now != firstLine)
        SendMessageW(chatLog, EM_LINESCROLL, 0, firstLine - now);
}

// A press and a release on the same link open it; the hand shows over links. The window is the
// log's parent, found as the window base keeps it.
LRESULT CALLBACK MainWindow::ChatLogProc(HWND log, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETCURSOR || message == WM_LBUTTONDOWN || message == WM_LBUTTONUP)
    {
        auto* self =
            reinterpret_cast<MainWindow*>(GetWindowLongPtrW(GetParent(log), GWLP_USERDATA));
        if (self && self->OnChatLogMouse(message, lParam))
            return TRUE;
    }
    return CallWindowProcW(chatLogProc, log, message, wParam, lParam);
}

// True when the message has been handled (the hand cursor set).
bool MainWindow::OnChatLogMouse(UINT message, LPARAM lParam)
{
    switch (message)
    {
    case WM_SETCURSOR: {
        POINT point = {};
        GetCursorPos(&point);
        ScreenToClient(chatLog, &point);
        if (LOWORD(lParam) != HTCLIENT || !LinkAt(point))
            return false;
        SetCursor(handCursor);
        return true;
    }
    case WM_LBUTTONDOWN:
        pressedLink = LinkAt({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return false;
    case WM_LBUTTONUP: {
        const ChatLink* released = LinkAt({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        if (released && released == pressedLink)
            OpenLink(*released);
        pressedLink = nullptr;
        return false;
    }
    default:
        return false;
    }
}

const MainWindow::ChatLink* MainWindow::LinkAt(POINT point) const
{
    if (chatLinks.empty())
        return nullptr;
    POINTL at = {point.x, point.y};
    const LRESULT index = SendMessageW(chatLog, EM_CHARFROMPOS, 0, reinterpret_cast<LPARAM>(&at));
    const auto link = std::upper_bound(
        chatLinks.begin(), chatLinks.end(), index,
        [](LRESULT position, const ChatLink& candidate) { return position < candidate.begin; });
    if (link == chatLinks.begin() || index >= std::prev(link)->end)
        return nullptr;
    // The nearest character is not always one under the point: past a line's end, say.
    POINTL from = {}, to = {};
    SendMessageW(chatLog, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&from), index);
    SendMessageW(chatLog, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&to), index + 1);
    if (point.x < from.x || (to.y == from.y && point.x >= to.x) || point.y < from.y)
        return nullptr;
    return &*std::prev(link);
}

void MainWindow::OpenLink(const ChatLink& link)
{
    const LONG length = link.end - link.begin;
    if (length <= 0 || length > 4096)
        return;
    // The control is a Unicode one: its text comes as UTF-16 whichever way it is asked for.
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
    TEXTRANGEW range = {{link.begin, link.end}, text.data()};
    SendMessageW(chatLog, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
    // Only a web address is ever opened, checked again as it stands (anything beyond ASCII is
    // none).
    std::string address;
    for (const wchar_t* c = text.data(); *c; ++c)
        address += *c < 0x80 ? static_cast<char>(*c) : '\x7F';
    if (IsWebAddress(address))
        openLink(address);
}

void MainWindow::OpenInBrowser(const std::string& address)
{
    const std::wstring wide(address.begin(), address.end()); // ASCII: IsWebAddress holds
    ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void MainWindow::RepaintChatLog()
{
    if (!chatLogHeld)
        return;
    chatLogHeld = false;
    SendMessageW(chatLog, WM_SETREDRAW, TRUE, 0);
    // Turning painting back on does not repaint by itself; the frame holds the scroll bar.
    RedrawWindow(chatLog, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
}

// Inserts the line at the caret piece by piece, each piece's format set at the caret before it
// goes in: the time grey, the sender bold in its colour, the rest in the log's default format.
// (Colouring the line afterwards would take selections by position.)
ChatLineFormat MainWindow::InsertChatLine(const std::string& line)
{
    const ChatLineFormat format = FormatOfChatLine(line, nickname);

    CHARFORMATW plain = defaultFormat;
    CHARFORMATW time = defaultFormat;
    time.dwMask |= CFM_COLOR;
    time.dwEffects &= ~CFE_AUTOCOLOR;
    time.crTextColor = TimeColor;
    CHARFORMATW sender = time;
    sender.dwMask |= CFM_BOLD;
    sender.dwEffects |= CFE_BOLD;
    switch (format.senderKind)
    {
    case ChatLineFormat::Sender::Own:
        sender.crTextColor = OwnSenderColor;
        break;
    case ChatLineFormat::Sender::Server:
        sender.crTextColor = ServerSenderColor;
        break;
    case ChatLineFormat::Sender::Other:
        sender.crTextColor = OtherSenderColor;
        break;
    }

    const auto insert = [&](std::size_t begin, std::size_t end, CHARFORMATW& charFormat) {
        if (begin >= end)
            return;
        SendMessageW(chatLog, EM_SETCHARFORMAT, SCF_SELECTION,
                     reinterpret_cast<LPARAM>(&charFormat));
        const std::string piece = line.substr(begin, end - begin);
        SendMessageA(chatLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
    };
    // Links keep the colour of the text around them, underlined.
    CHARFORMATW link = plain;
    link.dwMask |= CFM_UNDERLINE;
    link.dwEffects |= CFE_UNDERLINE;
    // The groups come in order: the sender's starts after the time's ends, the links after it.
    std::size_t at = 0;
    for (const auto* group : {&format.time, &format.sender})
    {
        if (!group->present)
            continue;
        const auto begin = static_cast<std::size_t>(group->begin);
        const auto end = static_cast<std::size_t>(group->end);
        insert(at, begin, plain);
        insert(begin, end, group == &format.time ? time : sender);
        at = end;
    }
    for (const auto& address : format.links)
    {
        insert(at, static_cast<std::size_t>(address.begin), plain);
        insert(static_cast<std::size_t>(address.begin), static_cast<std::size_t>(address.end),
               link);
        at = static_cast<std::size_t>(address.end);
    }
    insert(at, line.size(), plain);
    return format;
}
