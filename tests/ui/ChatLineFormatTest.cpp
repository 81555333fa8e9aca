#include "ui/ChatLineFormat.h"

#include <gtest/gtest.h>

namespace
{

using Kind = ChatLineFormat::Sender;

struct Case
{
    const char* line;
    const char* nickname;
    bool time;
    int timeBegin, timeEnd;
    bool sender;
    int senderBegin, senderEnd;
    Kind kind;
};

TEST(ChatLineFormat, FindsTheTwoBracketGroupsAndTheSendersColour)
{
    const Case cases[] = {
        // A line from someone else, from oneself, and lines naming the server.
        {"[12:00:01] [Alice]: hi", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [Bob]: hi", "Bob", true, 0, 10, true, 11, 16, Kind::Own},
        // Only the sender group can make a line the server's: the message text cannot.
        {"[12:00:01] [Alice]: the SERVER restarts", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [SERVER]: Alice joined.", "Bob", true, 0, 10, true, 11, 19, Kind::Server},
        {"[12:00:01] [MySERVERx]: hi", "Bob", true, 0, 10, true, 11, 22, Kind::Server},
        {"SERVER says [12:00:01]", "Bob", true, 12, 22, false, 0, 0, Kind::Other},
        {"[12:00:01] [Bob]: ask the SERVER", "Bob", true, 0, 10, true, 11, 16, Kind::Own},
        // The comparison is exact and case-sensitive; "server" is not "SERVER".
        {"[12:00:01] [Bob]: hi", "bob", true, 0, 10, true, 11, 16, Kind::Other},
        {"[12:00:01] [Bobby]: hi", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        {"[12:00:01] [Alice]: server", "Bob", true, 0, 10, true, 11, 18, Kind::Other},
        // Brackets in the message text do not move the groups.
        {"[01:02:03] [Al]: [x] ]: [y]", "Al", true, 0, 10, true, 11, 15, Kind::Own},
        // An empty name is the own one while the nickname is empty.
        {"[01:02:03] []: hi", "", true, 0, 10, true, 11, 13, Kind::Own},
    };
    for (const auto& c : cases)
    {
        const ChatLineFormat format = FormatOfChatLine(c.line, c.nickname);
        EXPECT_EQ(format.time.present, c.time) << c.line;
        EXPECT_EQ(format.time.begin, c.timeBegin) << c.line;
        EXPECT_EQ(format.time.end, c.timeEnd) << c.line;
        EXPECT_EQ(format.sender.present, c.sender) << c.line;
        EXPECT_EQ(format.sender.begin, c.senderBegin) << c.line;
        EXPECT_EQ(format.sender.end, c.senderEnd) << c.line;
        EXPECT_EQ(format.senderKind, c.kind) << c.line;
    }
}

TEST(ChatLineFormat, MissingGroupsAreLeftUnformatted)
{
    struct Partial
    {
        const char* line;
        bool time;
        bool sender;
    };
    const Partial cases[] = {
        {"", false, false},
        {"plain text", false, false},
        {"[12:00:01] no sender here", true, false},
        {"[12:00:01] [unclosed: hi", true, false},
        {"[unclosed", false, false},
        {"closed] [Bob]: hi", false, true}, // "]" before "[": no time group
        {"] [", false, false},
        {"\n", false, false},
    };
    for (const auto& c : cases)
    {
        const ChatLineFormat format = FormatOfChatLine(c.line, "Bob");
        EXPECT_EQ(format.time.present, c.time) << c.line;
        EXPECT_EQ(format.sender.present, c.sender) << c.line;
        if (format.time.present)
        {
            EXPECT_LT(format.time.begin, format.time.end) << c.line;
        }
    }
    EXPECT_EQ(FormatOfChatLine("closed] [Bob]: hi", "Bob").senderKind, Kind::Own);
}

TEST(ChatLineFormat, WebAddressesInTheTextAreLinksAndNothingElseIs)
{
    struct LinkCase
    {
        const char* text;               // after "[12:00:01] [Alice]: "
        std::vector<std::string> links; // as they are found, in order
    };
    const LinkCase cases[] = {
        {"see https://example.com/a?b=1#c now", {"https://example.com/a?b=1#c"}},
        {"HTTP://Example.COM:8080/x and http://b.org",
         {"HTTP://Example.COM:8080/x", "http://b.org"}},
        {"(see http://example.com/wiki/A_(b)), then.", {"http://example.com/wiki/A_(b)"}},
        {"at http://example.com/path.", {"http://example.com/path"}},
        {"http://example.com/%41%zz", {"http://example.com/%41"}},
        {"file:///etc/passwd ftp://x.org mailto:a@b.c javascript:alert(1)", {}},
        {"http://user@evil.com/ http:// http://-bad.com http://a..b xhttp://a.com", {}},
        {"http://host:/ http://caf\xE9.fr https://example.com:99999999", {}},
        {"http://exampe.c-le.c-c-. or http://a-. or http://a.b.", {"http://a.b"}},
        {"no links here", {}},
        {"at the end http://example.org.\n", {"http://example.org"}},
    };
    for (const auto& c : cases)
    {
        const std::string line = std::string("[12:00:01] [Alice]: ") + c.text;
        const ChatLineFormat format = FormatOfChatLine(line, "Bob");
        std::vector<std::string> found;
        for (const auto& link : format.links)
        {
            const std::string text = line.substr(link.begin, link.end - link.begin);
            found.push_back(text);
            EXPECT_TRUE(IsWebAddress(text)) << text;
        }
        EXPECT_EQ(found, c.links) << c.text;
    }
    // The groups are never links, whatever a nickname holds, and links come after them.
    EXPECT_TRUE(FormatOfChatLine("[12:00:01] [http://a.com]: hi", "Bob").links.empty());
    EXPECT_TRUE(FormatOfChatLine("p:'/e (http://example.org/x [t] hi", "Bob").links.empty())
        << "a link before the only group (found by fuzzing: the line was shown with it twice)";
    EXPECT_FALSE(IsWebAddress("http://a.com."));
    EXPECT_FALSE(IsWebAddress("file://a.com"));
}

} // namespace
