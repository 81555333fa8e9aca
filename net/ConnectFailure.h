#pragma once

namespace oNet
{

// Why a connection could not be made.
enum class ConnectFailure
{
    None,
    Unreachable, // no connection to the server
    NotSecure,   // connected, but no TLS: the reason is in failureReason
    NotTrusted,  // TLS, but the server's key is not one the user trusts
};

} // namespace oNet
