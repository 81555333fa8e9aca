#pragma once

#include "common/ChatProtocol.h"

#include <cstddef>
#include <string>

// The longest reason the operator may give for a kick or a ban: with the words around it, the
// server line that tells a member why it goes must still fit in one packet.
constexpr std::size_t MaxReasonBytes = ChatProtocol::MaxTextBytes - 256;
// The longest detail of a departure, and the longest note the room hears of it: such a reason
// with the words around it ("kicked by the operator: ", "banned: ").
constexpr std::size_t MaxDetailBytes = MaxReasonBytes + 64;

// Every way a member leaves the room, wherever it is decided (the room, its connection, the
// backlog policy, the server). Each has a label that does not change (for counting) and a
// sentence the log gives.
enum class LeaveReason
{
    Left,       // the client closed its connection, or the connection failed
    Flooding,   // kept sending faster than the line rate
    TooSlow,    // fell too far behind what it is sent
    Timeout,    // chose no nickname in time
    BadInput,   // sent what the protocol does not allow
    Kicked,     // removed by the operator
    Banned,     // removed by a ban
    TurnedAway, // not let in: limits, a ban, TLS required or missing
};

// "left", "flooding", "too_slow", "timeout", "bad_input", "kicked", "banned", "turned_away".
const char* MetricLabel(LeaveReason reason);

// Why one member left: the reason and what the log adds after its sentence ("frame length
// 9000", "being rude").
struct Departure
{
    Departure() = default;
    Departure(LeaveReason reason, std::string detail = "")
        : reason(reason), detail(std::move(detail))
    {
    }

    LeaveReason reason = LeaveReason::Left;
    std::string detail;

    // The sentence with the detail, as the log gives it: "bad input: frame length 9000",
    // "no nickname within 10 s", "closed by the client".
    std::string Text() const;
};
