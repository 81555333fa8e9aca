#pragma once

// The far end of a test connection: listens on a loopback address with a port of the system's
// choosing, accepts one connection, and sends and receives raw bytes with time limits. Built on
// the same socket layer as the library, so it runs natively and under Wine alike.

#include "net/SocketPlatform.h"
#include "support/Bytes.h"

#include <cstdint>
#include <string>

namespace testing_support
{

class LoopbackPeer
{
public:
    explicit LoopbackPeer(const char* address = "127.0.0.1");
    // Listens on a fixed port, such as the chat program's 6112 on an address of the test's own.
    LoopbackPeer(const char* address, std::uint16_t fixedPort);
    bool Listening() const { return listener != INVALID_SOCKET; }
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t Port() const { return port; }
    // Waits for the client's connection; false when none arrives in time.
    bool Accept(int timeoutMs = 5000);
    void Send(const Bytes& bytes);
    void Send(const std::string& bytes);
    // Reads until count bytes have arrived or the time is up; returns what arrived.
    Bytes Receive(std::size_t count, int timeoutMs = 5000);
    // Reads one frame and returns the packet in it (type field and payload), or nothing when no
    // whole frame arrives in time.
    Bytes ReceivePacket(int timeoutMs = 5000);
    // Whether the client has closed its end (a read returns 0 or fails) within the time.
    bool SeesClose(int timeoutMs = 5000);
    // Closes the accepted connection (an orderly close).
    void CloseConnection();
    // Stops listening, so that later connections to the port are refused.
    void CloseListener();

private:
    SOCKET listener = INVALID_SOCKET;
    SOCKET connection = INVALID_SOCKET;
    std::uint16_t port = 0;
};

// A port on 127.0.0.1 where nothing listens: connections to it are refused.
std::uint16_t RefusingPort();

} // namespace testing_support
