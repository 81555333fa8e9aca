#include "server/link/RedisVersion.h"

#include <cstdio>

namespace RedisVersion
{

std::string Problem(const std::string& info)
{
    const std::string marker = "redis_version:";
    const std::size_t at = info.find(marker);
    const std::string oldest = std::to_string(OldestMajor) + "." + std::to_string(OldestMinor);
    if (at == std::string::npos)
        return "Redis does not say its version; the room needs Redis " + oldest + " or later";
    const std::size_t end = info.find_first_of("\r\n", at);
    const std::string version =
        info.substr(at + marker.size(), end == std::string::npos ? end : end - at - marker.size());
    int major = 0, minor = 0;
    if (std::sscanf(version.c_str(), "%d.%d", &major, &minor) != 2)
        return "Redis gives its version as \"" + version.substr(0, 40) +
               "\", which is none; the room needs Redis " + oldest + " or later";
    if (major < OldestMajor || (major == OldestMajor && minor < OldestMinor))
        return "Redis " + version + " is too old: the room needs Redis " + oldest + " or later";
    return "";
}

} // namespace RedisVersion
