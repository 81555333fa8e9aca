// The client side of `ostrel-server --command` on Linux: one command over the control socket,
// and its answer as it comes.

#include "server/operator/ControlClient.h"
#include "server/operator/ControlSocket.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>

#include <ostream>

int SendCommand(const std::string& path, const std::string& command, std::ostream& out,
                std::ostream& err)
{
    const std::string tooLong = ControlSocket::PathProblem(path);
    if (!tooLong.empty())
    {
        err << "ostrel-server: " << tooLong << std::endl;
        return 2;
    }
    asio::io_context io;
    asio::local::stream_protocol::socket socket(io);
    asio::error_code failure;
    socket.connect(asio::local::stream_protocol::endpoint(path), failure);
    if (failure)
    {
        err << "ostrel-server: cannot reach the server at " << path << ": " << failure.message()
            << (failure.value() == ECONNREFUSED || failure.value() == ENOENT
                    ? " (is it running with --control " + path + "?)"
                    : "")
            << std::endl;
        return 2;
    }
    asio::write(socket, asio::buffer(command + "\n"), failure);
    // A server that never answers does not hold the command line for ever: each read waits at
    // most this long (the system's own receive, which honours the limit).
    const timeval limit{10, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // The first line says whether the server did what was asked; the rest, however long, is
    // printed as it comes.
    std::string head;
    std::ostream* to = nullptr;
    char chunk[65536];
    ssize_t n = 0;
    while (!failure && (n = ::recv(socket.native_handle(), chunk, sizeof chunk, 0)) != 0)
    {
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            failure = asio::error_code(errno, asio::error::get_system_category());
            break;
        }
        if (to)
        {
            to->write(chunk, n);
            continue;
        }
        head.append(chunk, static_cast<std::size_t>(n));
        const std::size_t status = head.find('\n');
        if (status == std::string::npos && head.size() < 16)
            continue;
        const std::string word = head.substr(0, status);
        if (word != "ok" && word != "error")
            break;
        to = word == "ok" ? &out : &err;
        *to << head.substr(status + 1);
    }
    if (failure)
    {
        err << (to ? "\n" : "") << "ostrel-server: " << (to ? "the answer broke off" : "no answer")
            << " from the server at " << path << ": " << failure.message() << std::endl;
        return 2;
    }
    if (!to)
    {
        err << "ostrel-server: the answer from " << path << " is not a server's" << std::endl;
        return 2;
    }
    to->flush();
    return to == &out ? 0 : 1;
}
