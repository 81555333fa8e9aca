#pragma once

#include <string>

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
