// The nickname dialog opened from a real main window: how it opens, confirms, cancels and
// closes, and what a confirmed nickname changes.

#include "app/ProgramSettings.h"
#include "support/Files.h"
#include "support/WindowTesting.h"
#include "ui/MainWindow.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

class NicknameDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteBytes("data.dat", OnDisk("server=127.0.0.1\nnickname=Alice\n"));
        ASSERT_NE(window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650),
                  nullptr);
        PumpMessages(20);
        // As the main loop does after announcing the stored nickname.
        window.nicknameChanged = false;
        window.nicknameDialog.text = window.nickname;
    }
    void TearDown() override
    {
        if (window.nicknameDialog.hwnd)
            DestroyWindow(window.nicknameDialog.hwnd);
        DestroyWindow(window.hwnd);
        PumpMessages(10);
    }

    NicknameDialog& Dialog() { return window.nicknameDialog; }

    void OpenDialog()
    {
        SendMessageW(window.hwnd, WM_COMMAND, 10, 0);
        ASSERT_NE(Dialog().hwnd, nullptr);
        PumpMessages(20);
    }

    void ExpectUnchanged()
    {
        EXPECT_EQ(window.nickname, "Alice");
        EXPECT_FALSE(window.nicknameChanged);
        EXPECT_EQ(TextOf(window.nicknameLabel), "Alice: ");
        EXPECT_EQ(ReadBytes("data.dat"), OnDisk("server=127.0.0.1\nnickname=Alice\n"));
    }

    MainWindow window{programNicknames};
};

TEST_F(NicknameDialogTest, OpensBesideTheMainWindowOnTopWithTheCurrentNickname)
{
    RECT main;
    GetWindowRect(window.hwnd, &main);
    OpenDialog();
    const HWND dialog = Dialog().hwnd;
    EXPECT_EQ(ClassNameOf(dialog), "Choose nickname dialog");
    EXPECT_EQ(TextOf(dialog), "Choose your nickname");
    EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
    EXPECT_EQ(GetParent(dialog), nullptr);

    RECT rect;
    GetWindowRect(dialog, &rect);
    EXPECT_EQ(rect.left, main.left + 400);
    EXPECT_EQ(rect.top, main.top + 200);
    EXPECT_EQ(rect.right - rect.left, 300);
    EXPECT_EQ(rect.bottom - rect.top, 140);

    EXPECT_EQ(TextOf(Dialog().edit), "Alice");
    EXPECT_EQ(GetFocus(), Dialog().edit) << "typing goes straight into the box";
    DWORD begin = 9, end = 0;
    SendMessageW(Dialog().edit, EM_GETSEL, reinterpret_cast<WPARAM>(&begin),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(begin, 0u);
    EXPECT_EQ(end, 5u) << "and replaces the nickname shown";
    EXPECT_EQ(PlacementOf(Dialog().edit), (Placement{10, 20, 263, 23}));
    EXPECT_EQ(TextOf(Dialog().okButton), "Ok");
    EXPECT_EQ(GetDlgCtrlID(Dialog().okButton), 0);
    EXPECT_EQ(PlacementOf(Dialog().okButton), (Placement{50, 60, 90, 25}));
    EXPECT_EQ(TextOf(Dialog().cancelButton), "Cancel");
    EXPECT_EQ(GetDlgCtrlID(Dialog().cancelButton), 1);
    EXPECT_EQ(PlacementOf(Dialog().cancelButton), (Placement{150, 60, 90, 25}));
    EXPECT_EQ(SendMessageW(Dialog().edit, EM_GETLIMITTEXT, 0, 0) > 200, true) << "no length limit";

    LOGFONTA font = {};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageW(Dialog().okButton, WM_GETFONT, 0, 0)),
               sizeof font, &font);
    EXPECT_EQ(font.lfWeight, 700);
    EXPECT_STREQ(font.lfFaceName, "Tahoma");
}

TEST_F(NicknameDialogTest, OkAppliesStoresShowsAndLaysOutTheNewNickname)
{
    OpenDialog();
    SetWindowTextA(Dialog().edit, "Carol the Great");
    SendMessageW(Dialog().okButton, BM_CLICK, 0, 0);
    PumpMessages(20);

    EXPECT_EQ(Dialog().hwnd, nullptr) << "the dialog closes";
    EXPECT_EQ(window.nickname, "Carol the Great");
    EXPECT_TRUE(window.nicknameChanged);
    EXPECT_EQ(Dialog().text, "Carol the Great");
    EXPECT_EQ(TextOf(window.nicknameLabel), "Carol the Great: ");
    EXPECT_EQ(ReadBytes("data.dat"), OnDisk("server=127.0.0.1\nnickname=Carol the Great\n"));
    // 15 bytes: a label 210 pixels wide, and the message box right after it.
    EXPECT_EQ(PlacementOf(window.nicknameLabel), (Placement{10, 555, 210, 27}));
    EXPECT_EQ(PlacementOf(window.messageEdit), (Placement{224, 553, 830, 27}));
}

TEST_F(NicknameDialogTest, EnterInTheEditBoxConfirmsLikeOk)
{
    OpenDialog();
    SetWindowTextA(Dialog().edit, "Dave");
    SendMessageW(Dialog().edit, WM_KEYDOWN, VK_RETURN, 0);
    PumpMessages(20);
    EXPECT_EQ(Dialog().hwnd, nullptr);
    EXPECT_EQ(window.nickname, "Dave");
    EXPECT_EQ(TextOf(window.nicknameLabel), "Dave: ");
}

