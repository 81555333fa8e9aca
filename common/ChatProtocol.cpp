#include "common/ChatProtocol.h"

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

bool HoldsControlBytes(std::string_view text)
{
    for (char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
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

bool IsServerLine(const std::string& line)
{
    const std::size_t timeClose = line.find(']');
    const std::size_t senderOpen =
        timeClose == std::string::npos ? timeClose : line.find('[', timeClose);
    const std::size_t senderClose =
        senderOpen == std::string::npos ? senderOpen : line.find(']', senderOpen);
    return senderClose != std::string::npos &&
           line.substr(senderOpen + 1, senderClose - senderOpen - 1).find("SERVER") !=
               std::string::npos;
}

unsigned NicknameSeed(std::uint64_t seconds, std::uint32_t processId, std::uint32_t ticks)
{
    // A 64-bit finaliser (splitmix64's): every input bit reaches every output bit.
    std::uint64_t x =
        seconds ^ (std::uint64_t{processId} << 32) ^ (std::uint64_t{ticks} * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return static_cast<unsigned>(x);
}

std::string GeneratedNickname(int randomValue)
{
    return "User#" + std::to_string(randomValue % 99999 + 10000);
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
