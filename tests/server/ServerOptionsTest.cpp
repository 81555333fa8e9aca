#include "server/ServerOptions.h"
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

TEST(ServerOptions, UsageNamesEveryOptionAndEveryOperatorCommand)
{
    const std::string usage = ServerUsage();
    for (const char* option :
         {"--listen", "--port", "--max-clients", "--tls-cert", "--tls-only", "--tls-pin",
          "--ban-file", "--console", "--control", "--command", "--metrics", "--help"})
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
