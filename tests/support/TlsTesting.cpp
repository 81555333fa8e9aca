#include "support/TlsTesting.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace testing_support
{

std::string CommandOutput(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe)
        return "";
    std::string output;
    char chunk[4096];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        output.append(chunk, n);
    return pclose(pipe.release()) == 0 ? output : "";
}

TestCertificate MakeCertificate(const std::filesystem::path& directory, const std::string& name,
                                const std::string& kind)
{
    TestCertificate made{(directory / (name + ".crt")).string(),
                         (directory / (name + ".key")).string()};
    const std::string key = kind == "rsa"       ? "rsa:2048"
                            : kind == "ed25519" ? "ed25519"
                                                : "ec -pkeyopt ec_paramgen_curve:P-256";
    const std::string command = "openssl req -x509 -newkey " + key + " -nodes -days 2 -subj " +
                                "/CN=ostrel-test -keyout '" + made.key + "' -out '" +
                                made.certificate + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return made;
}

std::string OpenSslPin(const std::string& certificate)
{
    const std::string output =
        CommandOutput("openssl x509 -pubkey -noout -in '" + certificate +
                      "' | openssl pkey -pubin -outform der | openssl dgst -sha256 -r");
    return output.substr(0, output.find(' '));
}

std::string OpenSslCertificateDer(const std::string& certificate)
{
    return CommandOutput("openssl x509 -outform der -in '" + certificate + "'");
}

std::string OpenSslPublicKeyDer(const std::string& certificate)
{
    return CommandOutput("openssl x509 -pubkey -noout -in '" + certificate +
                         "' | openssl pkey -pubin -outform der");
}

TlsClient::~TlsClient()
{
    SSL_free(ssl);
    SSL_CTX_free(context);
    if (socket >= 0)
        close(socket);
}

bool TlsClient::Open(std::uint16_t port, const char* from, int maxVersion)
{
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (from)
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        if (bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        {
            ADD_FAILURE() << "cannot bind to " << from << ": " << std::strerror(errno);
            return false;
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        ADD_FAILURE() << "cannot connect to port " << port << ": " << std::strerror(errno);
        return false;
    }
    // No read waits for ever, whatever the server does.
    const timeval limit{5, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    context = SSL_CTX_new(TLS_client_method());
    if (maxVersion)
        SSL_CTX_set_max_proto_version(context, maxVersion);
    ssl = SSL_new(context);
    SSL_set_fd(ssl, socket);
    return true;
}

bool TlsClient::Connect(std::uint16_t port, int maxVersion, const char* from)
{
    return Open(port, from, maxVersion) && SSL_connect(ssl) == 1;
}

bool TlsClient::SendHello(std::uint16_t port, const char* from)
{
    if (!Open(port, from, 0))
        return false;
    // Reading from an empty memory buffer, the first step writes the hello and stops there,
    // whatever the server answers meanwhile.
    BIO* nothing = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(nothing, -1);
    SSL_set0_rbio(ssl, nothing);
    const int result = SSL_connect(ssl);
    if (result < 0 && SSL_get_error(ssl, result) == SSL_ERROR_WANT_READ)
        return true;
    ADD_FAILURE() << "the hello was not sent: " << std::strerror(errno);
    return false;
}

bool TlsClient::Answered(int timeoutMs)
{
    pollfd record{socket, POLLIN, 0};
    if (poll(&record, 1, timeoutMs) <= 0)
        return false;
    char first = 0;
    return recv(socket, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

bool TlsClient::ClosedUnanswered(int timeoutMs)
{
    pollfd record{socket, POLLIN, 0};
    if (poll(&record, 1, timeoutMs) <= 0)
        return false;
    char first = 0;
    return recv(socket, &first, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

bool TlsClient::SeesClose(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd record{socket, POLLIN, 0};
        if (left.count() <= 0 || poll(&record, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        if (recv(socket, chunk, sizeof chunk, MSG_DONTWAIT) <= 0)
            return true;
    }
}

bool TlsClient::FinishHandshake()
{
    SSL_set0_rbio(ssl, BIO_new_socket(socket, BIO_NOCLOSE));
    return SSL_connect(ssl) == 1;
}

void TlsClient::SendRaw(const std::string& bytes)
{
    EXPECT_EQ(send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

std::string TlsClient::ServerCertificateDer() const
{
    X509* certificate = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
    const int length = certificate ? i2d_X509(certificate, nullptr) : 0;
    if (length <= 0)
        return "";
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* at = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(certificate, &at);
    return der;
}

std::string TlsClient::ServerPin() const
{
    X509* certificate = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
    const int length = certificate ? i2d_PUBKEY(X509_get0_pubkey(certificate), nullptr) : 0;
    if (length <= 0)
        return "";
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* at = reinterpret_cast<unsigned char*>(der.data());
    i2d_PUBKEY(X509_get0_pubkey(certificate), &at);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest)
    {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

std::string TlsClient::Version() const
{
    return ssl ? SSL_get_version(ssl) : "";
}

void TlsClient::Send(const std::string& bytes)
{
    EXPECT_EQ(SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
}

bool TlsClient::ReceiveExactly(unsigned char* into, std::size_t count, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t got = 0;
    while (got < count)
    {
        if (SSL_pending(ssl) == 0)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd record{socket, POLLIN, 0};
            if (left.count() <= 0 || poll(&record, 1, static_cast<int>(left.count())) <= 0)
                return false;
        }
        const int n = SSL_read(ssl, into + got, static_cast<int>(count - got));
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

Bytes TlsClient::ReceivePacket(int timeoutMs)
{
    unsigned char prefix[2];
    if (!ssl || !ReceiveExactly(prefix, 2, timeoutMs))
        return {};
    Bytes packet((std::size_t{prefix[0]} << 8) | prefix[1]);
    if (!ReceiveExactly(packet.data(), packet.size(), timeoutMs))
        return {};
    return packet;
}

} // namespace testing_support
