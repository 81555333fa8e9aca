#pragma once

// Stands between a client and a server on loopback, as the network does: listens on 127.0.0.1
// with a port of the system's choosing, connects each connection it accepts to the server, and
// moves the bytes both ways on a thread of its own. The test can cut the connection, as a network
// that fails between the two: what the server sent last goes no further, then both ends are
// closed, and the server goes on running. The next connection is relayed anew.

#include "net/SocketPlatform.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace testing_support
{

class LoopbackRelay
{
public:
    LoopbackRelay(const char* serverAddress, std::uint16_t serverPort);
    ~LoopbackRelay();
    LoopbackRelay(const LoopbackRelay&) = delete;
    LoopbackRelay& operator=(const LoopbackRelay&) = delete;

    std::uint16_t Port() const { return port; }
    // From now until the cut, what the server sends goes no further: it is lost with the cut.
    void HoldServerBytes() { holding = true; }
    // Closes both ends of the connection relayed now; returns once they are closed.
    void Cut();
    // Connections accepted so far.
    int Accepted() const { return accepted; }

private:
    void Run();
    void Close();
    bool Forward(SOCKET from, SOCKET to, bool hold);

    std::string serverAddress;
    std::uint16_t serverPort;
    SOCKET listener = INVALID_SOCKET;
    std::uint16_t port = 0;
    SOCKET client = INVALID_SOCKET; // the relayed connection's two ends
    SOCKET server = INVALID_SOCKET;
    std::atomic<bool> holding{false};
    std::atomic<int> cutsAsked{0};
    std::atomic<int> cutsDone{0};
    std::atomic<int> accepted{0};
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace testing_support
