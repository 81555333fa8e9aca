#include "bench/BanListBefore.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace before
{

namespace
{

bool ReplaceFileContent(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".tmp";
    std::ofstream out(temporary, std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (out.fail() || std::rename(temporary.c_str(), path.c_str()) != 0)
    {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

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
        return true;
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

std::string ListBans(const BanList& bans)
{
    const auto all = bans.All();
    std::string text;
    for (const Ban& ban : all)
        text += ban.network.ToString() + "  " +
                (ban.until ? "until " + UtcText(*ban.until) : "until lifted") +
                (ban.reason.empty() ? "" : "  " + ban.reason) + "\n";
    return text;
}

} // namespace before
