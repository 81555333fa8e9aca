#pragma once

#include "server/room/Departure.h"
#include "server/room/LatencyHistogram.h"

#include <array>
#include <cstddef>
#include <cstdint>

// What the server has done since it started, counted where it happens: by the room, the
// connections and the server itself, all on the server's one thread, as plain increments. The
// server owns the one instance; whoever reports the figures takes a copy on that thread.
struct ServerCounters
{
    // Every LeaveReason, TurnedAway being the last.
    static constexpr std::size_t LeaveReasons =
        static_cast<std::size_t>(LeaveReason::TurnedAway) + 1;

    std::uint64_t lines = 0;      // chat lines relayed to this server's members
    std::uint64_t deliveries = 0; // frames written out to connections, each counted once whole
    // From reading a chat line to queuing it for the last member.
    LatencyHistogram broadcast;
    // Connections that left the room, or were turned away before it, by why.
    std::array<std::uint64_t, LeaveReasons> disconnects{};
    std::uint64_t tlsHandshakes = 0;       // TLS handshakes completed
    std::uint64_t tlsHandshakesFailed = 0; // TLS handshakes that failed or ran out of time

    void CountDeparture(LeaveReason reason) { ++disconnects[static_cast<std::size_t>(reason)]; }
    std::uint64_t Departures(LeaveReason reason) const
    {
        return disconnects[static_cast<std::size_t>(reason)];
    }
};
