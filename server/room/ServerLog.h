#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

// Writes one line of the server's log: the local date and time in brackets, then the text.
void WriteLogLine(std::ostream& log, const std::string& text);

// A count and what it counts, for the log and the server's lines: "1 member", "3 members".
std::string Plural(std::size_t count, const std::string& one, const std::string& many);
