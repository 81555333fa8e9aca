#pragma once

#include "net/Transport.h"

#include <memory>
#include <string>

namespace oNet
{

struct SocketCalls;

// TLS on the client's connected socket, through the platform's own TLS: Schannel on Windows;
// the host build has none. The platform never judges the server's certificate (it does not
// under Wine, and a chat server's certificate is its own, not a public one): the program checks
// the server's key against the pin the user trusts.
//
// The handshake goes a step at a time and never waits longer than its caller allows, so that a
// server that is slow to answer does not hold up the caller's loop; the caller keeps the time.
class TlsTransport : public Transport
{
public:
    // Whether this build can make TLS connections at all.
    static bool Available();
    // Starts the handshake on a connected, non-blocking socket, which stays the caller's to
    // close: its first message is on its way. Nothing, with the reason as a sentence for the
    // user, when it cannot start.
    static std::unique_ptr<TlsTransport> Begin(SOCKET socket, const SocketCalls& calls,
                                               const std::string& serverName, std::string& failure);

    enum class Progress
    {
        Pending,
        Done,
        Failed, // the reason, as a sentence for the user, is in failure
    };
    // One step of the handshake: waits at most waitMs for the socket, then reads or writes what
    // it can without waiting.
    virtual Progress ContinueHandshake(int waitMs, std::string& failure) = 0;

    // Once the handshake is done: the pin of the server's public key, the SHA-256 of its
    // SubjectPublicKeyInfo in hex.
    virtual const std::string& ServerPin() const = 0;
};

} // namespace oNet
