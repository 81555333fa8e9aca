#pragma once

#include <iosfwd>
#include <string>

// Writes one line of the server's log: the local date and time in brackets, then the text.
void WriteLogLine(std::ostream& log, const std::string& text);
