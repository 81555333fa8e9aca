// Arbitrary bytes as a chat line from someone else, read the way the chat log colours it and
// finds its links: every range lies within the line, in order and apart, and every link is a web
// address by the rule that decides what a click opens.

#include "ui/ChatLineFormat.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const ChatLineFormat format = FormatOfChatLine(line, "Bob");
    const auto size32 = static_cast<std::int32_t>(size);
    std::int32_t at = 0;
    for (const auto* range : {&format.time, &format.sender})
    {
        if (!range->present)
            continue;
        if (range->begin < at || range->end <= range->begin || range->end > size32)
            __builtin_trap();
        at = range->end;
    }
    for (const auto& link : format.links)
    {
        if (link.begin < at || link.end <= link.begin || link.end > size32 ||
            !IsWebAddress(line.substr(link.begin, link.end - link.begin)))
            __builtin_trap();
        at = link.end;
    }
    return 0;
}
