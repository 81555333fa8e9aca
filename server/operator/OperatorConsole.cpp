#include "server/operator/OperatorChannels.h"

#include <asio/post.hpp>

#include <csignal>
#include <iostream>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// A terminal the server is in the foreground of: one started in the background of a shell
// (`ostrel-server &`) would be stopped by the system at its first read.
bool OperatorConsole::InputIsTerminal()
{
#ifdef _WIN32
    return _isatty(0) != 0;
#else
    return isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp();
#endif
}

namespace
{

// Prints the answer's text, and its next piece each time the server's thread comes to it again.
void Print(asio::io_context& io, CommandAnswer answer, std::ostream& out)
{
    out << answer.text << std::flush;
    if (answer.more && !answer.text.empty())
        asio::post(io, [&io, more = std::move(answer.more), &out]() mutable {
            std::string next = more();
            Print(io, {true, std::move(next), std::move(more)}, out);
        });
}

} // namespace

// A blocking read of standard input cannot be cancelled on every system: the reader is a thread
// that lives as long as the process, and only hands lines over.
void OperatorConsole::Start(asio::io_context& io, CommandHandler handler, std::ostream& out)
{
#ifndef _WIN32
    // Put in the background later, a read fails rather than stopping the server: the console
    // ends, the server goes on.
    std::signal(SIGTTIN, SIG_IGN);
#endif
    std::thread([&io, handler = std::move(handler), &out] {
        for (std::string line; std::getline(std::cin, line);)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            asio::post(io, [&io, line, handler, &out] { Print(io, handler(line), out); });
        }
    }).detach();
}
