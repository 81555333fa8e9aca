#pragma once

#include "server/room/LatencyHistogram.h"

#include <cstdint>

// What the server has done since it started, counted where it happens: by the room, the
// connections and the server itself, all on the server's one thread, as plain increments. The
// server owns the one instance; whoever reports the figures takes a copy on that thread.
struct ServerCounters
{
    std::uint64_t lines = 0;      // chat lines relayed to the room
    std::uint64_t deliveries = 0; // frames written out to connections, each counted once whole
    // From reading a chat line to queuing it for the last member.
    LatencyHistogram broadcast;
    std::uint64_t tlsHandshakes = 0;       // TLS handshakes completed
    std::uint64_t tlsHandshakesFailed = 0; // TLS connections that ended before completing one
};
