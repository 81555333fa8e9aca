#pragma once

#include <string>

namespace oNet
{

// The one exception type of the program: raised by Packet when an insertion would make the packet
// larger than MaxPacketSize or an extraction would read past its end. Thrown and caught by value.
class PacketException
{
public:
    explicit PacketException(std::string message);

    const std::string& Message() const { return message; }

    std::string message;
};

} // namespace oNet
