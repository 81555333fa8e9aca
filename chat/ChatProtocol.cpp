#include "chat/ChatProtocol.h"

#include <ostream>

namespace ChatProtocol
{

namespace
{

void AppendTwoDigits(std::string& out, int value)
{
    if (value < 10)
        out += '0';
    out += std::to_string(value);
}

} // namespace

std::string WireFrame(const oNet::Packet& packet)
{
    std::string frame;
    frame.reserve(2 + packet.buffer.size());
    frame += static_cast<char>(packet.buffer.size() >> 8);
    frame += static_cast<char>(packet.buffer.size() & 0xFF);
    frame.append(packet.buffer.data(), packet.buffer.size());
    return frame;
}

std::shared_ptr<oNet::Packet> MakeTextPacket(oNet::PacketType type, const std::string& text)
{
    auto packet = std::make_shared<oNet::Packet>(type);
    *packet << text;
    return packet;
}

std::string FormatTimestamp(const std::tm& localTime)
{
    std::string stamp = "[";
    AppendTwoDigits(stamp, localTime.tm_hour);
    stamp += ':';
    AppendTwoDigits(stamp, localTime.tm_min);
    stamp += ':';
    AppendTwoDigits(stamp, localTime.tm_sec);
    stamp += ']';
    return stamp;
}

std::string ComposeChatLine(const std::string& timestamp, const std::string& nickname,
                            const std::string& message)
{
    return timestamp + " [" + nickname + "]: " + message;
}

std::string GeneratedNickname(int randomValue)
{
    return "User#" + std::to_string(randomValue % 99999 + 10000);
}

bool NicknameFitsChatLine(const std::string& nickname)
{
    const std::size_t timestampBytes = 10;    // "[HH:MM:SS]"
    const std::size_t separatorBytes = 2 + 3; // " [" and "]: "
    const std::size_t longestMessage = 2 * MaxMessageChars;
    return nickname.size() <= MaxTextBytes - timestampBytes - separatorBytes - longestMessage;
}

void WriteIntegerArray(oNet::Packet& packet, std::ostream& out)
{
    std::uint32_t count = 0;
    packet >> count;
    out << "Array Size: " << count << std::endl;
    for (std::uint32_t i = 0; i < count; ++i)
    {
        std::uint32_t value = 0;
        packet >> value;
        out << "Element[" << i << "] - " << value << std::endl;
    }
}

} // namespace ChatProtocol
