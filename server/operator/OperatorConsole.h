#pragma once

#include "server/operator/CommandAnswer.h"

#include <asio/io_context.hpp>

#include <iosfwd>
#include <memory>

struct ConsoleGate;

// Standard input, read line by line on a thread of its own; each line runs on the server's
// thread and its answer is printed to out, a long one piece by piece with the server's other
// work in between. Ends at the end of the input.
//
// A blocking read of standard input cannot be cancelled on every system, so the reader thread
// lives as long as the process; it reaches the server only through a gate that the console's
// destruction closes, so that it never touches a server that has gone.
class OperatorConsole
{
public:
    // Whether standard input is a terminal (a console window, a shell), which is when the server
    // takes commands from it without being asked.
    static bool InputIsTerminal();

    // Starts reading; handler and out must outlive the console.
    OperatorConsole(asio::io_context& io, CommandHandler handler, std::ostream& out);
    // Closes the gate: lines read from now on are dropped.
    ~OperatorConsole();
    OperatorConsole(const OperatorConsole&) = delete;
    OperatorConsole& operator=(const OperatorConsole&) = delete;

private:
    std::shared_ptr<ConsoleGate> gate;
};
