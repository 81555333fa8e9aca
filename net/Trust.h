#pragma once

#include <functional>
#include <string>

namespace oNet
{

// The user's verdict on the pin of a server's key.
enum class Trust
{
    Trusted,
    TrustedOnAsking, // the user was asked, which may have taken longer than the server waits
    NotTrusted,
};

// Asked once a TLS handshake is done, with the pin of the server's key.
using TrustCheck = std::function<Trust(const std::string& serverPin)>;

} // namespace oNet
