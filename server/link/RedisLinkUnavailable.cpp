// The Windows build of the server has no Redis: Debian has no hiredis for MinGW.

#include "server/link/RedisLink.h"

bool RedisLink::Available()
{
    return false;
}

std::string RedisLink::Unavailable()
{
    return "a room across servers (--redis) is not available in the Windows build of the server; "
           "run the Linux build for it";
}

std::unique_ptr<RedisLink> RedisLink::Create(asio::io_context&, RedisRoomOptions, std::ostream&)
{
    return nullptr;
}
