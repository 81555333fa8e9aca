// The main window, created for real in the test process: its class, controls, fonts, menu,
// layout, Send action and hot keys, read back from the window system.

#include "ui/MainWindow.h"
#include "app/ProgramSettings.h"
#include "support/Files.h"
#include "support/WindowTesting.h"
#include "ui/RoundButton.h"

#include <gtest/gtest.h>

#include <richedit.h>

using namespace testing_support;

namespace
{

// Whether another owner could take this Ctrl+key combination right now, i.e. nobody holds it.
bool HotKeyFree(UINT key)
{
    if (!RegisterHotKey(nullptr, 0xB000, MOD_CONTROL, key))
        return false;
    UnregisterHotKey(nullptr, 0xB000);
    return true;
}

class MainWindowTest : public ::testing::Test
{
protected:
    // Creates the window as start-up does, with data.dat holding the given lines.
    void Open(const std::string& settingsLines = "")
    {
        WriteBytes("data.dat", OnDisk(settingsLines));
        created = window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650);
        ASSERT_NE(created, nullptr);
        PumpMessages(50);
    }

    void TearDown() override
    {
        if (window.hwnd && IsWindow(window.hwnd))
            DestroyWindow(window.hwnd);
        PumpMessages(20);
    }

    bool TimerRunning() { return KillTimer(window.hwnd, 9) != FALSE; }

    MainWindow window{programNicknames};
    HWND created = nullptr;
};

TEST_F(MainWindowTest, ClassAndWindowAreRegisteredAndCreatedAsStartUpAsks)
{
    Open();
    EXPECT_EQ(window.hwnd, created) << "the handle is known from WM_NCCREATE on";
    EXPECT_EQ(ClassNameOf(window.hwnd), "Ostrel chat client");
    EXPECT_EQ(TextOf(window.hwnd), "Ostrel Chat Client");

    WNDCLASSEXW info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"Ostrel chat client", &info));
    EXPECT_EQ(info.style, 0u);
    EXPECT_EQ(info.hCursor, nullptr);
    EXPECT_EQ(info.hbrBackground, reinterpret_cast<HBRUSH>(5));
    EXPECT_EQ(info.lpfnWndProc, &MainWindow::WindowProc);

    const LONG_PTR style = StyleOf(window.hwnd);
    EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(style & WS_VISIBLE);
    const SIZE size = OuterSizeOf(window.hwnd);
    EXPECT_EQ(size.cx, 1200);
    EXPECT_EQ(size.cy, 650);
}

// Creation styles that the controls turn into something else: a rich edit drops WS_VSCROLL while
// its scroll bar is hidden, and an edit box takes WS_BORDER over and draws the border itself.
constexpr LONG_PTR ChangedByTheControl = WS_VSCROLL | WS_BORDER;

struct ControlSpec
{
    const char* name;
    HWND MainWindow::*field;
    const char* className;
    int id;
    LONG_PTR styles;
    LONG_PTR absentStyles;
    const char* text;
};

