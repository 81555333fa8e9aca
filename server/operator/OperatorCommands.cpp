#include "server/operator/OperatorCommands.h"

#include "net/Endpoint.h"
#include "server/room/ServerLog.h"

#include <algorithm>
#include <sstream>

namespace
{

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
    return {false, text + "\n"};
}

bool HasControlBytes(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
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

OperatorCommands::OperatorCommands(ChatRoom& room, BanList& bans, std::string banFile,
                                   std::size_t maxLineBytes, std::ostream& log)
    : room(room), bans(bans), banFile(std::move(banFile)), maxLineBytes(maxLineBytes), log(log)
{
}

std::string OperatorCommands::Help()
{
    return "who                             who is connected: nickname, address, for how long, "
           "lines said\n"
           "say TEXT                        a server line to everyone\n"
           "kick NAME [REASON]              removes a member from the room\n"
           "ban TARGET [DURATION] [REASON]  keeps an address, a network (192.0.2.0/24, "
           "2001:db8::/48)\n"
           "                                or a member's address out; DURATION like 30m, 12h, "
           "7d,\n"
           "                                none: until lifted\n"
           "unban TARGET                    lifts a ban\n"
           "bans                            the bans in force\n"
           "stats                           the server's figures: members, lines, who left why,\n"
           "                                TLS, the process\n"
           "help                            this list\n";
}

OperatorCommands::Answer OperatorCommands::Run(const std::string& line, const std::string& source,
                                               ChatRoom::Clock::time_point now, std::time_t wallNow)
{
    const std::string command = oNet::Trim(line);
    if (command.empty())
        return {};
    const std::size_t space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : oNet::Trim(command.substr(space));
    Answer answer;
    if (verb == "who" && rest.empty())
        answer = Who(now);
    else if (verb == "say")
        answer = Say(rest);
    else if (verb == "kick")
        answer = Kick(rest);
    else if (verb == "ban")
        answer = AddBan(rest, wallNow);
    else if (verb == "unban")
        answer = RemoveBan(rest);
    else if (verb == "bans" && rest.empty())
        answer = ListBans();
    else if (verb == "stats" && rest.empty())
        answer = stats ? Answer{true, stats()} : Failed("stats: this server keeps no figures");
    else if (verb == "help" && rest.empty())
        answer = {true, Help()};
    else if (verb == "who" || verb == "bans" || verb == "stats" || verb == "help")
        answer = Failed(verb + " takes nothing after it");
    else
        answer = Failed("unknown command " + verb + ": help lists them");

    // What it did, in one line: a listing is not copied into the log.
    std::string effect = answer.text.substr(0, answer.text.find('\n'));
    if (verb == "who" || verb == "bans" || verb == "stats" || verb == "help")
        effect = answer.ok ? "listed" : effect;
    WriteLogLine(log, source + ": " + command + " -> " + (answer.ok ? "" : "refused: ") + effect);
    return answer;
}

OperatorCommands::Answer OperatorCommands::Who(ChatRoom::Clock::time_point now) const
{
    const auto everyone = room.Who(now);
    if (everyone.empty())
        return {true, "nobody is connected\n"};
    std::ostringstream text;
    text << everyone.size() << (everyone.size() == 1 ? " connection" : " connections") << "\n";
    for (const auto& member : everyone)
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(member.connected);
        text << (member.nickname.empty() ? "(unnamed)" : member.nickname) << "  " << member.address
             << "  connected " << DurationText(seconds.count()) << "  " << member.lines
             << (member.lines == 1 ? " line" : " lines") << "\n";
    }
    return {true, text.str()};
}

