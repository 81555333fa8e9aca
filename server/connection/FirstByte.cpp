#include "server/connection/FirstByte.h"

#include "server/connection/ServerTls.h"

void FirstByte::Await(asio::ip::tcp::socket socket, Clock::time_point since,
                      std::chrono::seconds time, Told told)
{
    std::make_shared<FirstByte>(std::move(socket), std::move(told))->Start(since, time);
}

FirstByte::FirstByte(asio::ip::tcp::socket socket, Told told)
    : socket(std::move(socket)), timer(this->socket.get_executor()), told(std::move(told))
{
}

void FirstByte::Start(Clock::time_point since, std::chrono::seconds time)
{
    asio::error_code ignored;
    socket.non_blocking(true, ignored);
    timer.expires_at(since + time);
    timer.async_wait([self = shared_from_this(), time](const asio::error_code& error) {
        if (!error)
            self->Tell(Kind::Silent, "sent nothing within " + std::to_string(time.count()) + " s");
    });
    Peek();
}

void FirstByte::Wait()
{
    socket.async_wait(
        asio::socket_base::wait_read, [self = shared_from_this()](const asio::error_code& error) {
            if (self->over)
                return;
            if (error)
                self->Tell(Kind::Gone, "connection error " + std::to_string(error.value()) + " (" +
                                           error.message() + ")");
            else
                self->Peek();
        });
}

void FirstByte::Peek()
{
    unsigned char first = 0;
    asio::error_code error;
    const std::size_t count =
        socket.receive(asio::buffer(&first, 1), asio::socket_base::message_peek, error);
    if (error == asio::error::would_block || error == asio::error::try_again)
        Wait();
    else if (error && error != asio::error::eof)
        Tell(Kind::Gone,
             "connection error " + std::to_string(error.value()) + " (" + error.message() + ")");
    else if (count == 0)
        Tell(Kind::Gone, "closed by the client");
    else
        Tell(first == TlsHandshakeRecord ? Kind::Tls : Kind::Plain, "");
}

void FirstByte::Tell(Kind kind, const std::string& why)
{
    if (over)
        return;
    over = true;
    timer.cancel();
    asio::error_code ignored;
    socket.cancel(ignored);
    told(std::move(socket), kind, why);
}
