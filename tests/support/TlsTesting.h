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

    // False when the connection or the handshake fails; maxVersion limits the TLS version. From
    // the given local address, if any.
    bool Connect(std::uint16_t port, int maxVersion = 0, const char* from = nullptr);
    std::string Version() const;

    // A handshake in steps: connects and sends the ClientHello, and no more.
    bool SendHello(std::uint16_t port, const char* from = nullptr);
    // Whether the server answers the hello (anything comes) within the time.
    bool Answered(int timeoutMs);
    // Whether the server closes the connection within the time without a byte sent.
    bool ClosedUnanswered(int timeoutMs = 5000);
    // Whether the server closes the connection within the time; whatever comes before is dropped.
    bool SeesClose(int timeoutMs = 5000);
    // The rest of the handshake, waiting for it; false when it fails.
    bool FinishHandshake();
    // Bytes straight onto the connection, past TLS.
    void SendRaw(const std::string& bytes);
    // The pin of the certificate the server gave (the SHA-256 of its public key) and the
    // certificate itself (DER), once the handshake is done.
    std::string ServerPin() const;
    std::string ServerCertificateDer() const;
    void Send(const std::string& bytes);
    // The next packet (type field and payload), or nothing when no whole frame comes in time.
    Bytes ReceivePacket(int timeoutMs = 5000);

private:
    bool Open(std::uint16_t port, const char* from, int maxVersion);
    bool ReceiveExactly(unsigned char* into, std::size_t count, int timeoutMs);

    int socket = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
};

} // namespace testing_support