OperatorCommands::Answer OperatorCommands::Say(const std::string& text)
{
    if (text.empty())
        return Failed("say needs a text");
    if (HasControlBytes(text))
        return Failed("say: the text holds control characters");
    if (text.size() > maxLineBytes)
        return Failed("say: the text is longer than " + std::to_string(maxLineBytes) + " bytes");
    room.Say(text);
    return {true, "said to everyone: " + text + "\n"};
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

OperatorCommands::Answer OperatorCommands::Kick(const std::string& rest)
{
    if (rest.empty())
        return Failed("kick needs a nickname");
    std::string name, reason;
    if (!TakeName(rest, name, reason))
        return Failed("nobody in the room is called " + rest);
    const std::string note = reason.empty() ? "removed" : "removed: " + reason;
    room.Remove(name,
                "You were removed from the room" + (reason.empty() ? "." : ": " + reason + "."),
                note, "kicked by the operator" + (reason.empty() ? "" : ": " + reason));
    return {true, "kicked " + name + (reason.empty() ? "" : " (" + reason + ")") + "\n"};
}

OperatorCommands::Answer OperatorCommands::AddBan(const std::string& rest, std::time_t now)
{
    if (rest.empty())
        return Failed("ban needs an address, a network or a nickname");
    Ban ban;
    std::string after;
    std::string problem;
    const auto words = Words(rest);
    std::string name;
    if (!words.empty() && words[0][0] != '"' && IpNetwork::Parse(words[0], ban.network, problem))
        after = Joined(words, 1, words.size());
    else if (TakeName(rest, name, after))
        ban.network = IpNetwork::Of(*room.AddressOf(name));
    else
        return Failed(words[0] + " is not an address, a network, or the nickname of anyone in "
                                 "the room");
    const auto more = Words(after);
    std::time_t duration = 0;
    std::size_t reasonFrom = 0;
    if (!more.empty() && ParseDuration(more[0], duration))
    {
        ban.until = now + duration;
        reasonFrom = 1;
    }
    else if (LooksLikeDuration(more))
    {
        return Failed("ban: " + more[0] + " is not a duration: a number and s, m, h, d or w");
    }
    ban.reason = Joined(more, reasonFrom, more.size());
    if (HasControlBytes(ban.reason))
        return Failed("ban: the reason holds control characters");
    bans.Add(ban);

    const std::string told = "You were removed from the room: you are banned from this server" +
                             (ban.reason.empty() ? "." : " (" + ban.reason + ").");
    const auto removed =
        room.Remove(ban.network, told, ban.reason.empty() ? "banned" : "banned: " + ban.reason,
                    "banned by the operator" + (ban.reason.empty() ? "" : ": " + ban.reason));
    std::string text =
        "banned " + ban.network.ToString() +
        (ban.until ? " for " + DurationText(duration) + ", until " + UtcText(*ban.until)
                   : " until lifted") +
        (ban.reason.empty() ? "" : " (" + ban.reason + ")") +
        (removed.empty() ? "" : "; removed " + WhoWent(removed)) + "\n";
    return {true, text + Saved()};
}

OperatorCommands::Answer OperatorCommands::RemoveBan(const std::string& rest)
{
    IpNetwork network;
    std::string problem;
    if (rest.empty() || Words(rest).size() != 1)
        return Failed("unban needs one address or network, as bans lists it");
    if (!IpNetwork::Parse(rest, network, problem))
        return Failed("unban: " + problem);
    if (!bans.Remove(network))
        return Failed("no ban on " + network.ToString() + ": bans lists them");
    return {true, "lifted the ban on " + network.ToString() + "\n" + Saved()};
}

OperatorCommands::Answer OperatorCommands::ListBans() const
{
    const auto all = bans.All();
    if (all.empty())
        return {true, "no bans\n"};
    std::string text;
    for (const Ban& ban : all)
        text += ban.network.ToString() + "  " +
                (ban.until ? "until " + UtcText(*ban.until) : "until lifted") +
                (ban.reason.empty() ? "" : "  " + ban.reason) + "\n";
    return {true, text};
}

// Keeps the bans over a restart when there is a ban file; says so when there is none, or when
// it cannot be written.
std::string OperatorCommands::Saved()
{
    if (banFile.empty())
        return "(kept in memory only: start the server with --ban-file FILE to keep bans over a "
               "restart)\n";
    std::string error;
    if (!bans.Save(banFile, error))
    {
        WriteLogLine(log, error);
        return "(" + error + ": the change holds until the server stops)\n";
    }
    return "";
}
