#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// The room's chat lines the client has shown lately, and the recognition of those that a server
// replays when the client joins again.
//
// A server replays the newest lines of the room's history to every member that joins. After a
// lost connection, when the room went on (the server kept running, or another server of the
// room kept its history), the replay starts among the lines the user has seen and runs on, in
// the room's order, past the last of them. So the lines that follow a join are held while they
// match the kept lines in order; those that match right through to the last line shown are not
// shown again, and from the first line shown on, the replay is over: everything after it is new.
// A run that breaks off before the last line shown was no replay of it after all, and is shown.
// When the room did not go on (a server alone, restarted), nothing is replayed and nothing is
// held. The server's own lines are never part of a replay: they pass by, in their place.
class SeenLines
{
public:
    // The lines kept: more than a server replays (20 unless its operator says otherwise).
    static constexpr std::size_t Kept = 200;

    // The client has been let into the room: the lines that follow may be a replay.
    void Joined();
    // A chat line received: the lines to be shown now, oldest first. None while the line may be
    // part of a replay of what has been shown.
    std::vector<std::string> Received(const std::string& line);
    // The replay is over (the server has sent what it had, or the connection is lost): the
    // lines still held, but those that matched through to the last line shown.
    std::vector<std::string> ReplayOver();

private:
    std::vector<std::string> Settle();
    void Keep(const std::string& line);

    std::deque<std::string> kept; // the room's lines shown, oldest first
    bool replaying = false;
    std::vector<std::string> held; // received during the replay, not shown yet, in order
    std::size_t heldRoomLines = 0; // of them, the room's lines (the rest: the server's own)
    std::vector<std::size_t> runs; // where in kept the held room lines may have started
    std::size_t matchedToEnd = 0;  // held room lines that matched through to the last kept one
};
