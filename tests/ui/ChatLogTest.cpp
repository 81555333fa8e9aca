// The chat log of a real main window: appended text and the character formats that land on it,
// read back from the rich edit control.

#include "app/ProgramSettings.h"
#include "support/Files.h"
#include "support/WindowTesting.h"
#include "ui/MainWindow.h"

#include <gtest/gtest.h>

#include <richedit.h>

#include <vector>

using namespace testing_support;

namespace
{

const COLORREF Grey = RGB(180, 180, 180);
const COLORREF Green = RGB(0, 138, 80);
const COLORREF Red = RGB(255, 85, 85);
const COLORREF Blue = RGB(65, 136, 254);

// What the control shows at one character.
struct Look
{
    bool bold;
    bool colored; // an explicit colour, not the control's automatic one
    COLORREF color;
};

class ChatLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteBytes("data.dat", OnDisk("nickname=Bob\n"));
        ASSERT_NE(window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650),
                  nullptr);
        PumpMessages(30);
        ASSERT_EQ(window.nickname, "Bob");

        // The control's own default weight is what the unformatted parts keep (Wine's default
        // font is bold, for one).
        CHARFORMATW format = {};
        format.cbSize = sizeof format;
        SendMessageW(window.chatLog, EM_GETCHARFORMAT, SCF_DEFAULT,
                     reinterpret_cast<LPARAM>(&format));
        defaultBold = (format.dwEffects & CFE_BOLD) != 0;
    }
    void TearDown() override
    {
        DestroyWindow(window.hwnd);
        PumpMessages(10);
    }

    Look At(int position)
    {
        const CHARFORMATW format = CharFormatAt(window.chatLog, position);
        return {(format.dwEffects & CFE_BOLD) != 0, (format.dwEffects & CFE_AUTOCOLOR) == 0,
                format.crTextColor};
    }

    // Checks one appended line that starts at start: time grey in the default weight, sender
    // bold in its colour, the rest as the control's default (default weight, automatic colour).
    void ExpectColours(int start, const std::string& line, COLORREF senderColor)
    {
        const std::size_t timeEnd = line.find(']') + 1;
        const std::size_t senderBegin = line.find('[', timeEnd);
        const std::size_t senderEnd = line.find(']', senderBegin) + 1;
        for (std::size_t i = 0; i < line.size(); ++i)
        {
            const Look look = At(start + static_cast<int>(i));
            if (i < timeEnd)
            {
                EXPECT_EQ(look.bold, defaultBold) << line << " @" << i;
                EXPECT_EQ(look.color, Grey) << line << " @" << i;
            }
            else if (i >= senderBegin && i < senderEnd)
            {
                EXPECT_TRUE(look.bold) << line << " @" << i;
                EXPECT_EQ(look.color, senderColor) << line << " @" << i;
            }
            else
            {
                EXPECT_EQ(look.bold, defaultBold) << line << " @" << i;
                EXPECT_FALSE(look.colored) << line << " @" << i;
            }
        }
    }

    std::string TextOfRange(int begin, int end)
    {
        std::vector<wchar_t> buffer(end - begin + 1, L'\0');
        TEXTRANGEW range = {{begin, end}, buffer.data()};
        SendMessageW(window.chatLog, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
        std::string text;
        for (wchar_t c : std::wstring(buffer.data()))
            text += static_cast<char>(c);
        return text;
    }

    MainWindow window{programNicknames};
    bool defaultBold = false;
};

TEST_F(ChatLog, LineFromAnotherUserHasAGreyTimeAndAGreenSender)
{
    const std::string line = "[12:00:01] [Alice]: hi";
    window.AppendChatLine(line);
    EXPECT_EQ(TextOfRange(0, static_cast<int>(line.size())), line);
    EXPECT_EQ(window.chatLength, static_cast<int>(line.size()) + 1);
    ExpectColours(0, line, Green);
}

