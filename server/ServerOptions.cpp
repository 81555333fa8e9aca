#include "server/ServerOptions.h"

#include <cerrno>
#include <cstdlib>

namespace
{

// A whole decimal number within [low, high]; nothing else.
bool ParseNumber(const std::string& text, unsigned long long low, unsigned long long high,
                 unsigned long long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

} // namespace

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options,
                        std::string& error)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos)
        {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }

        if (name == "--help" || name == "-h")
        {
            options.help = true;
            continue;
        }
        if (name != "--listen" && name != "--port" && name != "--max-clients")
        {
            error = "unknown option " + name;
            return false;
        }
        if (!hasValue)
        {
            if (i + 1 >= argc)
            {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }

        unsigned long long number = 0;
        if (name == "--listen")
        {
            if (value.empty())
            {
                error = "--listen needs an address";
                return false;
            }
            options.listenAddress = value;
        }
        else if (name == "--port")
        {
            if (!ParseNumber(value, 0, 65535, number))
            {
                error = "--port takes a number from 0 to 65535, not " + value;
                return false;
            }
            options.port = static_cast<std::uint16_t>(number);
        }
        else
        {
            if (!ParseNumber(value, 1, 1000000, number))
            {
                error = "--max-clients takes a number from 1 to 1000000, not " + value;
                return false;
            }
            options.maxClients = static_cast<std::size_t>(number);
        }
    }
    return true;
}

std::string ServerUsage()
{
    return "Usage: ostrel-server [--listen ADDRESS] [--port N] [--max-clients N]\n"
           "\n"
           "Runs an Ostrel Chat server: it relays every chat line to everyone connected and keeps\n"
           "the list of users online.\n"
           "\n"
           "  --listen ADDRESS   address to listen on (default 127.0.0.1; 0.0.0.0 for all)\n"
           "  --port N           TCP port (default 6112; 0 picks a free one)\n"
           "  --max-clients N    most connections at once (default 1024)\n"
           "  --help             show this text\n"
           "\n"
           "Ctrl+C (or SIGTERM) closes every connection and stops the server.\n";
}
