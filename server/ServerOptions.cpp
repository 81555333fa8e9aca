#include "server/ServerOptions.h"

#include "common/ChatProtocol.h"
#include "server/link/RedisAddress.h"
#include "server/link/RoomEventCodec.h"
#include "server/operator/ControlSocket.h"
#include "server/operator/OperatorCommands.h"
#include "server/room/BacklogPolicy.h"

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

// A numeric option: its name, its range and where its value goes.
struct NumberOption
{
    const char* name;
    unsigned long long low;
    unsigned long long high;
    std::size_t ServerOptions::*field;
};

const NumberOption numberOptions[] = {
    {"--max-clients", 1, 1000000, &ServerOptions::maxClients},
    {"--max-per-address", 0, 1000000, &ServerOptions::maxPerAddress},
    {"--line-rate", 0, 1000000, &ServerOptions::lineRate},
    {"--nickname-timeout", 1, 86400, &ServerOptions::nicknameTimeout},
    {"--history", 0, 10000, &ServerOptions::history},
    {"--max-line-bytes", 64, ChatProtocol::MaxTextBytes, &ServerOptions::maxLineBytes},
    {"--stream-length", 100, 10000000, &ServerOptions::streamLength},
};

// HOST:PORT, an IPv6 address in brackets ([::1]:9464); false when it is not that.
bool ParseHostAndPort(const std::string& text, std::string& host, std::uint16_t& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false; // an IPv6 address needs its brackets
    unsigned long long number = 0;
    if (host.empty() || host.find_first_of(" []") != std::string::npos ||
        !ParseNumber(text.substr(colon + 1), 0, 65535, number))
        return false;
    port = static_cast<std::uint16_t>(number);
    return true;
}

// The options that only mean something with --redis.
const char* const redisOptions[] = {"--redis-password-file", "--room", "--node", "--stream-length"};

} // namespace

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options,
                        std::string& error)
{
    std::string redisOnly; // an option given that needs --redis
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
        if ((name == "--tls-only" || name == "--tls-pin" || name == "--console") && !hasValue)
        {
            (name == "--tls-only"  ? options.tlsOnly
             : name == "--tls-pin" ? options.tlsPin
                                   : options.console) = true;
            continue;
        }
        const NumberOption* number = nullptr;
        for (const auto& candidate : numberOptions)
            if (name == candidate.name)
                number = &candidate;
        std::string ServerOptions::*text = nullptr;
        if (name == "--listen")
            text = &ServerOptions::listenAddress;
        else if (name == "--tls-cert")
            text = &ServerOptions::tlsCert;
        else if (name == "--tls-key")
            text = &ServerOptions::tlsKey;
        else if (name == "--ban-file")
            text = &ServerOptions::banFile;
        else if (name == "--control")
            text = &ServerOptions::control;
        else if (name == "--command")
            text = &ServerOptions::command;
        else if (name == "--redis")
            text = &ServerOptions::redis;
        else if (name == "--redis-password-file")
            text = &ServerOptions::redisPasswordFile;
        else if (name == "--room")
            text = &ServerOptions::room;
        else if (name == "--node")
            text = &ServerOptions::node;
        if (!number && !text && name != "--port" && name != "--metrics")
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

        unsigned long long parsed = 0;
        if (text)
        {
            if (value.empty())
            {
                error = name + (name == "--listen"    ? " needs an address"
                                : name == "--command" ? " needs a command"
                                : name == "--redis"   ? " needs redis://HOST[:PORT] or unix:PATH"
                                : name == "--room" || name == "--node" ? " needs a name"
                                                                       : " needs a file name");
                return false;
            }
            options.*text = value;
            for (const auto& given : redisOptions)
                if (name == given)
                    redisOnly = name;
        }
        else if (name == "--metrics")
        {
            if (!ParseHostAndPort(value, options.metricsHost, options.metricsPort))
            {
                error =
                    "--metrics takes HOST:PORT, such as 127.0.0.1:9464 or [::1]:9464, not " + value;
                return false;
            }
        }
        else if (name == "--port")
        {
            if (!ParseNumber(value, 0, 65535, parsed))
            {
                error = "--port takes a number from 0 to 65535, not " + value;
                return false;
            }
            options.port = static_cast<std::uint16_t>(parsed);
        }
        else
        {
            if (!ParseNumber(value, number->low, number->high, parsed))
            {
                error = name + " takes a number from " + std::to_string(number->low) + " to " +
                        std::to_string(number->high) + ", not " + value;
                return false;
            }
            options.*(number->field) = static_cast<std::size_t>(parsed);
            if (name == "--stream-length")
                redisOnly = name;
        }
    }
    if (options.tlsPin && options.tlsCert.empty())
        error = "--tls-pin needs --tls-cert FILE";
    else if (!options.tlsPin && options.tlsCert.empty() != options.tlsKey.empty())
        error = "TLS needs both --tls-cert and --tls-key";
    else if (options.tlsOnly && options.tlsCert.empty())
        error = "--tls-only needs --tls-cert and --tls-key";
    else if (!ControlSocket::PathProblem(options.control).empty())
        error = "--control: " + ControlSocket::PathProblem(options.control);
    else if (!redisOnly.empty() && options.redis.empty())
        error = redisOnly + " needs --redis URL";
    if (!error.empty() || options.redis.empty())
        return error.empty();
    std::string problem;
    if (!RedisAddress::Parse(options.redis, options.redisAddress, error))
        return false;
    if (!(problem = RoomEventCodec::NodeProblem(options.room)).empty())
        error = "--room: " + problem;
    else if (!options.node.empty() &&
             !(problem = RoomEventCodec::NodeProblem(options.node)).empty())
        error = "--node: " + problem;
    return error.empty();
}

