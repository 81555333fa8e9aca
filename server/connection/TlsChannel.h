#pragma once

#include "server/connection/ByteChannel.h"

// One TLS connection, from the client's first byte on: its handshake, made step by step without
// waiting, then the way its bytes move. It works on the connection's descriptor itself, so that it
// goes with the descriptor from one socket object to another (from the handshakes' event loop to
// the room's); one thread uses it at a time.
class TlsChannel : public ByteChannel
{
public:
    // Moves the handshake on as far as the socket allows: true once it is done. Otherwise error is
    // would_block, with waitFor saying what the socket must become first, or says why it failed.
    virtual bool Handshake(asio::error_code& error, Wait& waitFor) = 0;
};
