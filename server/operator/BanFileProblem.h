#pragma once

#include <string>

// A line of a ban file that could not be taken as it stood: either left out (skipped: its target
// or its end cannot be read) or taken with its reason cleaned (control characters shown as
// spaces, cut to the longest a reason may be). A reload refuses a file only for a line skipped.
struct BanFileProblem
{
    int line = 0;
    std::string why;
    bool skipped = false;

    // "FILE line 3: why", as a refused reload names it.
    std::string Text(const std::string& source) const
    {
        return source + " line " + std::to_string(line) + ": " + why;
    }
    // The same with what became of the line ("; skipped" for one left out), as the log gives it.
    std::string Logged(const std::string& source) const
    {
        return Text(source) + (skipped ? "; skipped" : "");
    }
};