std::string ServerUsage()
{
    const OutputLimits limits;
    return "Usage: ostrel-server [OPTION]...\n"
           "\n"
           "Runs an Ostrel Chat server: it relays every chat line to everyone connected and keeps\n"
           "the list of users online.\n"
           "\n"
           "  --listen ADDRESS        address to listen on (default 127.0.0.1; 0.0.0.0 for all)\n"
           "  --port N                TCP port (default 6112; 0 picks a free one)\n"
           "  --max-clients N         most connections at once (default 1024; lowered to what\n"
           "                          the system's file limit allows)\n"
           "  --max-per-address N     most connections from one address (default 16; 0: no\n"
           "                          limit)\n"
           "  --line-rate N           chat lines and nickname changes a client may send each\n"
           "                          second, in bursts of up to twice as many (default 5; 0: no\n"
           "                          limit); a client that keeps sending faster is cut off\n"
           "  --nickname-timeout S    seconds a connection may stay without a nickname\n"
           "                          (default 10)\n"
           "  --history N             chat lines replayed to a newcomer (default 20; 0: none)\n"
           "  --max-line-bytes N      longest chat line relayed, in bytes (default 512)\n"
           "  --tls-cert FILE         certificate (PEM) for encrypted connections; with\n"
           "  --tls-key FILE          its private key (PEM), the port takes TLS and plain\n"
           "                          connections alike (Linux build only)\n"
           "  --tls-only              refuse plain connections\n"
           "  --tls-pin               with --tls-cert: print the pin users put in their\n"
           "                          settings (tls-pin=) and exit\n"
           "  --ban-file FILE         keep the operator's bans in FILE over a restart\n"
           "                          (default: in memory only); no link, pipe or folder\n"
           "  --console               take operator commands from standard input even when it\n"
           "                          is not a terminal (when it is one, they are taken anyway)\n"
           "  --control PATH          take operator commands on a local socket at PATH (at\n"
           "                          most 107 bytes), for ostrel-server --command (Linux\n"
           "                          only)\n"
           "  --command \"COMMAND\"     send COMMAND to the server running with --control PATH\n"
           "                          (default " +
           std::string(DefaultControlPath) +
           "), print its answer\n"
           "                          and exit\n"
           "  --metrics HOST:PORT     serve Prometheus metrics at http://HOST:PORT/metrics,\n"
           "                          with /healthz and /readyz (Linux only; default: off)\n"
           "  --redis URL             join the room kept in the Redis at redis://HOST[:PORT]\n"
           "                          (port 6379 by default) or unix:PATH, with every server\n"
           "                          that joins it (Linux build only; no TLS to Redis: keep it\n"
           "                          on loopback, a Unix socket or a private network)\n"
           "  --redis-password-file FILE  the password Redis asks for, in FILE\n"
           "  --room NAME             the room's name, the prefix of its keys (default ostrel)\n"
           "  --node NAME             this server's name in the room (default: its host name,\n"
           "                          listen address and port, as HOST/ADDRESS:PORT)\n"
           "  --stream-length N       entries the room's stream in Redis is trimmed to, about\n"
           "                          (default 10000)\n"
           "  --help                  show this text\n"
           "\n"
           "A client that falls " +
           SizeText(limits.behindMark) +
           " behind what it is sent and does not catch up\n"
           "within " +
           std::to_string(limits.behindTime.count()) +
           " seconds is let go, and one with more than " + SizeText(limits.hardLimit) +
           " waiting at once;\n"
           "nobody else waits for it. Only while most of the room is behind does the\n"
           "server read more slowly from the senders.\n"
           "\n"
           "Operator commands, typed into the console or sent with --command:\n" +
           OperatorCommands::Help(2) +
           "For example: ostrel-server --command \"ban 192.0.2.0/24 12h spamming\"\n"
           "\n"
           "Ctrl+C or SIGTERM tells everyone the server is shutting down, closes every\n"
           "connection and stops the server. SIGHUP reads the certificate and key again (for\n"
           "new connections; members stay connected) and the ban file; it stops nothing.\n";
}
