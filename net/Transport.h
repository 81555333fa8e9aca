#pragma once

#include "net/SocketPlatform.h"

#include <string>

namespace oNet
{

struct SocketCalls;

// How the client's bytes move on its socket: as they are, or through TLS. The frame loop polls,
// receives and sends through it, one call each as it would on the socket itself, and reads the
// error of a failed call from it; it never knows which way the bytes go.
class Transport
{
public:
    virtual ~Transport() = default;

    // As WSAPoll on the one record: events that the frame loop can act on.
    virtual int Poll(WSAPOLLFD& record, int timeoutMs) = 0;
    // As recv: bytes received (> 0), 0 when the server has closed, -1 with LastError.
    virtual int Receive(char* buffer, int length) = 0;
    // As send: bytes taken (> 0); anything else took nothing.
    virtual int Send(const char* buffer, int length) = 0;
    virtual int LastError() = 0;
};

// The socket as it is, through the client's socket calls (which tests replace).
class PlainTransport final : public Transport
{
public:
    PlainTransport(const SOCKET& socket, const SocketCalls& calls) : socket(socket), calls(calls) {}

    int Poll(WSAPOLLFD& record, int timeoutMs) override;
    int Receive(char* buffer, int length) override;
    int Send(const char* buffer, int length) override;
    int LastError() override;

private:
    const SOCKET& socket;
    const SocketCalls& calls;
};

} // namespace oNet
