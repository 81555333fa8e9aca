#include "server/OperatorChannels.h"

#include <asio/post.hpp>

#include <iostream>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

bool OperatorConsole::InputIsTerminal()
{
#ifdef _WIN32
    return _isatty(0) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

// A blocking read of standard input cannot be cancelled on every system: the reader is a thread
// that lives as long as the process, and only hands lines over.
void OperatorConsole::Start(asio::io_context& io, CommandHandler handler, std::ostream& out)
{
    std::thread([&io, handler = std::move(handler), &out] {
        for (std::string line; std::getline(std::cin, line);)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            asio::post(io, [line, handler, &out] { out << handler(line).text << std::flush; });
        }
    }).detach();
}
