#include "server/ChatRules.h"

#include <algorithm>
#include <cctype>

namespace ChatRules
{

namespace
{

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char Lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool LessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Lower(x) < Lower(y); });
}

} // namespace

std::string NicknameProblem(const std::string& name)
{
    if (name.empty())
        return "A nickname needs at least one character.";
    if (name.size() > MaxNicknameBytes)
        return "A nickname may be at most 32 characters long.";
    for (char c : name)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return "A nickname may not hold control characters.";
        if (c == '[' || c == ']')
            return "A nickname may not hold [ or ].";
    }
    if (name.find("SERVER") != std::string::npos)
        return "A nickname may not contain SERVER.";
    return "";
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsChatLineFrom(const std::string& line, const std::string& nickname)
{
    // "[HH:MM:SS] [" is 12 bytes, "]: " 3 more.
    if (line.size() < 12 + nickname.size() + 3)
        return false;
    const bool stamp = line[0] == '[' && IsDigit(line[1]) && IsDigit(line[2]) && line[3] == ':' &&
                       IsDigit(line[4]) && IsDigit(line[5]) && line[6] == ':' && IsDigit(line[7]) &&
                       IsDigit(line[8]) && line[9] == ']' && line[10] == ' ' && line[11] == '[';
    return stamp && line.compare(12, nickname.size(), nickname) == 0 &&
           line.compare(12 + nickname.size(), 3, "]: ") == 0;
}

std::string UsersOnlineText(std::vector<std::string> names, std::size_t maxBytes)
{
    std::stable_sort(names.begin(), names.end(), LessIgnoringCase);
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        const std::string piece = (i == 0 ? "" : "\r\n") + names[i];
        // Room is kept for the closing "(N more)" line.
        if (text.size() + piece.size() + 32 > maxBytes)
        {
            text += "\r\n(" + std::to_string(names.size() - i) + " more)";
            break;
        }
        text += piece;
    }
    return text;
}

} // namespace ChatRules
