#include "server/room/Departure.h"

const char* MetricLabel(LeaveReason reason)
{
    switch (reason)
    {
    case LeaveReason::Left:
        return "left";
    case LeaveReason::Flooding:
        return "flooding";
    case LeaveReason::TooSlow:
        return "too_slow";
    case LeaveReason::Timeout:
        return "timeout";
    case LeaveReason::BadInput:
        return "bad_input";
    case LeaveReason::Kicked:
        return "kicked";
    case LeaveReason::Banned:
        return "banned";
    case LeaveReason::TurnedAway:
        return "turned_away";
    }
    return "left";
}

std::string Departure::Text() const
{
    const std::string after = detail.empty() ? "" : ": " + detail;
    switch (reason)
    {
    case LeaveReason::Left:
        return "closed by the client" + after;
    case LeaveReason::Flooding:
        return "flooding" + after;
    case LeaveReason::TooSlow:
        return "too slow" + after;
    case LeaveReason::Timeout:
        // The detail is the time allowed: "no nickname within 10 s".
        return "no nickname" + (detail.empty() ? " in time" : " within " + detail);
    case LeaveReason::BadInput:
        return "bad input" + after;
    case LeaveReason::Kicked:
        return "kicked by the operator" + after;
    case LeaveReason::Banned:
        return "banned by the operator" + after;
    case LeaveReason::TurnedAway:
        return "turned away" + after;
    }
    return "closed by the client" + after;
}
