#pragma once

#include "server/operator/BanList.h"
#include "server/operator/CommandAnswer.h"
#include "server/room/ChatRoom.h"

#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

// The operator's command language, one implementation whichever way a line comes (the server's
// console or its control socket). Commands never come from the chat protocol: no chat client
// can run them. Every command, and what it did, goes to the log with who gave it.
//
// The commands are the rows of Table(): each gives a command's name, its arguments and its help
// text, and names the function that runs it. The dispatch, `help` and `ostrel-server --help`
// are all made from the table, so that they cannot disagree; a new command is one row and one
// function.
//
// A nickname may hold spaces: NAME (and a TARGET that is a nickname) is the longest run of the
// words that names a member, or a text in double quotes. No command line may hold a control
// character, since its texts go to members' screens; a text (say's, a kick's or a ban's reason)
// is at most --max-line-bytes long.
class OperatorCommands
{
public:
    // Its text is lines, each ended by "\n"; empty for an empty command.
    using Answer = CommandAnswer;

    // What a command is run with.
    struct Request
    {
        std::string rest; // what follows the command's name, trimmed
        ChatRoom::Clock::time_point now;
        std::time_t wallNow;
    };
    using Handler = Answer (OperatorCommands::*)(const Request&);

    struct Command
    {
        const char* name;
        const char* arguments; // as the help shows them; empty: nothing may follow the name
        const char* help;      // what it does; each "\n" starts another line of the help column
        bool listing;          // its answer is a listing, which the log does not copy
        Handler handler;
    };
    static const std::vector<Command>& Table();
    // One row per command: its name and arguments, then its help; each line after indent spaces.
    static std::string Help(std::size_t indent = 0);

    // The bans a `bans` answer holds per piece.
    static constexpr std::size_t BansPerPiece = 1000;
    // Members in each piece of the answer to who.
    static constexpr std::size_t MembersPerPiece = 1000;

    // With an empty banFile, bans live in memory only.
    OperatorCommands(ChatRoom& room, BanList& bans, std::string banFile, std::size_t maxLineBytes,
                     std::ostream& log);

    // Runs one command line; source says who gave it, for the log ("console", "control socket").
    Answer Run(const std::string& line, const std::string& source, ChatRoom::Clock::time_point now,
               std::time_t wallNow);

    // What became of the last write of the ban file: empty when it was written, otherwise why
    // not, which every answer that changes the bans then says, until a write succeeds.
    void BanFileWritten(const std::string& error) { banFileError = error; }

    // What `stats` answers: the server's figures as a few lines, made by the server on its
    // thread (the commands know the room and the bans only).
    using StatsSource = std::function<std::string()>;
    void ReportStatsWith(StatsSource source) { stats = std::move(source); }

private:
    Answer Who(const Request& request);
    Answer Say(const Request& request);
    Answer Kick(const Request& request);
    Answer AddBan(const Request& request);
    Answer RemoveBan(const Request& request);
    Answer ListBans(const Request& request);
    Answer ShowStats(const Request& request);
    Answer ShowHelp(const Request& request);

    // Splits "NAME REASON" where NAME is a member's nickname; false when none matches.
    bool TakeName(const std::string& rest, std::string& name, std::string& after) const;
    // Refuses an operator's text longer than a member's line may be.
    bool TooLong(const std::string& text) const;
    std::string Kept() const;

    ChatRoom& room;
    BanList& bans;
    const std::string banFile;
    const std::size_t maxTextBytes;
    std::ostream& log;
    std::string banFileError;
    StatsSource stats;
};

// "3d 4h", "12m 5s", "40s": how long, as the operator reads it.
std::string DurationText(std::time_t seconds);
