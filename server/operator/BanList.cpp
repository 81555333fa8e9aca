#include "server/operator/BanList.h"

#include <algorithm>
#include <cstdio>

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

// Computed here rather than by the C library's gmtime, which on Windows knows no year past 3000:
// every time a ban file can hold has its text on every system.
std::string UtcText(std::time_t time)
{
    const long long seconds = static_cast<long long>(time);
    const long long days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const long long ofDay = seconds - days * 86400;
    // The date of a day since 1970-01-01 in the proleptic Gregorian calendar.
    const long long shifted = days + 719468;
    const long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const long long dayOfEra = shifted - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const long long month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                  ofDay / 3600, ofDay / 60 % 60, ofDay % 60);
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

std::optional<std::time_t> BanEnd(std::time_t now, std::time_t duration)
{
    if (duration > MaxBanDuration || now > LatestBanEnd - duration)
        return std::nullopt;
    return now + duration;
}

const Ban* BanList::Find(const asio::ip::address& address, std::time_t now) const
{
    if (byNetwork.empty())
        return nullptr;
    const bool v4 = Unmapped(address).is_v4();
    for (const auto& [kind, count] : lengths)
    {
        if (kind.first != v4 || count == 0)
            continue;
        const auto found = byNetwork.find(IpNetwork::Of(address, kind.second));
        if (found != byNetwork.end() && !found->second->EndedBy(now))
            return found->second;
    }
    return nullptr;
}

void BanList::Add(Ban ban)
{
    if (ban.until && (*ban.until > LatestBanEnd || *ban.until < 0))
        ban.until = *ban.until < 0 ? std::optional<std::time_t>(0) : std::nullopt;
    auto place = ordered.lower_bound(ban.network);
    if (place == ordered.end() || place->first != ban.network)
    {
        place = ordered.emplace_hint(place, ban.network, ban);
        byNetwork.emplace(ban.network, &place->second);
        ++lengths[{ban.network.IsV4(), ban.network.Prefix()}];
    }
    else
    {
        if (place->second.until)
            endings.erase({*place->second.until, ban.network});
        place->second = ban;
    }
    if (ban.until)
        endings.insert({*ban.until, ban.network});
    if (listener)
        listener->Added(ban);
}

bool BanList::Remove(const IpNetwork& network)
{
    const auto place = ordered.find(network);
    if (place == ordered.end())
        return false;
    if (place->second.until)
        endings.erase({*place->second.until, network});
    byNetwork.erase(network);
    const auto kind = lengths.find({network.IsV4(), network.Prefix()});
    if (--kind->second == 0)
        lengths.erase(kind);
    ordered.erase(place);
    if (listener)
        listener->Removed(network);
    return true;
}

std::size_t BanList::DropEnded(std::time_t now, std::size_t most)
{
    std::size_t dropped = 0;
    while (dropped < most && !endings.empty() && endings.begin()->first <= now)
    {
        const IpNetwork network = endings.begin()->second;
        Remove(network);
        ++dropped;
    }
    return dropped;
}

std::vector<Ban> BanList::Page(const std::optional<IpNetwork>& after, std::size_t count) const
{
    std::vector<Ban> page;
    auto place = after ? ordered.upper_bound(*after) : ordered.begin();
    for (; place != ordered.end() && page.size() < count; ++place)
        page.push_back(place->second);
    return page;
}
