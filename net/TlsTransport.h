#pragma once

#include "net/Transport.h"

#include <memory>
#include <string>

namespace oNet
{

// TLS on the client's connected socket, through the platform's own TLS: Schannel on Windows;
// the host build has none. The platform never judges the server's certificate (it does not
// under Wine, and a chat server's certificate is its own, not a public one): the program checks
// the server's key against the pin the user trusts.
class TlsTransport : public Transport
{
public:
    // How long a handshake may take before it is given up.
    static constexpr int HandshakeSeconds = 15;

    // Whether this build can make TLS connections at all.
    static bool Available();
    // Makes the TLS handshake on a connected, non-blocking socket, which stays the caller's to
    // close. Nothing, with the reason as a sentence for the user, when it fails.
    static std::unique_ptr<TlsTransport> Handshake(SOCKET socket, const SocketCalls& calls,
                                                   const std::string& serverName,
                                                   std::string& failure);

    // The pin of the server's public key: the SHA-256 of its SubjectPublicKeyInfo, in hex.
    virtual const std::string& ServerPin() const = 0;
};

} // namespace oNet
