#include "chat/NicknameRule.h"

#include <algorithm>

namespace NicknameRule
{

namespace
{

// Only ASCII letters fold: names are bytes in the user's code page, and what a byte above 0x7F
// means differs from one code page to another.
char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

} // namespace

std::string Problem(const std::string& name)
{
    if (name.empty())
        return "A nickname needs at least one character.";
    if (name.size() > MaxBytes)
        return "A nickname may be at most 32 characters long.";
    for (char c : name)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return "A nickname may not hold control characters.";
        if (c == '[' || c == ']')
            return "A nickname may not hold [ or ].";
    }
    if (name.find_first_not_of(' ') == std::string::npos)
        return "A nickname may not be only spaces.";
    if (name.front() == ' ' || name.back() == ' ')
        return "A nickname may not begin or end with a space.";
    if (Lowered(name).find("server") != std::string::npos)
        return "A nickname may not contain the word SERVER, in capitals or not.";
    return "";
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool LessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Lower(x) < Lower(y); });
}

} // namespace NicknameRule
