#include "server/operator/BanList.h"

#include "common/MoveFileOver.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace
{

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::string UtcText(std::time_t time)
{
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &time);
#else
    gmtime_r(&time, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool ParseUtc(const std::string& text, std::time_t& time)
{
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return false;
    const std::string parts[] = {text.substr(0, 4),  text.substr(5, 2),  text.substr(8, 2),
                                 text.substr(11, 2), text.substr(14, 2), text.substr(17, 2)};
    for (const auto& part : parts)
        if (!AllDigits(part))
            return false;
    const int year = std::stoi(parts[0]), month = std::stoi(parts[1]), day = std::stoi(parts[2]);
    const int hour = std::stoi(parts[3]), minute = std::stoi(parts[4]),
              second = std::stoi(parts[5]);
    const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > monthDays[month - 1] - (month == 2 && !leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    time = static_cast<std::time_t>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second);
    return true;
}

bool ParseDuration(const std::string& text, std::time_t& seconds)
{
    if (text.size() < 2 || text.size() > 8)
        return false;
    const std::string number = text.substr(0, text.size() - 1);
    if (!AllDigits(number))
        return false;
    const char unit = text.back();
    const std::time_t scale = unit == 's'   ? 1
                              : unit == 'm' ? 60
                              : unit == 'h' ? 3600
                              : unit == 'd' ? 86400
                              : unit == 'w' ? 604800
                                            : 0;
    seconds = static_cast<std::time_t>(std::stoll(number)) * scale;
    return scale != 0 && seconds > 0;
}

const Ban* BanList::Find(const asio::ip::address& address, std::time_t now) const
{
    if (bans.empty())
        return nullptr;
    const bool v4 = Unmapped(address).is_v4();
    for (const auto& [kind, count] : lengths)
    {
        if (kind.first != v4 || count == 0)
            continue;
        const auto found = bans.find(IpNetwork::Of(address, kind.second));
        if (found != bans.end() && !found->second.EndedBy(now))
            return &found->second;
    }
    return nullptr;
}

void BanList::Add(const Ban& ban)
{
    const auto [place, added] = bans.insert_or_assign(ban.network, ban);
    (void)place;
    if (added)
        ++lengths[{ban.network.IsV4(), ban.network.Prefix()}];
}

bool BanList::Remove(const IpNetwork& network)
{
    if (bans.erase(network) == 0)
        return false;
    const auto kind = lengths.find({network.IsV4(), network.Prefix()});
    if (--kind->second == 0)
        lengths.erase(kind);
    return true;
}

bool BanList::DropEnded(std::time_t now)
{
    std::vector<IpNetwork> ended;
    for (const auto& entry : bans)
        if (entry.second.EndedBy(now))
            ended.push_back(entry.first);
    for (const auto& network : ended)
        Remove(network);
    return !ended.empty();
}

std::vector<Ban> BanList::All() const
{
    std::vector<Ban> all;
    all.reserve(bans.size());
    for (const auto& entry : bans)
        all.push_back(entry.second);
    std::sort(all.begin(), all.end(), [](const Ban& a, const Ban& b) {
        return a.network.ToString() < b.network.ToString();
    });
    return all;
}

bool BanList::Load(const std::string& path, std::time_t now, std::vector<std::string>& problems,
                   std::string& error)
{
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored))
        return true; // none yet: the first ban makes it
    std::ifstream in(path);
    if (!in.is_open() || !std::filesystem::is_regular_file(path, ignored))
    {
        error = "cannot read the ban file " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string target, until;
        fields >> target >> until;
        std::string reason;
        std::getline(fields >> std::ws, reason);
        Ban ban;
        std::string problem;
        std::time_t end = 0;
        if (IpNetwork::Parse(target, ban.network, problem))
        {
            if (until.empty())
                problem = "no end time (a UTC time, or - for until lifted)";
            else if (until != "-" && !ParseUtc(until, end))
                problem = "the end time " + until + " is neither a UTC time like " + UtcText(now) +
                          " nor -";
        }
        if (!problem.empty())
        {
            problems.push_back(path + " line " + std::to_string(number) + ": " + problem +
                               "; skipped");
            continue;
        }
        if (until != "-")
            ban.until = end;
        ban.reason = reason;
        if (!ban.EndedBy(now))
            Add(ban);
    }
    if (in.bad())
    {
        error = "cannot read the ban file " + path + " to its end";
        return false;
    }
    return true;
}

bool BanList::Save(const std::string& path, std::string& error) const
{
    std::ostringstream text;
    text << "# Bans of ostrel-server, one a line: TARGET UNTIL REASON (UNTIL: a UTC time, or - "
            "for until lifted).\n# The server rewrites this file whenever its bans change.\n";
    for (const Ban& ban : All())
        text << ban.network.ToString() << ' ' << (ban.until ? UtcText(*ban.until) : "-")
             << (ban.reason.empty() ? "" : " " + ban.reason) << '\n';
    if (!ReplaceFileContent(path, text.str()))
    {
        error = "cannot write the ban file " + path;
        return false;
    }
    return true;
}
