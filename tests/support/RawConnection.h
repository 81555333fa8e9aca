#pragma once

// One end of a TCP connection for tests: raw bytes in and out with time limits. Built on the
// same socket layer as the library, so it runs natively and under Wine alike.

#include "net/SocketPlatform.h"
#include "support/Bytes.h"

#include <cstdint>
#include <string>

namespace testing_support
{

class RawConnection
{
public:
    RawConnection() = default;
    explicit RawConnection(SOCKET socket) : socket(socket) {}
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    RawConnection(RawConnection&& other) noexcept;
    RawConnection& operator=(RawConnection&& other) noexcept;

    // Connects to a listening address (blocking), from the given local address if any; false
    // when refused.
    bool Connect(const char* address, std::uint16_t port, const char* from = nullptr);
    bool Open() const { return socket != INVALID_SOCKET; }
    SOCKET Socket() const { return socket; }

    void Send(const Bytes& bytes);
    void Send(const std::string& bytes);
    // Reads until count bytes have arrived or the time is up; returns what arrived.
    Bytes Receive(std::size_t count, int timeoutMs = 5000);
    // Whatever has arrived, after waiting up to the time for something; empty when nothing came
    // or the connection ended.
    Bytes ReceiveSome(int timeoutMs = 5000);
    // Reads one frame and returns the packet in it (type field and payload), or nothing when no
    // whole frame arrives in time.
    Bytes ReceivePacket(int timeoutMs = 5000);
    // Whether the other end closes (a read returns 0 or fails) within the time; reads and drops
    // whatever arrives before.
    bool SeesClose(int timeoutMs = 5000);
    void Close();

private:
    SOCKET socket = INVALID_SOCKET;
};

} // namespace testing_support
