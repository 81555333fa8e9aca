#pragma once

#include <cstdint>
#include <string>

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
};

ChatLineFormat FormatOfChatLine(const std::string& line, const std::string& ownNickname);
