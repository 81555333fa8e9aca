// The room across servers on hiredis, in the Linux build.

#include "server/link/RedisLink.h"
#include "server/link/RedisRoomLink.h"

bool RedisLink::Available()
{
    return true;
}

std::string RedisLink::Unavailable()
{
    return "";
}

std::unique_ptr<RedisLink> RedisLink::Create(asio::io_context& io, RedisRoomOptions options,
                                             std::ostream& log)
{
    return std::make_unique<RedisRoomLink>(io, std::move(options), log);
}
