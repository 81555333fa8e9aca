#include "common/NicknameRule.h"

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
    // The server's own lines are the ones whose sender holds "SERVER": a name may not pass for
    // it, but "Observer" and "myserver" are ordinary names.
    if (SameName(name, "SERVER"))
        return "A nickname may not be SERVER, in capitals or not.";
    if (name.find("SERVER") != std::string::npos)
        return "A nickname may not contain SERVER in capitals.";
    return "";
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string Folded(const std::string& name)
{
    std::string folded = name;
    std::transform(folded.begin(), folded.end(), folded.begin(), Lower);
    return folded;
}

bool LessIgnoringCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Lower(x) < Lower(y); });
}

} // namespace NicknameRule
