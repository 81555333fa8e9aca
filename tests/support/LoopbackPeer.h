#pragma once

// The far end of a test connection: listens on a loopback address with a port of the system's
// choosing, accepts one connection, and sends and receives raw bytes with time limits. Built on
// the same socket layer as the library, so it runs natively and under Wine alike.

#include "net/SocketPlatform.h"
#include "support/Bytes.h"
#include "support/RawConnection.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support
{

class LoopbackPeer
{
public:
    explicit LoopbackPeer(const char* address = "127.0.0.1");
    // Listens on a fixed port, such as the chat program's 6112 on an address of the test's own.
    LoopbackPeer(const char* address, std::uint16_t fixedPort);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Listening() const { return listener != INVALID_SOCKET; }
    std::uint16_t Port() const { return port; }
    // Waits for the client's connection; false when none arrives in time.
    bool Accept(int timeoutMs = 5000);

    void Send(const Bytes& bytes) { connection.Send(bytes); }
    void Send(const std::string& bytes) { connection.Send(bytes); }
    Bytes Receive(std::size_t count, int timeoutMs = 5000)
    {
        return connection.Receive(count, timeoutMs);
    }
    Bytes ReceivePacket(int timeoutMs = 5000) { return connection.ReceivePacket(timeoutMs); }
    bool SeesClose(int timeoutMs = 5000) { return connection.SeesClose(timeoutMs); }
    // Closes the accepted connection (an orderly close).
    void CloseConnection() { connection.Close(); }
    // Stops listening, so that later connections to the port are refused.
    void CloseListener();
    // Goes on listening but answers no new connection, as a server that is down behind a
    // firewall or too busy to answer: the queue of connections not yet accepted is filled, and
    // a connection after them waits for an answer that does not come. False when the queue
    // could not be filled.
    bool StopAnswering();

private:
    std::string address;
    SOCKET listener = INVALID_SOCKET;
    RawConnection connection;
    std::vector<RawConnection> fillers;
    std::uint16_t port = 0;
};

// A port on 127.0.0.1 where nothing listens: connections to it are refused.
std::uint16_t RefusingPort();

} // namespace testing_support
