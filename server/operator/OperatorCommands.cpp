#include "server/operator/OperatorCommands.h"

#include "net/Endpoint.h"
#include "server/room/ServerLog.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

namespace
{

// The width of the help's first column, its command and arguments.
constexpr std::size_t HelpColumn = 32;

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string Joined(const std::vector<std::string>& words, std::size_t from, std::size_t to)
{
    std::string text;
    for (std::size_t i = from; i < to && i < words.size(); ++i)
        text += (text.empty() ? "" : " ") + words[i];
    return text;
}

OperatorCommands::Answer Failed(const std::string& text)
{
    return {false, text + "\n", nullptr};
}

// The text with each control character written as \xHH, for the log and the answers, which
// should show what was sent without acting on it.
std::string Printable(const std::string& text)
{
    std::string shown;
    for (char c : text)
    {
        if (!ChatProtocol::HoldsControlBytes(std::string(1, c)))
        {
            shown += c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
        shown += escaped;
    }
    return shown;
}

// The one answer to a command that holds a control character, whatever the command.
std::string ControlCharacterRefusal(const std::string& verb, const std::string& command)
{
    const auto control = std::find_if(command.begin(), command.end(), [](char c) {
        return ChatProtocol::HoldsControlBytes(std::string(1, c));
    });
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(*control));
    return Printable(verb) + ": the command holds a control character (byte " + byte +
           "), which members' screens would act on; nothing was done";
}

// A number, with one letter or none after it: meant as a duration, whether it is one or not.
bool LooksLikeDuration(const std::vector<std::string>& words)
{
    if (words.empty())
        return false;
    const std::string& word = words[0];
    const std::size_t digits = word.find_first_not_of("0123456789");
    return digits != 0 && (digits == std::string::npos || digits == word.size() - 1);
}

std::string WhoWent(const std::vector<std::string>& removed)
{
    std::string text;
    for (const auto& who : removed)
        text += (text.empty() ? "" : ", ") + who;
    return text;
}

// The lines of who for members [from, to) of the list.
std::string MemberListing(const std::vector<ChatRoom::MemberView>& everyone, std::size_t from,
                          std::size_t to)
{
    std::ostringstream text;
    for (std::size_t i = from; i < to && i < everyone.size(); ++i)
    {
        const auto& member = everyone[i];
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(member.connected);
        text << (member.nickname.empty() ? "(unnamed)" : member.nickname) << "  " << member.address
             << "  connected " << DurationText(seconds.count());
        // A member of another server of the room has its lines counted there.
        if (member.here)
            text << "  " << member.lines << (member.lines == 1 ? " line" : " lines");
        text << (member.node.empty() ? "" : "  on " + member.node) << "\n";
    }
    return text.str();
}

std::string BanListing(const std::vector<Ban>& page)
{
    std::string text;
    for (const Ban& ban : page)
        text += ban.network.ToString() + "  " +
                (ban.until ? "until " + UtcText(*ban.until) : "until lifted") +
                (ban.reason.empty() ? "" : "  " + ban.reason) + "\n";
    return text;
}

} // namespace

std::string DurationText(std::time_t seconds)
{
    const std::time_t units[] = {86400, 3600, 60, 1};
    const char* names[] = {"d", "h", "m", "s"};
    std::string text;
    int shown = 0;
    for (int i = 0; i < 4 && shown < 2; ++i)
    {
        const std::time_t count = seconds / units[i];
        seconds %= units[i];
        if (count == 0)
            continue;
        text += (text.empty() ? "" : " ") + std::to_string(count) + names[i];
        ++shown;
    }
    return text.empty() ? "0s" : text;
}

const std::vector<OperatorCommands::Command>& OperatorCommands::Table()
{
    static const std::vector<Command> table = {
        {"who", "",
         "who is connected: nickname, address, for how\nlong, lines said (and the node, in a "
         "room\nacross servers)",
         true, &OperatorCommands::Who},
        {"say", "TEXT", "a server line to everyone", false, &OperatorCommands::Say},
        {"kick", "NAME [REASON]", "removes a member from the room", false, &OperatorCommands::Kick},
        {"ban", "TARGET [DURATION] [REASON]",
         "keeps out an address, a network (192.0.2.0/24,\n"
         "2001:db8::/48) or a member's address; DURATION\n"
         "like 30m, 12h, 7d (s, m, h, d, w), at most\n"
         "3650d; none: until lifted",
         false, &OperatorCommands::AddBan},
        {"unban", "TARGET", "lifts the ban on an address or network, as\nbans lists it", false,
         &OperatorCommands::RemoveBan},
        {"bans", "", "the bans in force", true, &OperatorCommands::ListBans},
        {"stats", "",
         "the figures the metrics give: members, lines,\nwho left why, TLS, the process", true,
         &OperatorCommands::ShowStats},
        {"help", "", "this list", true, &OperatorCommands::ShowHelp},
    };
    return table;
}

