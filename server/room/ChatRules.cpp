#include "server/room/ChatRules.h"

namespace ChatRules
{

namespace
{

// The two digits at the given place as a number, or -1 when they are not two digits.
int TwoDigits(const std::string& text, std::size_t at)
{
    const char high = text[at];
    const char low = text[at + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9')
        return -1;
    return (high - '0') * 10 + (low - '0');
}

} // namespace

std::string ChatLineProblem(const std::string& line, const std::string& nickname,
                            std::size_t maxBytes)
{
    const std::string refused = "Your line was not passed on: ";
    if (line.size() > maxBytes)
        return refused + "it is longer than " + std::to_string(maxBytes) + " bytes.";
    for (char c : line)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return refused + "it holds control characters.";
    }
    // "[HH:MM:SS] [" is 12 bytes, "]: " 3 more.
    const bool form = line.size() >= 12 + nickname.size() + 3 && line[0] == '[' && line[3] == ':' &&
                      line[6] == ':' && line[9] == ']' && line[10] == ' ' && line[11] == '[' &&
                      line.compare(12, nickname.size(), nickname) == 0 &&
                      line.compare(12 + nickname.size(), 3, "]: ") == 0;
    const int hours = form ? TwoDigits(line, 1) : -1;
    const int minutes = form ? TwoDigits(line, 4) : -1;
    const int seconds = form ? TwoDigits(line, 7) : -1;
    if (hours < 0 || minutes < 0 || seconds < 0)
        return refused + "it must start with the time and your own nickname.";
    if (hours > 23 || minutes > 59 || seconds > 59)
        return refused + "its time stamp is not a real time of day.";
    return "";
}

} // namespace ChatRules