TEST_F(MainWindowTest, SixControlsAreCreatedWithTheirClassesIdsAndStyles)
{
    Open();
    const LONG_PTR child = WS_CHILD | WS_VISIBLE;
    const ControlSpec specs[] = {
        {"chat log", &MainWindow::chatLog, "RICHEDIT50W", 0,
         child | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0, ""},
        {"message box", &MainWindow::messageEdit, "Edit", 3, child | WS_BORDER | ES_AUTOHSCROLL,
         ES_MULTILINE, ""},
        {"send button", &MainWindow::sendButton, "Button", 5, child | BS_OWNERDRAW, 0, ""},
        {"users group", &MainWindow::usersGroup, "Button", 1, child | BS_GROUPBOX, 0,
         "Users online"},
        {"users list", &MainWindow::usersList, "RICHEDIT50W", 4,
         child | WS_VSCROLL | ES_MULTILINE | ES_READONLY, WS_BORDER, ""},
        {"nickname label", &MainWindow::nicknameLabel, "Static", 0, child | SS_CENTER, 0, ""},
    };
    for (const auto& spec : specs)
    {
        const HWND control = window.*spec.field;
        ASSERT_TRUE(IsWindow(control)) << spec.name;
        EXPECT_STRCASEEQ(ClassNameOf(control).c_str(), spec.className) << spec.name;
        EXPECT_EQ(GetDlgCtrlID(control), spec.id) << spec.name;
        const LONG_PTR kept = spec.styles & ~ChangedByTheControl;
        EXPECT_EQ(StyleOf(control) & kept, kept) << spec.name;
        EXPECT_EQ(StyleOf(control) & spec.absentStyles, 0) << spec.name;
        EXPECT_EQ(TextOf(control), spec.text) << spec.name;
    }
    EXPECT_EQ(StyleOf(window.sendButton) & 0x0F, BS_OWNERDRAW);
    EXPECT_TRUE(StyleOf(window.chatLog) & WS_BORDER);
    EXPECT_FALSE(GetWindowLongPtrW(window.usersList, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_EQ(GetParent(window.usersList), window.usersGroup);
    for (HWND control : {window.chatLog, window.messageEdit, window.sendButton, window.usersGroup,
                         window.nicknameLabel})
        EXPECT_EQ(GetParent(control), window.hwnd);

    EXPECT_EQ(SendMessageW(window.messageEdit, EM_GETLIMITTEXT, 0, 0), 200);
    EXPECT_EQ(GetFocus(), window.messageEdit);
    // EM_SETBKGNDCOLOR answers with the colour it replaces.
    EXPECT_EQ(SendMessageW(window.usersList, EM_SETBKGNDCOLOR, 0, RGB(240, 240, 240)),
              RGB(240, 240, 240));
}

TEST_F(MainWindowTest, FontsAndTheChatLogsDefaultSize)
{
    Open();
    struct FontSpec
    {
        HWND control;
        int height, width, weight;
    };
    const FontSpec specs[] = {
        {window.messageEdit, 18, 8, 400},
        {window.usersGroup, 16, 7, 700},
        {window.nicknameLabel, 19, 9, 700},
    };
    for (const auto& spec : specs)
    {
        const auto font = reinterpret_cast<HFONT>(SendMessageW(spec.control, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr) << ClassNameOf(spec.control);
        LOGFONTA description = {};
        ASSERT_TRUE(GetObjectA(font, sizeof description, &description));
        EXPECT_EQ(description.lfHeight, spec.height);
        EXPECT_EQ(description.lfWidth, spec.width);
        EXPECT_EQ(description.lfWeight, spec.weight);
        EXPECT_STREQ(description.lfFaceName, "Tahoma");
        EXPECT_EQ(description.lfQuality, ANTIALIASED_QUALITY);
    }
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(window.usersGroup, WM_GETFONT, 0, 0)),
              window.listFont);
    EXPECT_NE(window.spareFont, nullptr);

    // A rich edit takes its font into its default character format.
    CHARFORMATW users = {};
    users.cbSize = sizeof users;
    SendMessageW(window.usersList, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&users));
    EXPECT_STREQ(users.szFaceName, L"Tahoma");
    EXPECT_TRUE(users.dwEffects & CFE_BOLD);

    CHARFORMATW chat = {};
    chat.cbSize = sizeof chat;
    SendMessageW(window.chatLog, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&chat));
    EXPECT_EQ(chat.yHeight, 220);
    EXPECT_STRNE(chat.szFaceName, L"Tahoma") << "the chat log keeps its own font";
}

