#pragma once

#include "server/connection/ByteChannel.h"

#include <asio/ip/tcp.hpp>

// The bytes as they are.
class PlainChannel final : public ByteChannel
{
public:
    explicit PlainChannel(asio::ip::tcp::socket& socket) : socket(socket) {}

    std::size_t Read(char* buffer, std::size_t size, asio::error_code& error,
                     Wait& waitFor) override
    {
        waitFor = Wait::wait_read;
        return socket.read_some(asio::buffer(buffer, size), error);
    }
    std::size_t Write(const char* bytes, std::size_t size, asio::error_code& error,
                      Wait& waitFor) override
    {
        waitFor = Wait::wait_write;
        return socket.write_some(asio::buffer(bytes, size), error);
    }
    void FinishSending() override
    {
        asio::error_code ignored;
        socket.shutdown(asio::socket_base::shutdown_send, ignored);
    }

private:
    asio::ip::tcp::socket& socket;
};
