#include "chat/SeenLines.h"

#include "common/ChatProtocol.h"

void SeenLines::Joined()
{
    replaying = true;
}

std::vector<std::string> SeenLines::Received(const std::string& line)
{
    const bool roomLine = !ChatProtocol::IsServerLine(line);
    if (!replaying || (!roomLine && held.empty()))
    {
        if (roomLine)
            Keep(line);
        return {line};
    }
    if (!roomLine)
    {
        held.push_back(line); // shown after the held lines before it, whatever becomes of them
        return {};
    }

    // The runs that go on with this line: on its first, every kept line like it starts one.
    std::vector<std::size_t> going;
    if (heldRoomLines == 0)
    {
        for (std::size_t at = 0; at < kept.size(); ++at)
            if (kept[at] == line)
                going.push_back(at);
    }
    else
    {
        for (std::size_t start : runs)
            if (kept[start + heldRoomLines] == line)
                going.push_back(start);
    }
    if (going.empty())
    {
        // Not a line shown before, nor the next of one: the replay, if any, is over.
        std::vector<std::string> shown = Settle();
        Keep(line);
        shown.push_back(line);
        return shown;
    }

    held.push_back(line);
    ++heldRoomLines;
    // A run that has reached the last kept line has matched through to it; the others go on.
    runs.clear();
    for (std::size_t start : going)
    {
        if (start + heldRoomLines == kept.size())
            matchedToEnd = heldRoomLines;
        else
            runs.push_back(start);
    }
    return runs.empty() ? Settle() : std::vector<std::string>{};
}

std::vector<std::string> SeenLines::ReplayOver()
{
    return replaying ? Settle() : std::vector<std::string>{};
}

// The held lines decided, and the replay over: those that matched through to the last line
// shown go, the rest are shown.
std::vector<std::string> SeenLines::Settle()
{
    std::vector<std::string> shown;
    std::size_t roomLines = 0;
    for (const std::string& line : held)
    {
        if (ChatProtocol::IsServerLine(line))
        {
            shown.push_back(line);
            continue;
        }
        if (++roomLines <= matchedToEnd)
            continue;
        shown.push_back(line);
    }
    replaying = false;
    held.clear();
    heldRoomLines = 0;
    runs.clear();
    matchedToEnd = 0;
    for (const std::string& line : shown)
        if (!ChatProtocol::IsServerLine(line))
            Keep(line);
    return shown;
}

void SeenLines::Keep(const std::string& line)
{
    kept.push_back(line);
    if (kept.size() > Kept)
        kept.pop_front();
}
