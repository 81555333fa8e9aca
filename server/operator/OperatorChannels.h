#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

// The two ways the operator's commands reach a running server: its console (standard input) and
// a local control socket. Each hands every line to the server's thread and returns the answer.

// A command's answer as the control socket sends it: "ok\n" or "error\n", then the text. A long
// answer comes in pieces: text is the first, and more makes each next one when called (on the
// server's thread, once the piece before has been written), until it gives an empty text.
struct CommandAnswer
{
    bool ok = true;
    std::string text;
    std::function<std::string()> more;
};
using CommandHandler = std::function<CommandAnswer(const std::string& line)>;

// Standard input, read line by line on a thread of its own; each line runs on the server's
// thread and its answer is printed to out, a long one piece by piece with the server's other
// work in between. Ends at the end of the input.
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
// Each connection sends one line and gets its answer, a long one in pieces; one that takes
// nothing of its answer for StepTime is closed, so that the server never holds more than a
// piece for it, nor for long. Linux only.
class ControlSocket
{
public:
    // How long a connection may take to send its command, and to take each piece of the answer.
    static constexpr auto StepTime = std::chrono::seconds(5);

    virtual ~ControlSocket() = default;

    static bool Available();
    // Why not, where it is not.
    static std::string Unavailable();
    // Empty when a socket can be made at path, as far as its length goes; otherwise why not,
    // naming the limit (a Unix socket's path is at most 107 bytes).
    static std::string PathProblem(const std::string& path);
    // Listens at path: an old socket file that nobody listens on is replaced; one where a
    // server listens is an error. Nothing, with the reason, when it cannot listen.
    // Each client that is closed for not taking its answer is noted in log.
    static std::unique_ptr<ControlSocket> Open(asio::io_context& io, const std::string& path,
                                               CommandHandler handler, std::ostream& log,
                                               std::string& error);
};

// Sends one command to the server listening at path and prints its answer to out (or the reason
// it could not be reached to err). The exit code: 0 when the command did what it said, 1 when the
// server refused it, 2 when the server could not be reached.
int SendCommand(const std::string& path, const std::string& command, std::ostream& out,
                std::ostream& err);
