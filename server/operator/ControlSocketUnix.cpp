// The control socket on Linux: a Unix domain socket, mode 0600, that takes one command line a
// connection and answers it.

#include "server/operator/ControlSocket.h"
#include "server/room/ServerLog.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <istream>
#include <ostream>

namespace
{

using Local = asio::local::stream_protocol;

// The longest command line taken.
constexpr std::size_t MaxCommandBytes = 4096;

// One command and its answer. The command has ControlSocket::StepTime to arrive; the answer is
// written as the client takes it, and a client that takes nothing of it for StepTime is closed.
// The time runs again with every part of a piece taken, so that a client reading a long answer
// steadily is never cut off.
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
    // Arms the timer for the step that begins: the command, or the next part of the answer.
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
        sent = 0;
        WriteSome();
    }

    // Writes what the client will take of the piece; each part taken gives it StepTime again.
    void WriteSome()
    {
        Expect(true);
        socket.async_write_some(
            asio::buffer(piece) + sent,
            [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
                self->sent += count;
                if (!error && self->sent < self->piece.size())
                    self->WriteSome();
                else
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
    std::size_t sent = 0; // of the piece
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
