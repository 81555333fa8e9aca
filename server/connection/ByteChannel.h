#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>

// How one connection's bytes move: as they are, or through TLS. The session above reads and
// writes through it without knowing which, and each call moves what it can without waiting.
class ByteChannel
{
public:
    using Wait = asio::socket_base::wait_type;

    virtual ~ByteChannel() = default;

    // Bytes that have come, up to size. With would_block nothing has, and `waitFor` says what the
    // socket must become before trying again; eof when the client has closed.
    virtual std::size_t Read(char* buffer, std::size_t size, asio::error_code& error,
                             Wait& waitFor) = 0;
    // Takes up to size bytes and says how many. After would_block the same bytes must come first
    // in the next call: some of them may already be on their way.
    virtual std::size_t Write(const char* bytes, std::size_t size, asio::error_code& error,
                              Wait& waitFor) = 0;
    // Nothing more will be sent: the client sees the end of the stream.
    virtual void FinishSending() = 0;
};
