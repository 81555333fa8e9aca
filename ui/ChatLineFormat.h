#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where the chat log colours a line, and how. A chat line reads "[12:00:01] [Alice]: hi": the
// first bracket group (the time) is grey, the second (the sender) bold and coloured by who sent
// it. Ranges count characters from the start of the line; a group the line lacks is left
// unformatted.
struct ChatLineFormat
{
    enum class Sender
    {
        Other,  // green
        Server, // red: the sender group contains "SERVER" (never because of the message text)
        Own,    // blue: the sender is the user's own nickname; wins over Server
    };

    struct Range
    {
        bool present = false;
        std::int32_t begin = 0;
        std::int32_t end = 0; // one past the closing bracket
    };

    Range time;
    Range sender;
    Sender senderKind = Sender::Other;
    // Web addresses in the text after the groups (the whole line when it has none), in order:
    // shown as links, which a click opens.
    std::vector<Range> links;
};

ChatLineFormat FormatOfChatLine(const std::string& line, const std::string& ownNickname);

// Whether the text is a web address the program opens: http:// or https:// (in any case), a host
// of letters, digits, dots and hyphens, an optional port, and an optional path, query and
// fragment of the characters an address may hold (ASCII only, every "%" followed by two hex
// digits). Nothing else is ever opened: no other scheme, no local file, no "user@" before the
// host.
bool IsWebAddress(const std::string& text);
