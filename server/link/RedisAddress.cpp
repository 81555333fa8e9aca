#include "server/link/RedisAddress.h"

#include <cstdlib>

namespace
{

const char* const Forms = "redis://HOST[:PORT] or unix:PATH";

} // namespace

bool RedisAddress::Parse(const std::string& url, RedisAddress& address, std::string& error)
{
    address = RedisAddress();
    const std::string scheme = "redis://";
    if (url.rfind("unix:", 0) == 0)
    {
        address.path = url.substr(5);
        if (address.path.empty())
            error = "--redis unix:PATH needs the path of Redis's socket";
        return error.empty();
    }
    if (url.rfind(scheme, 0) != 0)
    {
        error = "--redis takes " + std::string(Forms) + ", not " + url;
        return false;
    }
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find('@') != std::string::npos)
    {
        error = "--redis: put the password in a file named by --redis-password-file, not in the "
                "URL, where ps shows it";
        return false;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[')
    {
        // An IPv6 address in brackets, as in [::1]:6379.
        const std::size_t close = rest.find(']');
        if (close == std::string::npos)
        {
            error = "--redis: an IPv6 address needs its closing ], in " + url;
            return false;
        }
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size())
        {
            if (rest[close + 1] != ':')
            {
                error = "--redis takes " + std::string(Forms) + ", not " + url;
                return false;
            }
            port = rest.substr(close + 2);
        }
    }
    else
    {
        const std::size_t colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos)
            port = rest.substr(colon + 1);
    }
    if (address.host.empty() || address.host.find_first_of("/?# ") != std::string::npos)
    {
        error = "--redis takes " + std::string(Forms) + ", not " + url;
        return false;
    }
    if (!port.empty() || (rest.find(':') != std::string::npos && rest[0] != '['))
    {
        const bool digits = !port.empty() && port.size() <= 5 &&
                            port.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long value = digits ? std::strtoul(port.c_str(), nullptr, 10) : 0;
        if (value == 0 || value > 65535)
        {
            error = "--redis: the port must be a number from 1 to 65535, not " + port;
            return false;
        }
        address.port = static_cast<std::uint16_t>(value);
    }
    return true;
}

std::string RedisAddress::ToString() const
{
    if (!path.empty())
        return "unix:" + path;
    const bool v6 = host.find(':') != std::string::npos;
    return "redis://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