TEST_F(MainWindowTest, MenuBarHoldsTheNicknameAndAboutItems)
{
    Open();
    const HMENU bar = GetMenu(window.hwnd);
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    char text[64];
    GetMenuStringA(bar, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Edit");
    GetMenuStringA(bar, 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Help");

    const HMENU edit = GetSubMenu(bar, 0);
    ASSERT_EQ(GetMenuItemCount(edit), 1);
    EXPECT_EQ(GetMenuItemID(edit, 0), 10u);
    GetMenuStringA(edit, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Choose nickname...\tCtrl+N");

    const HMENU help = GetSubMenu(bar, 1);
    ASSERT_EQ(GetMenuItemCount(help), 1);
    EXPECT_EQ(GetMenuItemID(help, 0), 11u);
    GetMenuStringA(help, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "About Ostrel Chat\tCtrl+H");
}

TEST_F(MainWindowTest, LayoutOfTheFirstWindowWithATenByteNickname)
{
    Open("nickname=0123456789\n");
    EXPECT_EQ(window.nickname, "0123456789");
    EXPECT_EQ(TextOf(window.nicknameLabel), "0123456789: ");
    EXPECT_EQ(PlacementOf(window.chatLog), (Placement{10, 10, 1000, 534}));
    EXPECT_EQ(PlacementOf(window.usersGroup), (Placement{1020, 10, 150, 534}));
    EXPECT_EQ(PlacementOf(window.usersList), (Placement{5, 20, 140, 509}));
    EXPECT_EQ(PlacementOf(window.sendButton), (Placement{1070, 553, 100, 27}));
    EXPECT_EQ(PlacementOf(window.messageEdit), (Placement{154, 553, 900, 27}));
    EXPECT_EQ(PlacementOf(window.nicknameLabel), (Placement{10, 555, 140, 27}));
}

TEST_F(MainWindowTest, WindowStopsShrinkingAt400By300)
{
    Open("nickname=0123456789\n");
    MINMAXINFO limits = {};
    SendMessageW(window.hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, 400);
    EXPECT_EQ(limits.ptMinTrackSize.y, 300);

    SetWindowPos(window.hwnd, nullptr, 0, 0, 250, 150, SWP_NOMOVE | SWP_NOZORDER);
    PumpMessages(30);
    const SIZE size = OuterSizeOf(window.hwnd);
    EXPECT_EQ(size.cx, 400);
    EXPECT_EQ(size.cy, 300);
    EXPECT_EQ(PlacementOf(window.chatLog), (Placement{10, 10, 200, 184}));
    EXPECT_EQ(PlacementOf(window.sendButton), (Placement{270, 203, 100, 27}));

    // The longest nickname: the message box keeps 100 pixels and the label gives way, clear of
    // the Send button.
    window.ApplyNickname(std::string(32, 'W'));
    PumpMessages(10);
    EXPECT_EQ(PlacementOf(window.messageEdit), (Placement{154, 203, 100, 27}));
    EXPECT_EQ(PlacementOf(window.nicknameLabel), (Placement{10, 205, 140, 27}));
}

TEST_F(MainWindowTest, ControlsStayPaintedWhenTheWindowGrows)
{
    Open("nickname=Painted\n");
    SetWindowPos(window.hwnd, nullptr, 0, 0, 700, 450, SWP_NOMOVE | SWP_NOZORDER);
    PumpMessages(50);
    // Growing moves the bottom row and the Send button to where the chat log was just painted.
    SetWindowPos(window.hwnd, nullptr, 0, 0, 1100, 640, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(PumpUntil([&] { return PixelsOfColor(window.nicknameLabel, RGB(0, 0, 0)) > 20; }))
        << "the label shows its text";
    EXPECT_TRUE(PumpUntil([&] {
        return PixelsOfColor(window.sendButton, RoundButtonNormalColor) > 1000;
    })) << "the Send button shows its face";
}

TEST_F(MainWindowTest, LayoutFollowsEveryResize)
{
    Open("nickname=ab\n");
    SetWindowPos(window.hwnd, nullptr, 0, 0, 900, 700, SWP_NOMOVE | SWP_NOZORDER);
    PumpMessages(30);
    EXPECT_EQ(PlacementOf(window.chatLog), (Placement{10, 10, 700, 584}));
    EXPECT_EQ(PlacementOf(window.usersGroup), (Placement{720, 10, 150, 584}));
    EXPECT_EQ(PlacementOf(window.usersList), (Placement{5, 20, 140, 559}));
    EXPECT_EQ(PlacementOf(window.messageEdit), (Placement{42, 603, 712, 27}));
    EXPECT_EQ(PlacementOf(window.nicknameLabel), (Placement{10, 605, 28, 27}));
}

TEST_F(MainWindowTest, SendWithAnEmptyBoxDoesNothingButFocusTheBox)
{
    Open();
    SetFocus(window.chatLog);
    SendMessageW(window.hwnd, WM_COMMAND, 5, 0);
    EXPECT_FALSE(window.messagePending);
    EXPECT_EQ(window.pendingMessage, "");
    EXPECT_TRUE(IsWindowEnabled(window.messageEdit));
    EXPECT_FALSE(TimerRunning());
    EXPECT_EQ(GetFocus(), window.messageEdit);

    SendMessageW(window.hwnd, WM_COMMAND, 3, 13);
    EXPECT_FALSE(window.messagePending);
    EXPECT_TRUE(IsWindowEnabled(window.messageEdit));
    EXPECT_FALSE(TimerRunning());
}

TEST_F(MainWindowTest, SendHandsOverTheTextAndLocksTheBoxFor300Ms)
{
    Open();
    SetWindowTextA(window.messageEdit, "hello there");
    SendMessageW(window.hwnd, WM_COMMAND, 3, 13);
    EXPECT_TRUE(window.messagePending);
    EXPECT_EQ(window.pendingMessage, "hello there");
    EXPECT_FALSE(IsWindowEnabled(window.messageEdit));
    EXPECT_EQ(TextOf(window.messageEdit), "hello there") << "the text stays until it is taken";

    SetFocus(window.chatLog);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(window.messageEdit) != FALSE; }, 2000));
    EXPECT_EQ(GetFocus(), window.messageEdit);
    EXPECT_FALSE(TimerRunning()) << "timer 9 is killed when it has fired";
}

TEST_F(MainWindowTest, SendButtonClickSubmitsLikeEnter)
{
    Open();
    SetWindowTextA(window.messageEdit, "via button");
    SendMessageW(window.hwnd, WM_COMMAND, MAKEWPARAM(5, BN_CLICKED),
                 reinterpret_cast<LPARAM>(window.sendButton));
    EXPECT_TRUE(window.messagePending);
    EXPECT_EQ(window.pendingMessage, "via button");
    EXPECT_TRUE(TimerRunning());
}

TEST_F(MainWindowTest, SendCommandWithoutTheEnterMarkIsIgnored)
{
    Open();
    SetWindowTextA(window.messageEdit, "not yet");
    for (LPARAM mark : {0, 12, 14})
        SendMessageW(window.hwnd, WM_COMMAND, 3, mark);
    // A notification from the box itself carries its own code and is no command either.
    SendMessageW(window.hwnd, WM_COMMAND, MAKEWPARAM(3, EN_CHANGE), 13);
    EXPECT_FALSE(window.messagePending);
    EXPECT_TRUE(IsWindowEnabled(window.messageEdit));
    EXPECT_FALSE(TimerRunning());
}

TEST_F(MainWindowTest, HotKeysAreHeldOnlyWhileActiveAndNotMinimised)
{
    Open();
    SendMessageW(window.hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(window.hotKeysRegistered);
    for (UINT key : {'A', 'N', 'H'})
        EXPECT_FALSE(HotKeyFree(key)) << static_cast<char>(key);

    ShowWindow(window.hwnd, SW_MINIMIZE);
    PumpMessages(30);
    EXPECT_FALSE(window.hotKeysRegistered);
    for (UINT key : {'A', 'N', 'H'})
        EXPECT_TRUE(HotKeyFree(key)) << static_cast<char>(key);

    ShowWindow(window.hwnd, SW_RESTORE);
    SetFocus(window.chatLog);
    SendMessageW(window.hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    PumpMessages(30);
    EXPECT_TRUE(window.hotKeysRegistered);
    EXPECT_FALSE(HotKeyFree('N'));
    EXPECT_EQ(GetFocus(), window.messageEdit) << "typing goes on in the message box";

    SendMessageW(window.hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_FALSE(window.hotKeysRegistered);
    for (UINT key : {'A', 'N', 'H'})
        EXPECT_TRUE(HotKeyFree(key)) << static_cast<char>(key);
}

TEST_F(MainWindowTest, AboutBoxIsOwnedByTheWindow)
{
    Open();
    PostMessageW(window.hwnd, WM_COMMAND, 11, 0);
    const MessageBoxSeen box = DismissComingMessageBox();
    EXPECT_EQ(box.caption, "About Ostrel Chat");
    EXPECT_NE(box.text.find("Ostrel Chat"), std::string::npos) << box.text;
    EXPECT_EQ(box.owner, window.hwnd);
    EXPECT_TRUE(PumpUntil([&] { return GetFocus() == window.messageEdit; }))
        << "the message box has the focus again once the box is gone";
}

TEST_F(MainWindowTest, ClosingTheWindowPostsQuit)
{
    Open();
    SendMessageW(window.hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window.hwnd));
    MSG message = {};
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        quit = quit || message.message == WM_QUIT;
    EXPECT_TRUE(quit);
}

} // namespace
