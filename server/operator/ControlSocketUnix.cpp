// The control socket on Linux: a Unix domain socket, mode 0600, that takes one command line a
// connection and answers it; and the client side of `ostrel-server --command`.

#include "server/operator/OperatorChannels.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <istream>
#include <ostream>

namespace
{

using Local = asio::local::stream_protocol;

// The longest command line taken, and how long a connection may take to send it.
constexpr std::size_t MaxCommandBytes = 4096;
constexpr auto CommandTime = std::chrono::seconds(5);

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(Local::socket socket, const CommandHandler& handler)
        : socket(std::move(socket)), timer(this->socket.get_executor()), handler(handler),
          input(MaxCommandBytes)
    {
    }

    void Start()
    {
        timer.expires_after(CommandTime);
        timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
            {
                asio::error_code ignored;
                self->socket.close(ignored);
            }
        });
        asio::async_read_until(socket, input, '\n',
                               [self = shared_from_this()](const asio::error_code& error,
                                                           std::size_t) { self->Read(error); });
    }

private:
    void Read(const asio::error_code& error)
    {
        timer.cancel();
        CommandAnswer answer;
        if (error && error != asio::error::eof)
            answer = {false, error == asio::error::not_found
                                 ? "the command is longer than " + std::to_string(MaxCommandBytes) +
                                       " bytes\n"
                                 : "the command did not arrive whole\n"};
        else
        {
            std::istream in(&input);
            std::string line;
            std::getline(in, line);
            answer = handler(line);
        }
        reply = (answer.ok ? "ok\n" : "error\n") + answer.text;
        asio::async_write(socket, asio::buffer(reply),
                          [self = shared_from_this()](const asio::error_code&, std::size_t) {
                              asio::error_code ignored;
                              self->socket.close(ignored);
                          });
    }

    Local::socket socket;
    asio::steady_timer timer;
    CommandHandler handler;
    asio::streambuf input;
    std::string reply;
};

class UnixControlSocket final : public ControlSocket
{
public:
    UnixControlSocket(asio::io_context& io, std::string path, CommandHandler handler)
        : acceptor(io), path(std::move(path)), handler(std::move(handler))
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
                std::make_shared<Connection>(std::move(socket), handler)->Start();
            Accept();
        });
    }

    Local::acceptor acceptor;
    std::string path;
    CommandHandler handler;
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

std::unique_ptr<ControlSocket> ControlSocket::Open(asio::io_context& io, const std::string& path,
                                                   CommandHandler handler, std::string& error)
{
    auto socket = std::make_unique<UnixControlSocket>(io, path, std::move(handler));
    if (!socket->Listen(error))
        return nullptr;
    return socket;
}

int SendCommand(const std::string& path, const std::string& command, std::ostream& out,
                std::ostream& err)
{
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
    // A server that never answers does not hold the command line for ever.
    const timeval limit{10, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    asio::write(socket, asio::buffer(command + "\n"), failure);
    std::string answer;
    char chunk[4096];
    while (!failure)
    {
        const std::size_t n = socket.read_some(asio::buffer(chunk), failure);
        answer.append(chunk, n);
    }
    if (failure != asio::error::eof)
    {
        err << "ostrel-server: no answer from the server at " << path << ": " << failure.message()
            << std::endl;
        return 2;
    }
    const std::size_t status = answer.find('\n');
    const bool ok = answer.compare(0, status, "ok") == 0;
    if (status == std::string::npos || (!ok && answer.compare(0, status, "error") != 0))
    {
        err << "ostrel-server: the answer from " << path << " is not a server's" << std::endl;
        return 2;
    }
    (ok ? out : err) << answer.substr(status + 1) << std::flush;
    return ok ? 0 : 1;
}
