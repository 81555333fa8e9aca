// The control socket on Linux: a Unix domain socket, mode 0600, that takes one command line a
// connection and answers it; and the client side of `ostrel-server --command`.

#include "server/operator/OperatorChannels.h"
#include "server/room/ServerLog.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <istream>
#include <ostream>

namespace
{

using Local = asio::local::stream_protocol;

// The longest command line taken.
constexpr std::size_t MaxCommandBytes = 4096;

// One command and its answer. Each step (the command arriving, each piece of the answer being
// taken) has ControlSocket::StepTime; a connection that takes longer is closed.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(Local::socket socket, const CommandHandler& handler, std::ostream& log)
        : socket(std::move(socket)), timer(this->socket.get_executor()), handler(handler), log(log),
          input(MaxCommandBytes)
    {
    }

    void Start()
    {
        Expect(false);
        asio::async_read_until(socket, input, '\n',
                               [self = shared_from_this()](const asio::error_code& error,
                                                           std::size_t) { self->Read(error); });
    }

private:
    // Arms the timer for the step that begins: the command, or a piece of the answer.
    void Expect(bool answering)
    {
        const std::uint64_t armed = ++step;
        timer.expires_after(ControlSocket::StepTime);
        timer.async_wait([self = shared_from_this(), armed,
                          answering](const asio::error_code& error) {
            if (error || self->step != armed || !self->socket.is_open())
                return;
            if (answering)
                WriteLogLine(self->log, "control socket: a client took nothing of its answer for " +
                                            std::to_string(ControlSocket::StepTime.count()) +
                                            " s; closed");
            self->Close();
        });
    }

    void Read(const asio::error_code& error)
    {
        CommandAnswer answer;
        if (error && error != asio::error::eof)
            answer = {false,
                      error == asio::error::not_found
                          ? "the command is longer than " + std::to_string(MaxCommandBytes) +
                                " bytes\n"
                          : "the command did not arrive whole\n",
                      nullptr};
        else
        {
            std::istream in(&input);
            std::string line;
            std::getline(in, line);
            answer = handler(line);
        }
        more = std::move(answer.more);
        Send((answer.ok ? "ok\n" : "error\n") + answer.text);
    }

    void Send(std::string text)
    {
        piece = std::move(text);
        Expect(true);
        asio::async_write(socket, asio::buffer(piece),
                          [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                              self->Sent(error);
                          });
    }

    void Sent(const asio::error_code& error)
    {
        ++step; // the step is over: its timer no longer counts
        std::string next = !error && more ? more() : "";
        if (next.empty())
        {
            Close();
            return;
        }
        Send(std::move(next));
    }

    void Close()
    {
        asio::error_code ignored;
        timer.cancel();
        socket.close(ignored);
        more = nullptr;
    }

    Local::socket socket;
    asio::steady_timer timer;
    CommandHandler handler;
    std::ostream& log;
    asio::streambuf input;
    std::string piece;
    std::function<std::string()> more;
    std::uint64_t step = 0;
};

class UnixControlSocket final : public ControlSocket
{
public:
    UnixControlSocket(asio::io_context& io, std::string path, CommandHandler handler,
                      std::ostream& log)
        : acceptor(io), path(std::move(path)), handler(std::move(handler)), log(log)
    {
    }
    ~UnixControlSocket() override
    {
        asio::error_code ignored;
        acceptor.close(ignored);
        if (listening)
            ::unlink(path.c_str());
    }

    bool Listen(std::string& error)
    {
        asio::error_code failure;
        // A socket file left by a server that is gone is replaced; a live one is not.
        struct stat existing
        {
        };
        if (::lstat(path.c_str(), &existing) == 0)
        {
            if (!S_ISSOCK(existing.st_mode))
            {
                error = "cannot use " + path +
                        " for the control socket: a file that is no socket "
                        "is there";
                return false;
            }
            Local::socket probe(acceptor.get_executor());
            probe.connect(Local::endpoint(path), failure);
            if (!failure)
            {
                error = "another server takes commands at " + path;
                return false;
            }
            ::unlink(path.c_str());
        }
        // Made with no access for anyone but the owner from the start, not narrowed after.
        const mode_t mask = ::umask(0177);
        acceptor.open(Local(), failure);
        if (!failure)
            acceptor.bind(Local::endpoint(path), failure);
        ::umask(mask);
        if (!failure)
            acceptor.listen(asio::socket_base::max_listen_connections, failure);
        if (failure)
        {
            error = "cannot listen for commands at " + path + ": " + failure.message();
            return false;
        }
        listening = true;
        Accept();
        return true;
    }

private:
    void Accept()
    {
        acceptor.async_accept([this](const asio::error_code& error, Local::socket socket) {
            if (error == asio::error::operation_aborted)
                return;
            if (!error)
                std::make_shared<Connection>(std::move(socket), handler, log)->Start();
            Accept();
        });
    }

    Local::acceptor acceptor;
    std::string path;
    CommandHandler handler;
    std::ostream& log;
    bool listening = false;
};

} // namespace

bool ControlSocket::Available()
{
    return true;
}

std::string ControlSocket::Unavailable()
{
    return "";
}

std::string ControlSocket::PathProblem(const std::string& path)
{
    const std::size_t limit = sizeof(sockaddr_un::sun_path) - 1;
    if (path.size() <= limit && path.find('\0') == std::string::npos)
        return "";
    return "the control socket's path " + path + " is " + std::to_string(path.size()) +
           " bytes long; a Unix socket's path may be at most " + std::to_string(limit) + " bytes";
}

std::unique_ptr<ControlSocket> ControlSocket::Open(asio::io_context& io, const std::string& path,
                                                   CommandHandler handler, std::ostream& log,
                                                   std::string& error)
{
    error = PathProblem(path);
    if (!error.empty())
        return nullptr;
    auto socket = std::make_unique<UnixControlSocket>(io, path, std::move(handler), log);
    if (!socket->Listen(error))
        return nullptr;
    return socket;
}

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
    Local::socket socket(io);
    asio::error_code failure;
    socket.connect(Local::endpoint(path), failure);
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
