#pragma once

#include "net/Clock.h"
#include "net/ConnectFailure.h"
#include "net/Endpoint.h"
#include "net/SocketCalls.h"
#include "net/Trust.h"

#include <chrono>
#include <memory>
#include <string>

namespace oNet
{

class TlsTransport;

// One connection being made to a server, a step at a time, so that the owner's loop goes on
// meanwhile: the TCP connect, then, with TLS, the handshake and the user's verdict on the
// server's key. Nothing is sent on the connection before both. Whatever the attempt still holds
// when it goes (a socket, a half-made TLS session) goes with it.
class ConnectAttempt
{
public:
    // How long the TCP connect, and then the TLS handshake, may take before the attempt is given
    // up (about as long as the platform's own connect waits).
    static constexpr std::chrono::seconds ConnectLimit{20};
    static constexpr std::chrono::seconds HandshakeLimit{15};

    // The calls and the trust check are the owner's and outlive the attempt; now tells the
    // time (tests give a clock of their own).
    ConnectAttempt(const Endpoint& endpoint, const SocketCalls& calls, bool useTls,
                   const TrustCheck& trustServer, Clock::time_point (*now)());
    ~ConnectAttempt();
    ConnectAttempt(const ConnectAttempt&) = delete;
    ConnectAttempt& operator=(const ConnectAttempt&) = delete;

    enum class Progress
    {
        Pending,
        Connected,
        Failed, // why: failure and failureReason
    };
    // One step: waits at most waitMs for the socket, then does what it can without waiting.
    Progress Step(int waitMs);

    // Once connected: the connected, non-blocking socket and, with TLS, its transport, which
    // are then the caller's.
    SOCKET TakeSocket();
    std::unique_ptr<TlsTransport> TakeTls();

    ConnectFailure failure = ConnectFailure::None;
    std::string failureReason;

private:
    enum class Stage
    {
        Start,
        Connecting,
        Handshaking,
        Done,
    };

    Progress Open();
    Progress StepConnect(int waitMs);
    Progress Connected();
    Progress StepHandshake(int waitMs);
    Progress Fail(ConnectFailure why);
    void CloseSocket();

    Endpoint endpoint;
    const SocketCalls& calls;
    const bool useTls;
    const TrustCheck& trustServer;
    Clock::time_point (*const now)();
    Stage stage = Stage::Start;
    SOCKET socket = INVALID_SOCKET;
    std::unique_ptr<TlsTransport> tls;
    Clock::time_point deadline;
    bool askedUser = false; // the connection has been made anew after the user was asked
};

} // namespace oNet
