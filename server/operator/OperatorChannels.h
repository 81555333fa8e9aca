#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

// The two ways the operator's commands reach a running server: its console (standard input) and
// a local control socket. Each hands every line to the server's thread and returns the answer.

// A command's answer as the control socket sends it: "ok\n" or "error\n", then the text.
struct CommandAnswer
{
    bool ok = true;
    std::string text;
};
using CommandHandler = std::function<CommandAnswer(const std::string& line)>;

// Standard input, read line by line on a thread of its own; each line runs on the server's
// thread and its answer is printed to out. Ends at the end of the input.
class OperatorConsole
{
public:
    // Whether standard input is a terminal (a console window, a shell), which is when the server
    // takes commands from it without being asked.
    static bool InputIsTerminal();
    static void Start(asio::io_context& io, CommandHandler handler, std::ostream& out);
};

// Where `ostrel-server --command` finds the server when no --control PATH is given: under the
// runtime directory of the systemd unit.
constexpr const char* DefaultControlPath = "/run/ostrel-server/control";

// A Unix domain socket at a path, mode 0600: only the server's own user (and root) can connect.
// Each connection sends one line and gets its answer. Linux only.
class ControlSocket
{
public:
    virtual ~ControlSocket() = default;

    static bool Available();
    // Why not, where it is not.
    static std::string Unavailable();
    // Listens at path: an old socket file that nobody listens on is replaced; one where a
    // server listens is an error. Nothing, with the reason, when it cannot listen.
    static std::unique_ptr<ControlSocket> Open(asio::io_context& io, const std::string& path,
                                               CommandHandler handler, std::string& error);
};

// Sends one command to the server listening at path and prints its answer to out (or the reason
// it could not be reached to err). The exit code: 0 when the command did what it said, 1 when the
// server refused it, 2 when the server could not be reached.
int SendCommand(const std::string& path, const std::string& command, std::ostream& out,
                std::ostream& err);
