#pragma once

#include "server/link/RedisAddress.h"
#include "server/room/RoomOptions.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What the chat server is told on its command line, the room's own rules among them. The
// defaults are those of --help.
struct ServerOptions : RoomOptions
{
    std::string listenAddress = "127.0.0.1";
    std::uint16_t port = 6112; // 0 lets the system pick a free port
    std::size_t maxClients = 1024;
    std::size_t maxPerAddress = 16; // connections from one address; 0: no limit
    std::string tlsCert;            // PEM files: with both, connections may use TLS
    std::string tlsKey;
    bool tlsOnly = false; // plain connections are refused
    bool tlsPin = false;  // print the certificate's pin and exit
    std::string banFile;  // where bans are kept over a restart; empty: in memory only
    bool console = false; // operator commands from standard input even when it is no terminal
    std::string control;  // a local socket for operator commands (Linux); empty: none
    std::string command;  // send this command to a running server and print its answer
    std::string metricsHost;       // where the metrics endpoint listens; empty: nowhere
    std::uint16_t metricsPort = 0; // 0 lets the system pick a free port

    // A room across servers.
    std::string redis;                // the Redis that keeps the room; empty: this server alone
    RedisAddress redisAddress;        // where it is, as parsed from it
    std::string redisPasswordFile;    // where the password Redis asks for is
    std::string redisPassword;        // read from it at start
    std::string room = "ostrel";      // the prefix of the room's keys in Redis
    std::string node;                 // this server's name in the room; empty: host/address:port
    std::size_t streamLength = 10000; // entries the room's stream is trimmed to, about

    bool help = false;
};

// Reads the options of ServerUsage, each as "--name value" or "--name=value", and the flags
// "--help", "--tls-only", "--tls-pin" and "--console". False, with a one-line reason in error, for
// anything else, a value out of range, or TLS or Redis options that do not go together.
bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options,
                        std::string& error);

std::string ServerUsage();
