#include "ui/ChatLineFormat.h"

#include <algorithm>

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
    return format;
}
