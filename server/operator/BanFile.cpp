#include "server/operator/BanFile.h"

#include "common/MoveFileOver.h"
#include "common/ReadRegularFile.h"

namespace BanFile
{

namespace
{

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The next word of the line from `at`, which it moves past the word and the spaces after it.
std::string NextWord(const std::string& line, std::size_t& at)
{
    const std::size_t start = at;
    while (at < line.size() && !IsSpace(line[at]))
        ++at;
    const std::string word = line.substr(start, at - start);
    while (at < line.size() && IsSpace(line[at]))
        ++at;
    return word;
}

void TrimSpaces(std::string& text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
    {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(' ') + 1);
}

// The reason as a ban keeps it, and what was changed, if anything: control characters become
// spaces (the reason is shown to members), a reason too long is cut, and no space is left at
// either end, so that it reads back the same from the line it is written to.
std::string CleanReason(std::string& reason)
{
    std::string changed;
    if (ChatProtocol::HoldsControlBytes(reason))
    {
        for (char& c : reason)
            if (ChatProtocol::HoldsControlBytes(std::string(1, c)))
                c = ' ';
        changed = "control characters in the reason are shown as spaces";
    }
    TrimSpaces(reason);
    if (reason.size() > MaxReasonBytes)
    {
        reason.resize(MaxReasonBytes);
        TrimSpaces(reason);
        changed += (changed.empty() ? "" : "; ") + std::string("the reason is cut to ") +
                   std::to_string(MaxReasonBytes) + " bytes";
    }
    return changed;
}

} // namespace

std::string Header()
{
    return "# Bans of ostrel-server, one a line: TARGET UNTIL REASON (UNTIL: a UTC time, or - "
           "for until lifted).\n# The server rewrites this file whenever its bans change.\n";
}

std::string Line(const Ban& ban)
{
    return ban.network.ToString() + ' ' + (ban.until ? UtcText(*ban.until) : "-") +
           (ban.reason.empty() ? "" : " " + ban.reason) + '\n';
}

void Parse(const std::string& text, std::time_t now, BanList& bans,
           std::vector<BanFileProblem>& problems)
{
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number)
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::size_t at = 0;
        while (at < line.size() && IsSpace(line[at]))
            ++at;
        if (at == line.size() || line[0] == '#')
            continue;
        const std::string target = NextWord(line, at);
        const std::string until = NextWord(line, at);
        Ban ban;
        std::string problem;
        std::time_t ends = 0;
        if (IpNetwork::Parse(target, ban.network, problem))
        {
            if (until.empty())
                problem = "no end time (a UTC time, or - for until lifted)";
            else if (until != "-" && !ParseUtc(until, ends))
                problem = "the end time " + until + " is neither a UTC time like " + UtcText(now) +
                          " nor -";
        }
        if (!problem.empty())
        {
            problems.push_back({number, problem, true});
            continue;
        }
        if (until != "-")
            ban.until = ends;
        ban.reason = line.substr(at);
        const std::string changed = CleanReason(ban.reason);
        if (!changed.empty())
            problems.push_back({number, changed, false});
        if (!ban.EndedBy(now))
            bans.Add(ban);
    }
}

bool Read(const std::string& path, std::time_t now, BanList& bans,
          std::vector<BanFileProblem>& problems, std::string& error, bool* missing)
{
    std::string text, problem;
    const FileRead read = ReadRegularFile(path, text, problem);
    if (missing)
        *missing = read == FileRead::Missing;
    switch (read)
    {
    case FileRead::Missing:
        return true; // none yet: the first ban makes it
    case FileRead::NotRegular:
        error = "the ban file " + path + " is " + problem + ", not a regular file";
        return false;
    case FileRead::Failed:
        error = "cannot read the ban file " + path + ": " + problem;
        return false;
    case FileRead::Read:
        break;
    }
    Parse(text, now, bans, problems);
    return true;
}

std::string Content(const BanList& bans)
{
    std::string text = Header();
    for (const Ban& ban : bans.All())
        text += Line(ban);
    return text;
}

bool Write(const std::string& path, const std::string& content, std::string& error)
{
    std::string why;
    if (!ReplaceFileContent(path, content, why))
    {
        error = "cannot write the ban file " + path + " (" + why + ")";
        return false;
    }
    return true;
}

} // namespace BanFile