std::string OperatorCommands::Help(std::size_t indent)
{
    const std::string margin(indent, ' ');
    std::string text;
    for (const Command& command : Table())
    {
        std::string usage = command.name;
        if (*command.arguments)
            usage += std::string(" ") + command.arguments;
        usage.resize(std::max(usage.size() + 2, HelpColumn), ' ');
        std::istringstream help(command.help);
        std::string line;
        for (bool first = true; std::getline(help, line); first = false)
            text += margin + (first ? usage : std::string(usage.size(), ' ')) + line + "\n";
    }
    return text;
}

OperatorCommands::OperatorCommands(ChatRoom& room, BanList& bans, std::string banFile,
                                   std::size_t maxLineBytes, std::ostream& log)
    : room(room), bans(bans), banFile(std::move(banFile)),
      maxTextBytes(std::min(maxLineBytes, MaxReasonBytes)), log(log)
{
}

OperatorCommands::Answer OperatorCommands::Run(const std::string& line, const std::string& source,
                                               ChatRoom::Clock::time_point now, std::time_t wallNow)
{
    const std::string command = oNet::Trim(line);
    if (command.empty())
        return {};
    const std::size_t space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const Request request{space == std::string::npos ? "" : oNet::Trim(command.substr(space)), now,
                          wallNow};
    const auto& table = Table();
    const auto row = std::find_if(table.begin(), table.end(),
                                  [&](const Command& entry) { return verb == entry.name; });
    Answer answer;
    if (ChatProtocol::HoldsControlBytes(command))
        answer = Failed(ControlCharacterRefusal(verb, command));
    else if (row == table.end())
        answer = Failed("unknown command " + verb + ": help lists them");
    else if (!*row->arguments && !request.rest.empty())
        answer = Failed(verb + " takes nothing after it");
    else
        answer = (this->*(row->handler))(request);

    // What it did, in one line: a listing is not copied into the log.
    std::string effect = answer.text.substr(0, answer.text.find('\n'));
    if (answer.ok && row != table.end() && row->listing)
        effect = "listed";
    WriteLogLine(log, source + ": " + Printable(command) + " -> " + (answer.ok ? "" : "refused: ") +
                          effect);
    return answer;
}

OperatorCommands::Answer OperatorCommands::Who(const Request& request)
{
    auto everyone = room.Who(request.now);
    if (everyone.empty())
        return {true, "nobody is connected\n", nullptr};
    // The list as it stands now goes out in pieces, each written when the one before has been
    // taken: a long one is never one large write, nor its whole text held at once.
    Answer answer{true,
                  std::to_string(everyone.size()) +
                      (everyone.size() == 1 ? " connection\n" : " connections\n") +
                      MemberListing(everyone, 0, MembersPerPiece),
                  nullptr};
    if (everyone.size() > MembersPerPiece)
        answer.more =
            [list = std::make_shared<const std::vector<ChatRoom::MemberView>>(std::move(everyone)),
             next = MembersPerPiece]() mutable {
                const std::string text = MemberListing(*list, next, next + MembersPerPiece);
                next += MembersPerPiece;
                return text;
            };
    return answer;
}

bool OperatorCommands::TooLong(const std::string& text) const
{
    return text.size() > maxTextBytes;
}

OperatorCommands::Answer OperatorCommands::Say(const Request& request)
{
    const std::string& text = request.rest;
    if (text.empty())
        return Failed("say needs a text");
    if (TooLong(text))
        return Failed("say: the text is longer than " + std::to_string(maxTextBytes) + " bytes");
    room.Say(text);
    return {true, "said to everyone: " + text + "\n", nullptr};
}

bool OperatorCommands::TakeName(const std::string& rest, std::string& name,
                                std::string& after) const
{
    if (!rest.empty() && rest[0] == '"')
    {
        const std::size_t end = rest.find('"', 1);
        if (end == std::string::npos)
            return false;
        name = room.NameLike(rest.substr(1, end - 1));
        after = oNet::Trim(rest.substr(end + 1));
        return !name.empty();
    }
    const auto words = Words(rest);
    for (std::size_t count = std::min<std::size_t>(words.size(), 32); count > 0; --count)
    {
        name = room.NameLike(Joined(words, 0, count));
        if (!name.empty())
        {
            after = Joined(words, count, words.size());
            return true;
        }
    }
    return false;
}

OperatorCommands::Answer OperatorCommands::Kick(const Request& request)
{
    if (request.rest.empty())
        return Failed("kick needs a nickname");
    std::string name, reason;
    if (!TakeName(request.rest, name, reason))
        return Failed("nobody in the room is called " + request.rest);
    if (TooLong(reason))
        return Failed("kick: the reason is longer than " + std::to_string(maxTextBytes) + " bytes");
    const std::string note = reason.empty() ? "removed" : "removed: " + reason;
    const std::string told =
        "You were removed from the room" + (reason.empty() ? "." : ": " + reason + ".");
    const std::string detail = "kicked by the operator" + (reason.empty() ? "" : ": " + reason);
    const std::string problem = room.RemovalProblem(told, note, {LeaveReason::Kicked, detail});
    if (!problem.empty())
        return Failed("kick: the room cannot carry it to its other servers: " + problem);
    room.Remove(name, told, note, detail);
    return {true, "kicked " + name + (reason.empty() ? "" : " (" + reason + ")") + "\n", nullptr};
}

