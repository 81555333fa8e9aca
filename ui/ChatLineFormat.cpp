#include "ui/ChatLineFormat.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace
{

bool StartsWithIgnoringCase(const std::string& text, std::size_t at, const char* prefix)
{
    for (std::size_t i = 0; prefix[i]; ++i, ++at)
        if (at >= text.size() || std::tolower(static_cast<unsigned char>(text[at])) !=
                                     static_cast<unsigned char>(prefix[i]))
            return false;
    return true;
}

bool IsAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Characters a path, query or fragment may hold (RFC 3986 but for "[" and "]").
bool IsPathCharacter(char c)
{
    return IsAlnum(c) ||
           std::string_view("-._~:/?#@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

// The end of the web address that starts at `at` (with its scheme), or `at` when none does. A
// sentence's punctuation after an address is not part of it, nor a closing parenthesis that
// opens nowhere in it.
std::size_t AddressEnd(const std::string& text, std::size_t at)
{
    std::size_t i = at;
    if (StartsWithIgnoringCase(text, i, "https://"))
        i += 8;
    else if (StartsWithIgnoringCase(text, i, "http://"))
        i += 7;
    else
        return at;
    // The host: labels of letters, digits and hyphens between dots.
    const std::size_t host = i;
    bool labelStart = true;
    for (; i < text.size() && (IsAlnum(text[i]) || text[i] == '-' || text[i] == '.'); ++i)
    {
        if (labelStart && (text[i] == '.' || text[i] == '-'))
            return at;
        labelStart = text[i] == '.';
    }
    if (i == host || text[i - 1] == '-')
        return at;
    if (i < text.size() && text[i] == ':')
    {
        const std::size_t port = ++i;
        while (i < text.size() && i - port < 5 && text[i] >= '0' && text[i] <= '9')
            ++i;
        if (i == port)
            return at;
    }
    const std::size_t hostEnd = i;
    // After the host comes its path, or what ends the address: a space, a quote, a sentence's
    // punctuation. Anything else ("user@host", a port that runs on, a letter outside ASCII)
    // makes it no address at all.
    if (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' &&
        std::string_view("/?#\"<>.,;:!?')").find(text[i]) == std::string_view::npos)
        return at;
    if (i < text.size() && (text[i] == '/' || text[i] == '?' || text[i] == '#'))
        for (; i < text.size() && IsPathCharacter(text[i]); ++i)
            if (text[i] == '%' &&
                !(i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2])))
                break;
    // Trailing punctuation belongs to the sentence.
    while (i > host)
    {
        const char last = text[i - 1];
        if (std::string_view(".,;:!?'").find(last) != std::string_view::npos)
            --i;
        else if (last == ')' && std::count(text.begin() + static_cast<std::ptrdiff_t>(at),
                                           text.begin() + static_cast<std::ptrdiff_t>(i), '(') <
                                    std::count(text.begin() + static_cast<std::ptrdiff_t>(at),
                                               text.begin() + static_cast<std::ptrdiff_t>(i), ')'))
            --i;
        else
            break;
    }
    // A host that the sentence's punctuation ended ("http://a-.") must still end as a host does.
    if (i <= host || (i <= hostEnd && !IsAlnum(text[i - 1])))
        return at;
    return i;
}

std::vector<ChatLineFormat::Range> LinksIn(const std::string& line, std::size_t from)
{
    std::vector<ChatLineFormat::Range> links;
    for (std::size_t at = from; at < line.size(); ++at)
    {
        // An address starts a word: "xhttp://" is no address.
        if (at > from && IsAlnum(line[at - 1]))
            continue;
        const std::size_t end = AddressEnd(line, at);
        if (end == at)
            continue;
        links.push_back({true, static_cast<std::int32_t>(at), static_cast<std::int32_t>(end)});
        at = end - 1;
    }
    return links;
}

} // namespace

bool IsWebAddress(const std::string& text)
{
    return !text.empty() && AddressEnd(text, 0) == text.size();
}

ChatLineFormat FormatOfChatLine(const std::string& line, const std::string& ownNickname)
{
    constexpr auto npos = std::string::npos;
    ChatLineFormat format;

    // The bracket positions: the first "[" and the first "]" bound the time; the sender's
    // group is the next "[" after that "]" and the "]" after it.
    const std::size_t timeOpen = line.find('[');
    const std::size_t timeClose = line.find(']');
    const std::size_t senderOpen = timeClose == npos ? npos : line.find('[', timeClose);
    const std::size_t senderClose = senderOpen == npos ? npos : line.find(']', senderOpen);

    if (timeOpen != npos && timeClose != npos && timeOpen < timeClose)
        format.time = {true, static_cast<std::int32_t>(timeOpen),
                       static_cast<std::int32_t>(timeClose + 1)};
    if (senderOpen != npos && senderClose != npos)
        format.sender = {true, static_cast<std::int32_t>(senderOpen),
                         static_cast<std::int32_t>(senderClose + 1)};

    if (format.sender.present)
    {
        const std::string sender = line.substr(senderOpen + 1, senderClose - senderOpen - 1);
        if (sender == ownNickname)
            format.senderKind = ChatLineFormat::Sender::Own;
        else if (sender.find("SERVER") != npos)
            format.senderKind = ChatLineFormat::Sender::Server;
    }
    // Links come after the groups, which are shown apart from them.
    format.links = LinksIn(line, format.sender.present ? senderClose + 1
                                 : format.time.present ? timeClose + 1
                                                       : 0);
    return format;
}
