#pragma once

#include "server/connection/FlushBatch.h"
#include "server/room/BacklogPolicy.h"
#include "server/room/ChatRoom.h"
#include "server/room/ServerCounters.h"

#include <array>
#include <functional>
#include <iosfwd>

class ClientSession;

// What the connections of one server share. Everything runs on the server's one thread, which
// does one thing at a time: one read buffer and one write buffer serve every connection.
struct SessionContext
{
    ChatRoom& room;
    BacklogPolicy& backlog;
    FlushBatch& flushes;
    std::ostream& log;
    ServerCounters& counters;
    // Called once when a connection has closed, for the server to let go of it.
    std::function<void(ClientSession&)> closed;
    // Whether the server takes TLS: a server without it tells a TLS client so at once.
    bool takesTls = false;
    std::array<char, 16384> readBuffer{};
    std::array<char, 65536> writeBuffer{};
};
