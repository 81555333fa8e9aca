// The ban file reader: arbitrary text, read at an arbitrary time. Whatever it reads, the server
// writes back in a form it reads again as the same bans, with nothing to report; every reason it
// keeps is fit to show a member (no control characters, not too long), every end one a file can
// hold. Every problem names a line of the text. A reload that compares what was read with itself
// changes nothing, and one that compares it with nothing adds every ban.

#include "server/operator/BanFile.h"
#include "server/operator/BanFileReload.h"

#include <algorithm>

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::time_t now = provider.ConsumeIntegralInRange<std::time_t>(0, LatestBanEnd);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    BanList bans;
    std::vector<BanFileProblem> problems;
    BanFile::Parse(text, now, bans, problems);
    for (const Ban& ban : bans.All())
    {
        if (ChatProtocol::HoldsControlBytes(ban.reason) || ban.reason.size() > MaxReasonBytes)
            __builtin_trap();
        if (ban.until && (*ban.until > LatestBanEnd || *ban.until <= now))
            __builtin_trap();
    }

    const std::string written = BanFile::Content(bans);
    BanList again;
    std::vector<BanFileProblem> more;
    BanFile::Parse(written, now, again, more);
    if (!more.empty() || !(again.All() == bans.All()) || BanFile::Content(again) != written)
        __builtin_trap();

    const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    for (const BanFileProblem& problem : problems)
        if (problem.line < 1 || problem.line > lines || problem.why.empty())
            __builtin_trap();
    const BanFileReload same = BanFileReload::Between(bans.All(), bans.All(), now);
    const BanFileReload fresh = BanFileReload::Between({}, bans.All(), now);
    if (!same.Changes().empty() || fresh.Added() != bans.Size() || fresh.Lifted() != 0)
        __builtin_trap();
    return 0;
}
