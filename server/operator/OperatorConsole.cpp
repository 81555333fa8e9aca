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
            asio::post(io, [line, handler, &out] { out << handler(line).text << std::flush; });
        }
    }).detach();
}