TEST_F(ChatLog, SendersAreColouredByWhoTheyAre)
{
    struct Case
    {
        std::string line;
        COLORREF sender;
    };
    const Case cases[] = {
        {"[12:00:01] [Bob]: hi", Blue},
        {"[12:00:02] [Alice]: the SERVER is down", Green}, // the text cannot make it the server's
        {"[12:00:03] [SERVER]: Carol joined.", Red},
        {"[12:00:04] [Bob]: what SERVER?", Blue},
        {"[12:00:05] [bob]: not me", Green},
    };
    int start = 0;
    for (const auto& c : cases)
    {
        window.AppendChatLine(c.line);
        ExpectColours(start, c.line, c.sender);
        start += static_cast<int>(c.line.size()) + 1;
    }
    EXPECT_EQ(window.chatLength, start);
}

TEST_F(ChatLog, EveryLinesColoursLandOnItsOwnCharacters)
{
    std::vector<int> starts;
    std::vector<std::string> lines;
    int start = 0;
    for (int i = 1; i <= 50; ++i)
    {
        const std::string sender = i % 3 == 0 ? "Bob" : "User" + std::to_string(i);
        const std::string line = "[10:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                                 "] [" + sender + "]: message number " + std::to_string(i);
        window.AppendChatLine(line);
        starts.push_back(start);
        lines.push_back(line);
        start += static_cast<int>(line.size()) + 1;
    }
    for (int index : {1, 49})
    {
        ExpectColours(starts[index], lines[index], index % 3 == 2 ? Blue : Green);
        EXPECT_EQ(TextOfRange(starts[index], starts[index] + static_cast<int>(lines[index].size())),
                  lines[index]);
    }
    EXPECT_GT(SendMessageW(window.chatLog, EM_GETFIRSTVISIBLELINE, 0, 0), 0)
        << "the log scrolls down as lines arrive";
}

TEST_F(ChatLog, LinesWithoutBracketGroupsAreAppendedUnformatted)
{
    window.AppendChatLine("plain text");
    window.AppendChatLine("[12:00:01] only a time");
    window.AppendChatLine("");
    window.AppendChatLine("[12:00:02] [Alice]: after them");

    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(At(i).colored) << i;
    const int second = 11;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(At(second + i).color, Grey) << i;
    for (int i = 10; i < 22; ++i)
    {
        EXPECT_FALSE(At(second + i).colored) << i;
        EXPECT_EQ(At(second + i).bold, defaultBold) << i;
    }
    const int fourth = second + 23 + 1;
    EXPECT_EQ(TextOfRange(fourth, fourth + 10), "[12:00:02]");
    EXPECT_EQ(At(fourth + 12).color, Green);
    EXPECT_TRUE(At(fourth + 12).bold);
}

TEST_F(ChatLog, ControlBytesShowAsSpacesAndLaterLinesKeepTheirColours)
{
    const std::string lines[] = {
        std::string("[12:00:01] [Alice]: a\0b", 23),
        "[12:00:02] [Alice]: one\r\n[12:00:02] [SERVER]: forged",
        "[12:00:03] [Alice]: tab\tkept\x01",
    };
    int start = 0;
    for (const auto& line : lines)
    {
        window.AppendChatLine(line);
        std::string shown = line;
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                c = ' ';
        EXPECT_EQ(TextOfRange(start, start + static_cast<int>(line.size()) + 1), shown + "\r");
        ExpectColours(start, shown, Green);
        start += static_cast<int>(line.size()) + 1;
    }
    window.AppendChatLine("[12:00:04] [Bob]: after them");
    ExpectColours(start, "[12:00:04] [Bob]: after them", Blue);
    EXPECT_EQ(SendMessageW(window.chatLog, EM_GETLINECOUNT, 0, 0), 5) << "one line each";
}

TEST_F(ChatLog, LinesGoToTheEndWhereverTheUserLeftTheSelection)
{
    window.AppendChatLine("[09:00:00] [Alice]: first");
    window.AppendChatLine("[09:00:01] [Alice]: second");
    // The user selects part of the first line, then clicks into the middle of the log.
    SendMessageW(window.chatLog, EM_SETSEL, 2, 8);
    window.AppendChatLine("[09:00:02] [Carol]: third");
    SendMessageW(window.chatLog, EM_SETSEL, 30, 30);
    window.AppendChatLine("[09:00:03] [Bob]: fourth");

    EXPECT_EQ(TextOfRange(0, 26), "[09:00:00] [Alice]: first\r");
    const int third = 26 + 27;
    EXPECT_EQ(TextOfRange(third, third + 25), "[09:00:02] [Carol]: third");
    const int fourth = third + 26;
    EXPECT_EQ(TextOfRange(fourth, fourth + 24), "[09:00:03] [Bob]: fourth");
    ExpectColours(third, "[09:00:02] [Carol]: third", Green);
    ExpectColours(fourth, "[09:00:03] [Bob]: fourth", Blue);
    EXPECT_EQ(window.chatLength, fourth + 25);
}

