#pragma once

#include "server/operator/BanFileProblem.h"
#include "server/operator/BanList.h"

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// What an edit of the ban file changes. The file, read again, is compared with what the server
// last wrote to it (or read from it at start), not with the bans in force: the server's own
// latest changes, which its writer may not have written yet, are not in either, so that no
// reload lifts a ban just made, nor one that came from another server of the room. Both lists
// are in the order of their networks and are merged in one pass.
//
// The changes are applied to the bans in force a slice at a time, so that an edit of any size
// never holds the room up for long.
class BanFileReload
{
public:
    // One change: a ban to put in place, or (without a ban) the network whose ban is lifted.
    struct Change
    {
        IpNetwork network;
        std::optional<Ban> ban;
    };

    // Reads the file at path as it stands and compares it with written (what the file held after
    // the last write, in the order of networks). Bans that have ended by now count on neither
    // side.
    static BanFileReload Read(const std::string& path, std::time_t now,
                              const std::vector<Ban>& written);
    // The comparison alone, of two lists in the order of their networks.
    static BanFileReload Between(const std::vector<Ban>& written, std::vector<Ban> edited,
                                 std::time_t now);

    // Why the file changes nothing, in one line: it is not there, cannot be read, or holds a
    // line that cannot be read (the first, and how many more). Empty when it is taken.
    const std::string& Refusal() const { return refusal; }
    // The lines taken with their reasons cleaned (and, with a refusal, those skipped too).
    const std::vector<BanFileProblem>& Problems() const { return problems; }
    // The bans the file holds now, in the order of their networks: what was read, once taken.
    const std::vector<Ban>& Edited() const { return edited; }
    std::vector<Ban> TakeEdited() { return std::move(edited); }
    const std::vector<Change>& Changes() const { return changes; }

    std::size_t Added() const { return added; }
    std::size_t Lifted() const { return lifted; }
    std::size_t Changed() const { return changed; }

    // Applies the next changes, at most most of them, to bans (whose listener hears of each as
    // of any change); each change applied also goes to applied. Whether changes remain.
    bool ApplySome(BanList& bans, std::size_t most, std::vector<Change>& applied);
    bool Done() const { return next == changes.size(); }

private:
    std::string refusal;
    std::vector<BanFileProblem> problems;
    std::vector<Ban> edited;
    std::vector<Change> changes;
    std::size_t next = 0;
    std::size_t added = 0;
    std::size_t lifted = 0;
    std::size_t changed = 0;
};