OperatorCommands::Answer OperatorCommands::AddBan(const Request& request)
{
    if (request.rest.empty())
        return Failed("ban needs an address, a network or a nickname");
    Ban ban;
    std::string after;
    std::string problem;
    const auto words = Words(request.rest);
    std::string name;
    if (words[0][0] != '"' && IpNetwork::Parse(words[0], ban.network, problem))
        after = Joined(words, 1, words.size());
    else if (TakeName(request.rest, name, after))
        ban.network = IpNetwork::Of(*room.AddressOf(name));
    else
        return Failed(words[0] + " is not an address, a network, or the nickname of anyone in "
                                 "the room");
    const auto more = Words(after);
    std::time_t duration = 0;
    std::size_t reasonFrom = 0;
    if (!more.empty() && ParseDuration(more[0], duration))
    {
        ban.until = BanEnd(request.wallNow, duration);
        reasonFrom = 1;
    }
    else if (LooksLikeDuration(more))
    {
        return Failed("ban: " + more[0] + " is not a duration: a number and s, m, h, d or w");
    }
    ban.reason = Joined(more, reasonFrom, more.size());
    if (TooLong(ban.reason))
        return Failed("ban: the reason is longer than " + std::to_string(maxTextBytes) + " bytes");
    const std::string told = ban.Told();
    const std::string note = ban.Note();
    const Departure departure = ban.HowLeft();
    const std::string uncarried = room.RemovalProblem(told, note, departure);
    if (!uncarried.empty())
        return Failed("ban: the room cannot carry it to its other servers: " + uncarried);
    bans.Add(ban);

    // In a room across servers, every server keeps the ban.
    const auto removed = room.Ban(ban.network, ban.until, told, note, departure);
    const std::string lasting =
        ban.until ? " for " + DurationText(duration) + ", until " + UtcText(*ban.until)
        : duration > 0
            ? " until lifted (" + DurationText(duration) +
                  " is longer than the longest timed ban, " + DurationText(MaxBanDuration) + ")"
            : " until lifted";
    std::string text = "banned " + ban.network.ToString() + lasting +
                       (ban.reason.empty() ? "" : " (" + ban.reason + ")") +
                       (removed.empty() ? "" : "; removed " + WhoWent(removed)) + "\n";
    return {true, text + Kept(), nullptr};
}

OperatorCommands::Answer OperatorCommands::RemoveBan(const Request& request)
{
    IpNetwork network;
    std::string problem;
    if (request.rest.empty() || Words(request.rest).size() != 1)
        return Failed("unban needs one address or network, as bans lists it");
    if (!IpNetwork::Parse(request.rest, network, problem))
        return Failed("unban: " + problem);
    if (!bans.Remove(network))
        return Failed("no ban on " + network.ToString() + ": bans lists them");
    room.Unban(network);
    return {true, "lifted the ban on " + network.ToString() + "\n" + Kept(), nullptr};
}

// A long list goes out in pieces, each made when the one before has been written, so that
// neither the server's thread nor its memory holds the whole of it; each piece goes on after
// the last ban of the one before, whatever changed in between.
OperatorCommands::Answer OperatorCommands::ListBans(const Request&)
{
    if (bans.Size() == 0)
        return {true, "no bans\n", nullptr};
    auto page = bans.Page({}, BansPerPiece);
    Answer answer{true, BanListing(page), nullptr};
    if (page.size() == BansPerPiece)
        answer.more = [list = &bans, last = std::make_shared<IpNetwork>(page.back().network)] {
            const auto next = list->Page(*last, BansPerPiece);
            if (!next.empty())
                *last = next.back().network;
            return BanListing(next);
        };
    return answer;
}

OperatorCommands::Answer OperatorCommands::ShowStats(const Request&)
{
    if (!stats)
        return {false, "stats: this server keeps no figures\n", nullptr};
    return {true, stats(), nullptr};
}

OperatorCommands::Answer OperatorCommands::ShowHelp(const Request&)
{
    return {true, Help(), nullptr};
}

// Keeps the bans over a restart when there is a ban file; says so when there is none, or when
// it cannot be written.
std::string OperatorCommands::Kept() const
{
    // A room across servers keeps its bans in Redis, for every server of it.
    if (banFile.empty() && !room.Shared())
        return "(kept in memory only: start the server with --ban-file FILE to keep bans over a "
               "restart)\n";
    if (!banFileError.empty())
        return "(" + banFileError +
               ": the bans hold until the server stops, unless it can be "
               "written again)\n";
    return "";
}
