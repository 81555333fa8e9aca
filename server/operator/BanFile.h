#pragma once

#include "server/operator/BanFileProblem.h"
#include "server/operator/BanList.h"

#include <ctime>
#include <string>
#include <vector>

// The ban file keeps one ban a line, "TARGET UNTIL REASON": the network as IpNetwork writes it,
// UNTIL a time in UTC (2026-12-31T23:59:59Z) or "-" for until lifted, and the reason, which may
// be empty. Lines starting with "#" and blank lines are skipped. Whatever the server writes, it
// reads back as it was.
namespace BanFile
{

// The comment the server's own files begin with.
std::string Header();
// The line of one ban, with its line break.
std::string Line(const Ban& ban);

// Reads the text of a ban file into bans. A line that cannot be read is reported in problems and
// skipped; bans that have ended are left out. A reason's control characters become spaces, and
// one longer than MaxReasonBytes is cut, each reported (the ban is taken).
void Parse(const std::string& text, std::time_t now, BanList& bans,
           std::vector<BanFileProblem>& problems);

// Reads the file at path into bans. A missing file is no bans; false, with the reason, when
// something is there that cannot be read: another kind of file than a regular one (a directory,
// a named pipe, a link) or one the server may not read, so that no later write loses its bans.
// missing, when given, tells whether there was no file.
bool Read(const std::string& path, std::time_t now, BanList& bans,
          std::vector<BanFileProblem>& problems, std::string& error, bool* missing = nullptr);

// Writes the whole list to path in one step (see ReplaceFileContent). False, with the reason
// (the system's included), when it cannot; the old file then stays.
bool Write(const std::string& path, const std::string& content, std::string& error);
std::string Content(const BanList& bans);

} // namespace BanFile
