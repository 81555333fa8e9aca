#pragma once

#include "server/connection/TlsChannel.h"

#include <ctime>
#include <memory>
#include <string>

// The server's side of TLS: its certificate and key, loaded at once, and a TLS way of moving each
// connection's bytes. Built on OpenSSL in the Linux build; the Windows build has none (Debian
// has no OpenSSL for MinGW), and says so.
//
// Only TLS 1.2 and 1.3 with forward-secret AES-GCM or ChaCha20-Poly1305 suites are offered.
// The pin that clients keep is the SHA-256 of the certificate's public key (its DER-encoded
// SubjectPublicKeyInfo), in hex: a certificate renewed with the same key keeps the same pin.
class ServerTls
{
public:
    virtual ~ServerTls() = default;

    // Whether this build of the server can do TLS at all.
    static bool Available();
    // The certificate (PEM, with its chain) and its private key (PEM); nothing, with the reason,
    // when either cannot be used or the key is not the certificate's.
    static std::unique_ptr<ServerTls> Load(const std::string& certificateFile,
                                           const std::string& keyFile, std::string& error);
    // The pin of the certificate in the file; false, with the reason, when it cannot be read.
    static bool PinOf(const std::string& certificateFile, std::string& pin, std::string& error);

    virtual const std::string& Pin() const = 0;
    // When the certificate expires (UTC, seconds since 1970).
    virtual std::time_t NotAfter() const = 0;
    // A channel for a connection that has begun a TLS handshake, on its descriptor (non-blocking);
    // nothing when OpenSSL cannot make one. Any thread may ask: the certificate and key are only
    // read.
    virtual std::unique_ptr<TlsChannel> Channel(
        asio::ip::tcp::socket::native_handle_type descriptor) = 0;
};

// A connection whose first byte is this is a TLS handshake record; a plain client's first
// frame is its Nickname, whose length's first byte is 0.
constexpr unsigned char TlsHandshakeRecord = 0x16;
