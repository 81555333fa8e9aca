#pragma once

#include <iosfwd>
#include <string>

// The other end of the control socket, for `ostrel-server --command`: sends one command to the
// server listening at path and prints its answer to out (or the reason it could not be reached
// to err). The exit code: 0 when the command did what it said, 1 when the server refused it, 2
// when the server could not be reached. (Linux; elsewhere it says there is no control socket.)
int SendCommand(const std::string& path, const std::string& command, std::ostream& out,
                std::ostream& err);
