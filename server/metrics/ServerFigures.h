#pragma once

#include "server/room/ServerCounters.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// The certificate the server's TLS uses, as far as its operator watches it.
struct TlsFigures
{
    std::time_t certificateNotAfter = 0; // when it expires (UTC, seconds since 1970)
};

// The room across servers: whether this server is connected to the engine that carries it, and
// how far behind it reads.
struct EngineFigures
{
    bool up = false;
    std::uint64_t lagEntries = 0; // entries written that this server has yet to read
    std::uint64_t reconnects = 0;
    std::uint64_t gaps = 0; // times entries were lost before this server read them
};

// Everything the server reports of itself at one moment, taken on its own thread in one go: its
// counters as they stand, and how things are now. Whoever reports it works on this copy.
struct ServerFigures
{
    ServerCounters counters;
    std::size_t members = 0;     // named members in the room
    std::size_t connections = 0; // open connections, members or not, closing ones included
    std::size_t bans = 0;
    bool listening = false;              // taking new connections
    std::optional<TlsFigures> tls;       // with TLS
    std::optional<EngineFigures> engine; // with a room across servers
};

// Why clients should not be sent to this server now, in one line; empty when it is ready.
std::string NotReadyReason(const ServerFigures& figures);
