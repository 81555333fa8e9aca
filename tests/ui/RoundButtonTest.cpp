// The rounded Send button and the message box's keys, on a real main window: pixels read back
// from the button, its cursor, hover colours, and drawing objects over many repaints.

#include "ui/RoundButton.h"
#include "app/ProgramSettings.h"
#include "support/Files.h"
#include "support/WindowTesting.h"
#include "ui/Cursors.h"
#include "ui/MainWindow.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

const COLORREF Normal = RGB(65, 136, 254);
const COLORREF Hover = RGB(95, 154, 254);
const COLORREF White = RGB(255, 255, 255);

// How many drawing objects the process holds. Where the system does not count them (Wine),
// the index of a freshly made object stands in: it grows with every object left undeleted.
long GdiObjects()
{
    const DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (counted != 0)
        return static_cast<long>(counted);
    const HBRUSH probe = CreateSolidBrush(RGB(1, 2, 3));
    const long index = static_cast<long>(reinterpret_cast<std::uintptr_t>(probe) & 0xFFFF);
    DeleteObject(probe);
    return index;
}

class RoundButtonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteBytes("data.dat", OnDisk("nickname=Bob\n"));
        ASSERT_NE(window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650),
                  nullptr);
        PumpMessages(30);
    }
    void TearDown() override
    {
        SendMessageW(window.sendButton, WM_MOUSELEAVE, 0, 0);
        DestroyWindow(window.hwnd);
        PumpMessages(10);
    }

    COLORREF PixelOfButton(int x, int y)
    {
        RedrawWindow(window.sendButton, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        const HDC dc = GetDC(window.sendButton);
        const COLORREF color = GetPixel(dc, x, y);
        ReleaseDC(window.sendButton, dc);
        return color;
    }

    // Whether any pixel of the button's middle band has this colour: the caption's.
    bool CaptionDrawnIn(COLORREF color)
    {
        RedrawWindow(window.sendButton, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        const HDC dc = GetDC(window.sendButton);
        bool found = false;
        for (int x = 30; x < 70 && !found; ++x)
            for (int y = 6; y < 21 && !found; ++y)
                found = GetPixel(dc, x, y) == color;
        ReleaseDC(window.sendButton, dc);
        return found;
    }

    DWORD Selection()
    {
        DWORD begin = 0, end = 0;
        SendMessageW(window.messageEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&begin),
                     reinterpret_cast<LPARAM>(&end));
        return begin;
    }

    MainWindow window{programNicknames};
};

TEST_F(RoundButtonTest, ButtonIsAFilledBlueRoundedRectangleWithAWhiteCaption)
{
    EXPECT_EQ(sendButtonStyle.caption, std::string("Send"));
    EXPECT_EQ(TextOf(window.sendButton), "") << "the caption is painted, not the window text";
    EXPECT_EQ(PixelOfButton(6, 13), Normal);
    EXPECT_EQ(PixelOfButton(94, 13), Normal);
    EXPECT_NE(PixelOfButton(0, 0), Normal) << "the corners stay outside the rounded rectangle";
    EXPECT_TRUE(CaptionDrawnIn(White));
}

TEST_F(RoundButtonTest, RestingThePointerLightensTheButtonAndLeavingRestoresIt)
{
    SendMessageW(window.sendButton, WM_MOUSEHOVER, 0, 0);
    EXPECT_EQ(sendButtonStyle.backColor, Hover);
    EXPECT_EQ(PixelOfButton(6, 13), Hover);

    mouseTracked = true;
    SendMessageW(window.sendButton, WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(mouseTracked);
    EXPECT_EQ(PixelOfButton(6, 13), Normal);
}

TEST_F(RoundButtonTest, RealPointerMovesDriveTheHoverCycle)
{
    RECT button;
    GetWindowRect(window.sendButton, &button);
    // Two steps, so that the window system takes the move as new.
    SetCursorPos(button.left - 30, button.top - 30);
    PumpMessages(50);
    SetCursorPos(button.left + 20, button.top + 10);
    const bool hovered = PumpUntil([&] { return sendButtonStyle.backColor == Hover; }, 3000);
    if (!hovered && !mouseTracked)
        GTEST_SKIP() << "this display delivers no pointer moves to the test's windows";
    EXPECT_TRUE(hovered);
    EXPECT_EQ(GetCursor(), handCursor);

    SetCursorPos(button.left - 200, button.top - 200);
    EXPECT_TRUE(PumpUntil([&] { return sendButtonStyle.backColor == Normal; }, 3000));
    EXPECT_FALSE(mouseTracked);
}

TEST_F(RoundButtonTest, CursorIsTheHandOverTheButtonAndTheArrowOverTheWindow)
{
    SetCursor(arrowCursor);
    SendMessageW(window.sendButton, WM_SETCURSOR, reinterpret_cast<WPARAM>(window.sendButton),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), handCursor);
    SendMessageW(window.hwnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(window.hwnd),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), arrowCursor);
}

