#pragma once

#include "server/operator/CommandAnswer.h"

#include <asio/io_context.hpp>

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>

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
    // How long a connection may take to send its command, and how long it may take nothing of
    // its answer.
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
