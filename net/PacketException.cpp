#include "net/PacketException.h"

#include <utility>

namespace oNet
{

PacketException::PacketException(std::string message) : message(std::move(message)) {}

} // namespace oNet
