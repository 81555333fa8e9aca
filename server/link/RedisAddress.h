#pragma once

#include <cstdint>
#include <string>

// Where the Redis that keeps the room is: redis://HOST[:PORT] (6379 unless given), or
// unix:PATH for its Unix domain socket.
struct RedisAddress
{
    static constexpr std::uint16_t DefaultPort = 6379;

    std::string host; // a name or an address; empty for a Unix socket
    std::uint16_t port = DefaultPort;
    std::string path; // the Unix socket

    // False, with a one-line reason, for anything but the two forms (a password in the URL
    // included: it belongs in a file, where `ps` does not show it).
    static bool Parse(const std::string& url, RedisAddress& address, std::string& error);
    // As the log shows it: redis://HOST:PORT or unix:PATH.
    std::string ToString() const;
};