TEST_F(NicknameDialogTest, CancelAndTheCloseBoxChangeNothing)
{
    OpenDialog();
    SetWindowTextA(Dialog().edit, "Mallory");
    SendMessageW(Dialog().cancelButton, BM_CLICK, 0, 0);
    PumpMessages(20);
    EXPECT_EQ(Dialog().hwnd, nullptr);
    ExpectUnchanged();

    OpenDialog();
    SetWindowTextA(Dialog().edit, "Mallory");
    SendMessageW(Dialog().hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpMessages(20);
    EXPECT_EQ(Dialog().hwnd, nullptr);
    ExpectUnchanged();
}

TEST_F(NicknameDialogTest, SameNicknameIsWrittenAndAnnouncedAgain)
{
    OpenDialog();
    WriteBytes("data.dat", OnDisk("server=127.0.0.1\nnickname=changed by hand\n"));
    SendMessageW(Dialog().okButton, BM_CLICK, 0, 0);
    PumpMessages(20);
    EXPECT_EQ(window.nickname, "Alice");
    EXPECT_TRUE(window.nicknameChanged);
    EXPECT_EQ(ReadBytes("data.dat"), OnDisk("server=127.0.0.1\nnickname=Alice\n"));
}

TEST_F(NicknameDialogTest, ReopeningShowsTheLastAppliedNickname)
{
    OpenDialog();
    SetWindowTextA(Dialog().edit, "Erin");
    SendMessageW(Dialog().okButton, BM_CLICK, 0, 0);
    PumpMessages(20);
    OpenDialog();
    EXPECT_EQ(TextOf(Dialog().edit), "Erin");
}

TEST_F(NicknameDialogTest, SecondOpeningOnlyWarns)
{
    OpenDialog();
    const HWND first = Dialog().hwnd;
    PostMessageW(window.hwnd, WM_COMMAND, 10, 0);
    const MessageBoxSeen box = DismissComingMessageBox();
    EXPECT_EQ(box.text, "This window is already active.");
    EXPECT_EQ(box.caption, "Warning");
    EXPECT_EQ(box.owner, window.hwnd);
    EXPECT_EQ(Dialog().hwnd, first);
}

TEST_F(NicknameDialogTest, UnusableNicknameIsRefusedWithTheReasonAndTheDialogStaysOpen)
{
    struct Case
    {
        std::string typed;
        const char* reason;
    };
    const Case cases[] = {
        {"", "at least one character"},
        {"a[b]", "[ or ]"},
        {"Server", "SERVER"},
        {std::string(33, 'n'), "at most 32"},
    };
    OpenDialog();
    const HWND dialog = Dialog().hwnd;
    for (const auto& c : cases)
    {
        SetWindowTextA(Dialog().edit, c.typed.c_str());
        PostMessageW(Dialog().okButton, BM_CLICK, 0, 0);
        const MessageBoxSeen box = DismissComingMessageBox();
        PumpMessages(20);
        EXPECT_EQ(box.caption, "Warning") << c.typed;
        EXPECT_NE(box.text.find(c.reason), std::string::npos) << c.typed << ": " << box.text;
        EXPECT_EQ(box.owner, dialog) << "the warning belongs to the dialog";
        EXPECT_EQ(Dialog().hwnd, dialog) << "the dialog stays open";
        EXPECT_EQ(TextOf(Dialog().edit), c.typed) << "with what was typed";
        ExpectUnchanged();
    }
}

TEST_F(NicknameDialogTest, CtrlASelectsTheWholeNicknameWhileTheDialogIsActive)
{
    OpenDialog();
    SendMessageW(Dialog().hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(Dialog().hotKeyRegistered);
    EXPECT_FALSE(RegisterHotKey(nullptr, 0xB001, MOD_CONTROL, 'A')) << "the dialog holds Ctrl+A";
    SendMessageW(Dialog().edit, EM_SETSEL, 2, 2);
    SendMessageW(Dialog().hwnd, WM_HOTKEY, 3, MAKELPARAM(MOD_CONTROL, 'A'));
    DWORD begin = 0, end = 0;
    SendMessageW(Dialog().edit, EM_GETSEL, reinterpret_cast<WPARAM>(&begin),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(begin, 0u);
    EXPECT_EQ(end, 5u);

    SendMessageW(Dialog().hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_FALSE(Dialog().hotKeyRegistered);
    EXPECT_TRUE(RegisterHotKey(nullptr, 0xB001, MOD_CONTROL, 'A'));
    UnregisterHotKey(nullptr, 0xB001);
}

TEST_F(NicknameDialogTest, EachOpeningReleasesThePreviousFonts)
{
    OpenDialog();
    const HFONT firstEdit = Dialog().editFont;
    const HFONT firstButton = Dialog().buttonFont;
    SendMessageW(Dialog().cancelButton, BM_CLICK, 0, 0);
    PumpMessages(10);
    OpenDialog();
    EXPECT_EQ(GetObjectType(firstEdit) == OBJ_FONT && firstEdit != Dialog().editFont, false);
    EXPECT_EQ(GetObjectType(firstButton) == OBJ_FONT && firstButton != Dialog().buttonFont, false);
    EXPECT_EQ(GetObjectType(Dialog().editFont), static_cast<DWORD>(OBJ_FONT));
}

} // namespace
