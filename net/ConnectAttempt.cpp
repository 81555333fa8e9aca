#include "net/ConnectAttempt.h"

#include "net/SocketAddress.h"
#include "net/TlsTransport.h"

#include <iostream>

namespace oNet
{

ConnectAttempt::ConnectAttempt(const Endpoint& endpoint, const SocketCalls& calls, bool useTls,
                               const TrustCheck& trustServer, Clock::time_point (*now)())
    : endpoint(endpoint), calls(calls), useTls(useTls), trustServer(trustServer), now(now)
{
}

ConnectAttempt::~ConnectAttempt()
{
    tls.reset();
    CloseSocket();
}

ConnectAttempt::Progress ConnectAttempt::Step(int waitMs)
{
    switch (stage)
    {
    case Stage::Start:
        return Open();
    case Stage::Connecting:
        return StepConnect(waitMs);
    case Stage::Handshaking:
        return StepHandshake(waitMs);
    case Stage::Done:
        break;
    }
    return failure == ConnectFailure::None ? Progress::Connected : Progress::Failed;
}

SOCKET ConnectAttempt::TakeSocket()
{
    const SOCKET taken = socket;
    socket = INVALID_SOCKET;
    return taken;
}

std::unique_ptr<TlsTransport> ConnectAttempt::TakeTls()
{
    return std::move(tls);
}

// A new non-blocking socket, its connect under way.
ConnectAttempt::Progress ConnectAttempt::Open()
{
    if (endpoint.ipVersion == IpVersion::Unresolved)
        return Fail(ConnectFailure::Unreachable);
    socket = calls.open(endpoint.ipVersion == IpVersion::V4 ? AF_INET : AF_INET6);
    if (socket == INVALID_SOCKET || !calls.setNonBlocking(socket, true) ||
        !calls.setNoDelay(socket))
    {
        std::cerr << "Socket could not be created. Error code: " << calls.lastError() << std::endl;
        return Fail(ConnectFailure::Unreachable);
    }
    sockaddr_storage address;
    const int addressLength = SocketAddressOf(endpoint, address);
    if (calls.connect(socket, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0)
        return Connected();
    const int code = calls.lastError();
    if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS)
        return Fail(ConnectFailure::Unreachable);
    stage = Stage::Connecting;
    deadline = now() + ConnectLimit;
    return Progress::Pending;
}

// The connect is over once the socket can be written to or reports an error; its result says
// which way it went. The result is read at every step, not only when the poll reports: before
// Windows 10 2004, WSAPoll never reports a connect that failed, and a refused try would otherwise
// wait for its limit.
ConnectAttempt::Progress ConnectAttempt::StepConnect(int waitMs)
{
    WSAPOLLFD record{};
    record.fd = socket;
    record.events = POLLWRNORM;
    const int ready = calls.poll(&record, 1, waitMs);
    if (ready < 0 || calls.connectResult(socket) != 0)
        return Fail(ConnectFailure::Unreachable);
    if (ready > 0 && record.revents != 0)
        return Connected();
    return now() >= deadline ? Fail(ConnectFailure::Unreachable) : Progress::Pending;
}

ConnectAttempt::Progress ConnectAttempt::Connected()
{
    if (!useTls)
    {
        stage = Stage::Done;
        return Progress::Connected;
    }
    tls = TlsTransport::Begin(socket, calls, endpoint.hostText, failureReason);
    if (!tls)
        return Fail(ConnectFailure::NotSecure);
    stage = Stage::Handshaking;
    deadline = now() + HandshakeLimit;
    return Progress::Pending;
}

// The handshake, then the user's verdict on the server's key. When the user had to be asked,
// the connection is made anew, once: the server may have given up waiting meanwhile.
ConnectAttempt::Progress ConnectAttempt::StepHandshake(int waitMs)
{
    switch (tls->ContinueHandshake(waitMs, failureReason))
    {
    case TlsTransport::Progress::Pending:
        if (now() < deadline)
            return Progress::Pending;
        failureReason = "The server did not complete the TLS handshake within " +
                        std::to_string(HandshakeLimit.count()) + " seconds.";
        return Fail(ConnectFailure::NotSecure);
    case TlsTransport::Progress::Failed:
        return Fail(ConnectFailure::NotSecure);
    case TlsTransport::Progress::Done:
        break;
    }
    const Trust trust = trustServer ? trustServer(tls->ServerPin()) : Trust::Trusted;
    if (trust == Trust::NotTrusted)
        return Fail(ConnectFailure::NotTrusted);
    if (trust == Trust::TrustedOnAsking && !askedUser)
    {
        askedUser = true;
        tls.reset();
        CloseSocket();
        return Open();
    }
    stage = Stage::Done;
    return Progress::Connected;
}

ConnectAttempt::Progress ConnectAttempt::Fail(ConnectFailure why)
{
    failure = why;
    if (why == ConnectFailure::NotSecure)
        std::cerr << "No secure connection to " << endpoint.ipText << ": " << failureReason
                  << std::endl;
    tls.reset();
    CloseSocket();
    stage = Stage::Done;
    return Progress::Failed;
}

void ConnectAttempt::CloseSocket()
{
    if (socket != INVALID_SOCKET)
        calls.close(socket);
    socket = INVALID_SOCKET;
}

} // namespace oNet
