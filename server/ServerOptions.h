#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the chat server is told on its command line.
struct ServerOptions
{
    std::string listenAddress = "127.0.0.1";
    std::uint16_t port = 6112; // 0 lets the system pick a free port
    std::size_t maxClients = 1024;
    bool help = false;
};

// Reads "--listen ADDRESS", "--port N", "--max-clients N" (also as --option=value) and "--help".
// False, with a one-line reason in error, for anything else or a value out of range.
bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options,
                        std::string& error);

std::string ServerUsage();
