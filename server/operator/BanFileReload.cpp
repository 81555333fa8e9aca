#include "server/operator/BanFileReload.h"

#include "server/operator/BanFile.h"

#include <algorithm>

BanFileReload BanFileReload::Read(const std::string& path, std::time_t now,
                                  const std::vector<Ban>& written)
{
    BanFileReload reload;
    BanList read;
    std::string error;
    bool missing = false;
    if (!BanFile::Read(path, now, read, reload.problems, error, &missing))
    {
        reload.refusal = error;
        return reload;
    }
    if (missing)
    {
        reload.refusal = path + " is not there";
        return reload;
    }
    const auto skipped =
        std::count_if(reload.problems.begin(), reload.problems.end(),
                      [](const BanFileProblem& problem) { return problem.skipped; });
    if (skipped > 0)
    {
        const auto first =
            std::find_if(reload.problems.begin(), reload.problems.end(),
                         [](const BanFileProblem& problem) { return problem.skipped; });
        reload.refusal = first->Text(path) +
                         (skipped > 1 ? " (and " + std::to_string(skipped - 1) + " more)" : "");
        return reload;
    }
    auto problems = std::move(reload.problems);
    reload = Between(written, read.All(), now);
    reload.problems = std::move(problems);
    return reload;
}

BanFileReload BanFileReload::Between(const std::vector<Ban>& written, std::vector<Ban> edited,
                                     std::time_t now)
{
    BanFileReload reload;
    std::size_t w = 0, e = 0;
    // Past the bans that have ended, on either side.
    const auto skipEnded = [&] {
        while (w < written.size() && written[w].EndedBy(now))
            ++w;
        while (e < edited.size() && edited[e].EndedBy(now))
            ++e;
    };
    for (skipEnded(); w < written.size() || e < edited.size(); skipEnded())
    {
        if (e == edited.size() || (w < written.size() && written[w].network < edited[e].network))
        {
            reload.changes.push_back({written[w].network, std::nullopt});
            ++reload.lifted;
            ++w;
        }
        else if (w == written.size() || edited[e].network < written[w].network)
        {
            reload.changes.push_back({edited[e].network, edited[e]});
            ++reload.added;
            ++e;
        }
        else
        {
            if (!(written[w] == edited[e]))
            {
                reload.changes.push_back({edited[e].network, edited[e]});
                ++reload.changed;
            }
            ++w;
            ++e;
        }
    }
    reload.edited = std::move(edited);
    return reload;
}

bool BanFileReload::ApplySome(BanList& bans, std::size_t most, std::vector<Change>& applied)
{
    for (std::size_t done = 0; done < most && next < changes.size(); ++done, ++next)
    {
        const Change& change = changes[next];
        if (change.ban)
            bans.Add(*change.ban);
        else
            bans.Remove(change.network);
        applied.push_back(change);
    }
    return !Done();
}
