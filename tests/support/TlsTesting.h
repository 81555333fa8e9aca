#pragma once

// TLS for the host build's tests: throwaway certificates made by the openssl command, the pin as
// openssl itself computes it, and a TLS client on OpenSSL that speaks the chat protocol's frames.

#include "support/Bytes.h"

#include <openssl/ssl.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace testing_support
{

// A self-signed certificate and its key, made in the directory under the given name
// (name.crt, name.key). Kind: "ec" (P-256), "rsa" (2048 bits) or "ed25519".
struct TestCertificate
{
    std::string certificate;
    std::string key;
};
TestCertificate MakeCertificate(const std::filesystem::path& directory, const std::string& name,
                                const std::string& kind = "ec");

// What a shell command printed on its standard output; empty when it failed.
std::string CommandOutput(const std::string& command);

// The SHA-256 of the certificate's SubjectPublicKeyInfo in hex, as openssl computes it.
std::string OpenSslPin(const std::string& certificate);
// The DER of the certificate itself, and of its SubjectPublicKeyInfo, as openssl writes them.
std::string OpenSslCertificateDer(const std::string& certificate);
std::string OpenSslPublicKeyDer(const std::string& certificate);

// A blocking TLS client connection to 127.0.0.1: the handshake in Connect, then frames.
class TlsClient
{
public:
    TlsClient() = default;
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // False when the connection or the handshake fails; maxVersion limits the TLS version.
    bool Connect(std::uint16_t port, int maxVersion = 0);
    std::string Version() const;
    void Send(const std::string& bytes);
    // The next packet (type field and payload), or nothing when no whole frame comes in time.
    Bytes ReceivePacket(int timeoutMs = 5000);

private:
    bool ReceiveExactly(unsigned char* into, std::size_t count, int timeoutMs);

    int socket = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
};

} // namespace testing_support
