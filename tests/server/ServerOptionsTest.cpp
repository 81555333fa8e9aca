#include "server/ServerOptions.h"
#include "server/link/RedisAddress.h"
#include "server/operator/ControlSocket.h"
#include "server/operator/OperatorCommands.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

bool Parse(std::vector<const char*> args, ServerOptions& options, std::string& error)
{
    args.insert(args.begin(), "ostrel-server");
    return ParseServerOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ServerOptions, DefaultsListenLocallyOnTheChatPort)
{
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(Parse({}, options, error));
    EXPECT_EQ(options.listenAddress, "127.0.0.1");
    EXPECT_EQ(options.port, 6112);
    EXPECT_EQ(options.maxClients, 1024u);
    EXPECT_FALSE(options.help);
}

TEST(ServerOptions, TakesEachOptionInBothForms)
{
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(
        Parse({"--listen", "0.0.0.0", "--port=7000", "--max-clients", "5"}, options, error));
    EXPECT_EQ(options.listenAddress, "0.0.0.0");
    EXPECT_EQ(options.port, 7000);
    EXPECT_EQ(options.maxClients, 5u);

    ASSERT_TRUE(
        Parse({"--listen=::1", "--port", "0", "--max-clients=1", "--help"}, options, error));
    EXPECT_EQ(options.listenAddress, "::1");
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.maxClients, 1u);
    EXPECT_TRUE(options.help);

    ASSERT_TRUE(Parse({"--tls-cert", "c.pem", "--tls-key=k.pem", "--tls-only"}, options, error));
    EXPECT_EQ(options.tlsCert, "c.pem");
    EXPECT_EQ(options.tlsKey, "k.pem");
    EXPECT_TRUE(options.tlsOnly);
}

TEST(ServerOptions, BadOptionsGetAOneLineReason)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--verbose"},
        {"extra"},
        {"--port"},
        {"--port", "65536"},
        {"--port", "-1"},
        {"--port", "12ab"},
        {"--port="},
        {"--max-clients", "0"},
        {"--max-clients", "x"},
        {"--listen"},
        {"--listen="},
        {"--port", "99999999999"},
        {"--tls-cert", "c.pem"},
        {"--tls-key", "k.pem"},
        {"--tls-only"},
        {"--tls-pin"},
        {"--tls-cert="},
        {"--ban-file"},
        {"--control="},
        {"--command", ""},
        {"--console=yes"},
        {"--redis", "localhost"},
        {"--redis", "redis://"},
        {"--redis", "redis://host:0"},
        {"--redis", "redis://host:70000"},
        {"--redis", "redis://host:port"},
        {"--redis", "redis://:secret@host"},
        {"--redis", "redis://[::1"},
        {"--redis", "unix:"},
        {"--room", "other"},
        {"--node", "a"},
        {"--stream-length", "5000"},
        {"--redis-password-file", "pw"},
        {"--redis", "unix:/r.sock", "--room", "two words"},
        {"--redis", "unix:/r.sock", "--node", "tab\there"},
        {"--redis", "unix:/r.sock", "--stream-length", "99"},
    };
    for (const auto& args : bad)
    {
        ServerOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, options, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(ServerOptions, RedisIsReachedByAnAddressOrASocketAndNamesTheRoomAndTheNode)
{
    ServerOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--redis", "redis://10.0.0.5", "--room=lobby", "--node", "east-1",
                       "--stream-length", "500", "--redis-password-file", "/etc/pw"},
                      options, error))
        << error;
    EXPECT_EQ(options.room, "lobby");
    EXPECT_EQ(options.node, "east-1");
    EXPECT_EQ(options.streamLength, 500u);
    EXPECT_EQ(options.redisPasswordFile, "/etc/pw");

    struct Case
    {
        const char* url;
        const char* host;
        std::uint16_t port;
        const char* path;
        const char* shown;
    };
    const Case cases[] = {
        {"redis://10.0.0.5", "10.0.0.5", 6379, "", "redis://10.0.0.5:6379"},
        {"redis://cache.internal:6380/", "cache.internal", 6380, "", "redis://cache.internal:6380"},
        {"redis://[::1]:7000", "::1", 7000, "", "redis://[::1]:7000"},
        {"redis://[fd00::5]", "fd00::5", 6379, "", "redis://[fd00::5]:6379"},
        {"unix:/run/redis/redis.sock", "", 6379, "/run/redis/redis.sock",
         "unix:/run/redis/redis.sock"},
    };
    for (const Case& c : cases)
    {
        RedisAddress address;
        ASSERT_TRUE(RedisAddress::Parse(c.url, address, error)) << c.url << ": " << error;
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
        EXPECT_EQ(address.path, c.path);
        EXPECT_EQ(address.ToString(), c.shown);
    }
    RedisAddress address;
    EXPECT_FALSE(RedisAddress::Parse("redis://user:pw@host", address, error));
    EXPECT_NE(error.find("--redis-password-file"), std::string::npos) << error;
}

TEST(ServerOptions, UsageNamesEveryOptionAndEveryOperatorCommand)
{
    const std::string usage = ServerUsage();
    for (const char* option :
         {"--listen", "--port", "--max-clients", "--tls-cert", "--tls-only", "--tls-pin",
          "--ban-file", "--console", "--control", "--command", "--metrics", "--redis",
          "--redis-password-file", "--room", "--node", "--stream-length", "--help"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    // The commands come from the operator's command table, as `help` lists them.
    EXPECT_NE(usage.find(OperatorCommands::Help(2)), std::string::npos) << usage;
    for (const auto& command : OperatorCommands::Table())
        EXPECT_NE(usage.find("\n  " + std::string(command.name) + " "), std::string::npos)
            << command.name;
    const std::string commands = OperatorCommands::Help(2);
    std::size_t start = 0;
    for (std::size_t end; (end = commands.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << commands.substr(start, end - start);
}

TEST(ServerOptions, ControlPathTooLongForAUnixSocketIsRefusedNamingTheLimit)
{
    if (!ControlSocket::Available())
        GTEST_SKIP() << ControlSocket::Unavailable();
    ServerOptions options;
    std::string error;
    const std::string longest = "/" + std::string(106, 'c');
    EXPECT_TRUE(Parse({"--control", longest.c_str()}, options, error)) << error;
    const std::string tooLong = longest + "c";
    EXPECT_FALSE(Parse({"--command", "who", "--control", tooLong.c_str()}, options, error));
    EXPECT_EQ(error, "--control: the control socket's path " + tooLong +
                         " is 108 bytes long; a Unix socket's path may be at most 107 bytes");
    EXPECT_FALSE(Parse({"--control", tooLong.c_str()}, options, error));
}

} // namespace
