#pragma once

#include "server/operator/BanList.h"
#include "server/room/ChatRoom.h"
#include "server/operator/OperatorChannels.h"

#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>

// The operator's command language, one implementation whichever way a line comes (the server's
// console or its control socket). Commands never come from the chat protocol: no chat client
// can run them. Every command, and what it did, goes to the log with who gave it.
//
//   who                             one line per connection
//   say TEXT                        a server line to everyone
//   kick NAME [REASON]              removes a member
//   ban TARGET [DURATION] [REASON]  an address, a network or a member's address; DURATION like
//                                   30m, 12h, 7d (s, m, h, d, w); without one until lifted
//   unban TARGET                    lifts a ban
//   bans                            the bans in force
//   stats                           the server's figures, as its metrics give them
//   help                            the list above
//
// A nickname may hold spaces: NAME (and a TARGET that is a nickname) is the longest run of the
// words that names a member, or a text in double quotes.
class OperatorCommands
{
public:
    // Its text is lines, each ended by "\n"; empty for an empty command.
    using Answer = CommandAnswer;

    // With an empty banFile, bans live in memory only.
    OperatorCommands(ChatRoom& room, BanList& bans, std::string banFile, std::size_t maxLineBytes,
                     std::ostream& log);

    // Runs one command line; source says who gave it, for the log ("console", "control socket").
    Answer Run(const std::string& line, const std::string& source, ChatRoom::Clock::time_point now,
               std::time_t wallNow);

    static std::string Help();

    // What `stats` answers: the server's figures as a few lines, made by the server on its
    // thread (the commands know the room and the bans only).
    using StatsSource = std::function<std::string()>;
    void ReportStatsWith(StatsSource source) { stats = std::move(source); }

private:
    Answer Who(ChatRoom::Clock::time_point now) const;
    Answer Say(const std::string& text);
    Answer Kick(const std::string& rest);
    Answer AddBan(const std::string& rest, std::time_t now);
    Answer RemoveBan(const std::string& rest);
    Answer ListBans() const;
    // Splits "NAME REASON" where NAME is a member's nickname; false when none matches.
    bool TakeName(const std::string& rest, std::string& name, std::string& after) const;
    std::string Saved();

    ChatRoom& room;
    BanList& bans;
    const std::string banFile;
    const std::size_t maxLineBytes;
    std::ostream& log;
    StatsSource stats;
};

// "3d 4h", "12m 5s", "40s": how long, as the operator reads it.
std::string DurationText(std::time_t seconds);
