#pragma once

#include <cstddef>
#include <string>

// The server's rules for chat lines and the users-online list, apart from any socket. The rule
// for nicknames is shared with the client: chat/NicknameRule.h.
namespace ChatRules
{

// Empty when the line may be relayed from the member with this nickname; otherwise why not, as
// a sentence for the sender. A relayed line is "[HH:MM:SS] [NAME]: text" with a real time of
// day, NAME exactly the sender's nickname, no byte below 0x20 nor 0x7F anywhere, and at most
// maxBytes bytes in all.
std::string ChatLineProblem(const std::string& line, const std::string& nickname,
                            std::size_t maxBytes);

// The users-online text from names in the order they are listed, one per line with CR LF between
// them. A list too long for maxBytes ends with a line saying how many more there are; only the
// names that are listed are looked at, so the cost does not grow with the room.
template <typename Names>
std::string UsersOnlineText(const Names& names, std::size_t count, std::size_t maxBytes)
{
    std::string text;
    std::size_t listed = 0;
    for (const std::string& name : names)
    {
        // Room is kept for the closing "(N more)" line.
        if (text.size() + 2 + name.size() + 32 > maxBytes)
        {
            text += "\r\n(" + std::to_string(count - listed) + " more)";
            break;
        }
        if (listed > 0)
            text += "\r\n";
        text += name;
        ++listed;
    }
    return text;
}

} // namespace ChatRules
