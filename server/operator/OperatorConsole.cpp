#include "server/operator/OperatorConsole.h"

#include <asio/post.hpp>

#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// What the reader thread shares with the console: the way to the server's thread, while the
// console lasts.
struct ConsoleGate
{
    std::mutex mutex;
    asio::io_context* io = nullptr; // none once the console has gone
    CommandHandler handler;
    std::ostream* out = nullptr;

    bool Open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return io != nullptr;
    }
};

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

// On the server's thread: prints the answer's text, and its next piece each time the server's
// thread comes to it again, as long as the console lasts.
void Print(const std::shared_ptr<ConsoleGate>& gate, CommandAnswer answer)
{
    if (!gate->Open())
        return;
    *gate->out << answer.text << std::flush;
    if (!answer.more || answer.text.empty())
        return;
    std::lock_guard<std::mutex> lock(gate->mutex);
    if (gate->io)
        asio::post(*gate->io, [gate, more = std::move(answer.more)]() mutable {
            if (!gate->Open())
                return;
            std::string next = more();
            Print(gate, {true, std::move(next), std::move(more)});
        });
}

} // namespace

OperatorConsole::OperatorConsole(asio::io_context& io, CommandHandler handler, std::ostream& out)
    : gate(std::make_shared<ConsoleGate>())
{
    gate->io = &io;
    gate->handler = std::move(handler);
    gate->out = &out;
#ifndef _WIN32
    // Put in the background later, a read fails rather than stopping the server: the console
    // ends, the server goes on.
    std::signal(SIGTTIN, SIG_IGN);
#endif
    std::thread([gate = gate] {
        for (std::string line; std::getline(std::cin, line);)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::lock_guard<std::mutex> lock(gate->mutex);
            if (!gate->io)
                return;
            asio::post(*gate->io, [gate, line] {
                if (gate->Open())
                    Print(gate, gate->handler(line));
            });
        }
    }).detach();
}

OperatorConsole::~OperatorConsole()
{
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->io = nullptr;
}
