// What of a server's replay is shown after the client joins again, against the lines it had
// shown: one table of the ways a replay can meet them.

#include "chat/SeenLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Lines = std::vector<std::string>;

// A room's chat line saying the text, and a line of the server's own.
std::string Said(const std::string& text)
{
    return "[10:00:00] [Ann]: " + text;
}
std::string Server(const std::string& text)
{
    return "[10:00:00] [SERVER]: " + text;
}

TEST(SeenLines, ShowsOfAReplayOnlyWhatWasNotShownInTheOrderReceived)
{
    struct Case
    {
        const char* what;
        Lines shown;  // before the connection was lost
        Lines replay; // received after joining again, until the replay is over
        Lines expected;
    };
    const Case cases[] = {
        {"the room went on",
         {Said("a"), Said("b"), Said("c")},
         {Said("b"), Said("c"), Said("d"), Said("e")},
         {Said("d"), Said("e")}},
        {"nothing was missed",
         {Said("a"), Said("b"), Said("c")},
         {Said("a"), Said("b"), Said("c")},
         {}},
        {"nothing replayed (a server alone, restarted)", {Said("a")}, {}, {}},
        {"more was missed than is replayed",
         {Said("a"), Said("b")},
         {Said("x"), Said("y")},
         {Said("x"), Said("y")}},
        {"the first join", {}, {Said("a"), Said("b")}, {Said("a"), Said("b")}},
        {"a run that breaks off before the last line shown is shown",
         {Said("a"), Said("b"), Said("c")},
         {Said("a"), Said("b"), Said("x")},
         {Said("a"), Said("b"), Said("x")}},
        {"a run still open when the replay is over is shown",
         {Said("a"), Said("b"), Said("c")},
         {Said("a"), Said("b")},
         {Said("a"), Said("b")}},
        {"the longest run through to the end wins",
         {Said("x"), Said("ok"), Said("ok")},
         {Said("ok"), Said("ok"), Said("ok"), Said("y")},
         {Said("ok"), Said("y")}},
        {"once past the end, a line like one shown is new",
         {Said("a"), Said("b")},
         {Said("b"), Said("c"), Said("b")},
         {Said("c"), Said("b")}},
        {"the server's lines pass by in their place",
         {Said("a"), Said("b")},
         {Server("Bob joined."), Said("a"), Server("Cy joined."), Said("b"), Said("c")},
         {Server("Bob joined."), Server("Cy joined."), Said("c")}},
        {"and are shown before what follows them in a run that breaks off",
         {Said("a"), Said("b"), Said("c")},
         {Said("a"), Server("Cy left."), Said("x")},
         {Said("a"), Server("Cy left."), Said("x")}},
    };
    for (const Case& c : cases)
    {
        SeenLines seen;
        for (const std::string& line : c.shown)
            EXPECT_EQ(seen.Received(line), Lines{line}) << c.what;
        seen.Joined();
        Lines got;
        for (const std::string& line : c.replay)
            for (const std::string& shown : seen.Received(line))
                got.push_back(shown);
        for (const std::string& shown : seen.ReplayOver())
            got.push_back(shown);
        EXPECT_EQ(got, c.expected) << c.what;
        // After the replay, every line is new.
        EXPECT_EQ(seen.Received(Said("a")), Lines{Said("a")}) << c.what;
    }
}

TEST(SeenLines, KeepsTheNewestLinesOnly)
{
    SeenLines seen;
    for (std::size_t i = 0; i <= SeenLines::Kept; ++i)
        seen.Received(Said(std::to_string(i)));
    seen.Joined();
    EXPECT_EQ(seen.Received(Said("1")), Lines{}) << "kept: held, as the start of a run";
    EXPECT_EQ(seen.Received(Said("0")), (Lines{Said("1"), Said("0")}))
        << "no longer kept: shown at once, after the run it broke off";
}

} // namespace