TEST_F(RoundButtonTest, CaptionStaysCentredWhateverTheButtonsSize)
{
    SetWindowPos(window.sendButton, nullptr, 300, 200, 200, 60, SWP_NOZORDER);
    EXPECT_EQ(PixelOfButton(8, 30), Normal);
    EXPECT_EQ(PixelOfButton(192, 30), Normal);
    // The caption sits in the middle: white there, none near the edges.
    RedrawWindow(window.sendButton, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const HDC dc = GetDC(window.sendButton);
    int whiteLeft = 200, whiteRight = -1;
    for (int x = 0; x < 200; ++x)
        for (int y = 0; y < 60; ++y)
            if (GetPixel(dc, x, y) == White)
            {
                whiteLeft = std::min(whiteLeft, x);
                whiteRight = std::max(whiteRight, x);
            }
    ReleaseDC(window.sendButton, dc);
    ASSERT_LT(whiteLeft, whiteRight);
    EXPECT_LE(std::abs((whiteLeft + whiteRight) / 2 - 100), 4);
}

TEST_F(RoundButtonTest, ManyRepaintsLeaveNoDrawingObjectsBehind)
{
    for (int i = 0; i < 20; ++i)
        PixelOfButton(6, 13);
    const long before = GdiObjects();
    for (int i = 0; i < 300; ++i)
    {
        SendMessageW(window.sendButton, WM_MOUSEHOVER, 0, 0);
        UpdateWindow(window.sendButton);
        SendMessageW(window.sendButton, WM_MOUSELEAVE, 0, 0);
        UpdateWindow(window.sendButton);
    }
    const long after = GdiObjects();
    EXPECT_LE(after - before, 5) << "600 paints made " << (after - before)
                                 << " objects that remain";
}

TEST_F(RoundButtonTest, EnterInTheMessageBoxSendsWithoutACarriageReturn)
{
    SetWindowTextA(window.messageEdit, "hello");
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_RETURN, 0);
    SendMessageW(window.messageEdit, WM_CHAR, 13, 0);
    EXPECT_TRUE(window.messagePending);
    EXPECT_EQ(window.pendingMessage, "hello");
    EXPECT_EQ(TextOf(window.messageEdit), "hello");
}

TEST_F(RoundButtonTest, CaretKeysWorkInTheMessageBox)
{
    SetWindowTextA(window.messageEdit, "abcdef");
    SendMessageW(window.messageEdit, EM_SETSEL, 6, 6);
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_LEFT, 0);
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_LEFT, 0);
    EXPECT_EQ(Selection(), 4u);
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_HOME, 0);
    EXPECT_EQ(Selection(), 0u);
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(TextOf(window.messageEdit), "bcdef");
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_END, 0);
    EXPECT_EQ(Selection(), 5u);
    SendMessageW(window.messageEdit, WM_KEYDOWN, VK_RIGHT, 0);
    EXPECT_EQ(Selection(), 5u);
    // Ordinary characters are typed as always.
    SendMessageW(window.messageEdit, WM_CHAR, 'g', 0);
    EXPECT_EQ(TextOf(window.messageEdit), "bcdefg");
}

} // namespace