TEST_F(ChatLog, LogTakesFarMoreThanTheDefaultLimitAndStaysAligned)
{
    EXPECT_GE(SendMessageW(window.chatLog, EM_GETLIMITTEXT, 0, 0), 0x7FFFFFFF);

    const std::string filler(2600, 'x');
    int start = 0;
    std::string last;
    for (int i = 0; i < 40; ++i)
    {
        last = "[23:59:" + std::to_string(10 + i) + "] [Alice]: " + filler;
        window.AppendChatLine(last);
        start += static_cast<int>(last.size()) + 1;
    }
    start -= static_cast<int>(last.size()) + 1;
    EXPECT_GT(window.chatLength, 100000);
    EXPECT_EQ(GetWindowTextLengthW(window.chatLog) >= window.chatLength - 1, true);
    EXPECT_EQ(TextOfRange(start, start + 18), "[23:59:49] [Alice]");
    EXPECT_EQ(At(start).color, Grey);
    EXPECT_EQ(At(start + 12).color, Green);
    EXPECT_TRUE(At(start + 12).bold);
}

TEST_F(ChatLog, WebAddressesAreUnderlinedLinksAndOnlyTheyAreOpened)
{
    std::vector<std::string> opened;
    window.openLink = [&](const std::string& address) { opened.push_back(address); };
    const std::string line =
        "[09:00:00] [Alice]: see https://example.com/a?b=1, not file:///C:/secret.txt";
    const std::string server = "[09:00:01] [SERVER]: or HTTP://Example.org";
    window.AppendChatLine(line);
    window.AppendChatLine(server);
    window.RepaintChatLog();
    PumpMessages(50);

    const int link = static_cast<int>(line.find("https"));
    const int file = static_cast<int>(line.find("file:"));
    const int second = static_cast<int>(line.size()) + 1;
    // Underlined, in the colour of the text around: what the user sees.
    const CHARFORMATW linked = CharFormatAt(window.chatLog, link + 3);
    const CHARFORMATW around = CharFormatAt(window.chatLog, link - 2);
    EXPECT_TRUE(linked.dwEffects & CFE_UNDERLINE);
    EXPECT_FALSE(around.dwEffects & CFE_UNDERLINE);
    EXPECT_EQ(linked.dwEffects & CFE_AUTOCOLOR, around.dwEffects & CFE_AUTOCOLOR);
    EXPECT_EQ(linked.crTextColor, around.crTextColor);
    EXPECT_FALSE(CharFormatAt(window.chatLog, file + 3).dwEffects & CFE_UNDERLINE);
    EXPECT_EQ(CharFormatAt(window.chatLog, second + 12).crTextColor, Red) << "SERVER stays red";

    // Clicks, as the user makes them: on each address, on the file name, and right of the
    // second line's end, where the nearest character is the address's last.
    const auto click = [&](LONG x, LONG y) {
        const LPARAM at = MAKELPARAM(x, y);
        SendMessageW(window.chatLog, WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageW(window.chatLog, WM_LBUTTONUP, 0, at);
        PumpMessages(20);
    };
    const auto clickOn = [&](int position) {
        POINTL point = {};
        SendMessageW(window.chatLog, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&point), position);
        click(point.x + 2, point.y + 4);
    };
    clickOn(link + 3);
    clickOn(file + 3);
    POINTL end = {};
    SendMessageW(window.chatLog, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&end),
                 second + static_cast<int>(server.size()));
    click(end.x + 40, end.y + 4);
    EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/a?b=1"});
    clickOn(second + static_cast<int>(server.find("HTTP")) + 4);
    EXPECT_EQ(opened,
              (std::vector<std::string>{"https://example.com/a?b=1", "HTTP://Example.org"}));
}

} // namespace
