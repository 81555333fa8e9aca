// The server's TLS on OpenSSL: the context through asio::ssl, and each connection's SSL object
// driven straight on its non-blocking socket, so that TLS connections move their bytes through
// the same shared buffers, one read or write at a time, as plain ones do.

#include "server/connection/ServerTls.h"

#include "net/CertificateKey.h"

#include <asio/ssl/context.hpp>
#include <asio/ssl/error.hpp>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

// Forward-secret key exchange with AES-GCM or ChaCha20-Poly1305 only. TLS 1.3's suites all are;
// the default list also holds none other.
const char* const Tls12Suites = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const char* const Tls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// The reason OpenSSL gives for the last failure, or the error's own message.
std::string Reason(const asio::error_code& error)
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : error.message();
}

std::string PinOfCertificate(X509* certificate)
{
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    const int length = key ? i2d_PUBKEY(key, nullptr) : 0;
    if (length <= 0)
        return "";
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* at = der.data();
    i2d_PUBKEY(key, &at);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return "";
    return oNet::HexOf(digest, digestLength);
}

// When the certificate expires, in seconds since 1970 (UTC); 0 when it cannot be read.
std::time_t ExpiryOf(X509* certificate)
{
    const ASN1_TIME* notAfter = certificate ? X509_get0_notAfter(certificate) : nullptr;
    std::tm expiry{};
    if (!notAfter || ASN1_TIME_to_tm(notAfter, &expiry) != 1)
        return 0;
    return timegm(&expiry);
}

// The SSL object holds a reference to the context it was made from: a connection keeps the
// certificate it began with when the server loads another.
class OpenSslChannel final : public TlsChannel
{
public:
    OpenSslChannel(SSL* ssl, int descriptor) : descriptor(descriptor), ssl(ssl)
    {
        SSL_set_fd(ssl, descriptor);
        SSL_set_accept_state(ssl);
    }
    ~OpenSslChannel() override { SSL_free(ssl); }
    OpenSslChannel(const OpenSslChannel&) = delete;
    OpenSslChannel& operator=(const OpenSslChannel&) = delete;

    bool Handshake(asio::error_code& error, Wait& waitFor) override
    {
        errno = 0;
        const int result = SSL_do_handshake(ssl);
        if (result == 1)
        {
            error = {};
            return true;
        }
        Done(result, error, waitFor);
        return false;
    }

    std::size_t Read(char* buffer, std::size_t size, asio::error_code& error,
                     Wait& waitFor) override
    {
        errno = 0;
        return Done(SSL_read(ssl, buffer, static_cast<int>(size)), error, waitFor);
    }

    std::size_t Write(const char* bytes, std::size_t size, asio::error_code& error,
                      Wait& waitFor) override
    {
        errno = 0;
        return Done(SSL_write(ssl, bytes, static_cast<int>(size)), error, waitFor);
    }

    // The TLS close first, as far as the socket takes it now, then the end of the stream.
    void FinishSending() override
    {
        if (SSL_is_init_finished(ssl))
            SSL_shutdown(ssl);
        ERR_clear_error();
        ::shutdown(descriptor, SHUT_WR);
    }

private:
    std::size_t Done(int result, asio::error_code& error, Wait& waitFor)
    {
        error = {};
        if (result > 0)
            return static_cast<std::size_t>(result);
        const int failure = SSL_get_error(ssl, result);
        switch (failure)
        {
        case SSL_ERROR_WANT_READ:
            error = asio::error::would_block;
            waitFor = Wait::wait_read;
            break;
        case SSL_ERROR_WANT_WRITE:
            error = asio::error::would_block;
            waitFor = Wait::wait_write;
            break;
        case SSL_ERROR_ZERO_RETURN:
            error = asio::error::eof; // the client's TLS close
            break;
        case SSL_ERROR_SYSCALL:
            error = errno != 0 ? asio::error_code(errno, asio::error::get_system_category())
                               : asio::error::eof;
            break;
        default:
            // A client that goes without a TLS close is an ordinary disconnect.
            if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
                error = asio::error::eof;
            else
                error = asio::error_code(static_cast<int>(ERR_peek_last_error()),
                                         asio::error::get_ssl_category());
            break;
        }
        ERR_clear_error();
        return 0;
    }

    const int descriptor;
    SSL* ssl;
};

using OpenFile = std::unique_ptr<FILE, int (*)(FILE*)>;

// The file opened for reading, or nothing with the reason in error.
OpenFile OpenToRead(const std::string& what, const std::string& file, std::string& error)
{
    OpenFile opened(std::fopen(file.c_str(), "rb"), &std::fclose);
    if (!opened)
        error = "cannot read the " + what + " " + file + ": " + std::strerror(errno);
    return opened;
}

class OpenSslTls final : public ServerTls
{
public:
    OpenSslTls() : context(asio::ssl::context::tls_server) {}

    bool Load(const std::string& certificateFile, const std::string& keyFile, std::string& error)
    {
        if (!OpenToRead("certificate", certificateFile, error) ||
            !OpenToRead("private key", keyFile, error))
            return false;
        asio::error_code failure;
        ERR_clear_error();
        context.use_certificate_chain_file(certificateFile, failure);
        if (failure)
        {
            error = "cannot use the certificate " + certificateFile +
                    ": it holds no usable certificate in PEM form (" + Reason(failure) + ")";
            return false;
        }
        context.use_private_key_file(keyFile, asio::ssl::context::pem, failure);
        SSL_CTX* ctx = context.native_handle();
        // OpenSSL compares the key with the certificate as it takes the key (asio takes the
        // error off OpenSSL's queue into the code).
        const bool mismatch = failure && failure.category() == asio::error::get_ssl_category() &&
                              ERR_GET_REASON(static_cast<unsigned long>(failure.value())) ==
                                  X509_R_KEY_VALUES_MISMATCH;
        if (mismatch || (!failure && SSL_CTX_check_private_key(ctx) != 1))
        {
            ERR_clear_error();
            error = "the private key " + keyFile + " is not the key of the certificate " +
                    certificateFile;
            return false;
        }
        if (failure)
        {
            error = "cannot use the private key " + keyFile +
                    ": it holds no usable private key in PEM form (" + Reason(failure) + ")";
            return false;
        }
        pin = PinOfCertificate(SSL_CTX_get0_certificate(ctx));
        notAfter = ExpiryOf(SSL_CTX_get0_certificate(ctx));
        if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
            SSL_CTX_set_cipher_list(ctx, Tls12Suites) != 1 ||
            SSL_CTX_set_ciphersuites(ctx, Tls13Suites) != 1 || pin.empty() || notAfter == 0)
        {
            error = "cannot set up TLS with the certificate " + certificateFile + ": " +
                    Reason(asio::error::invalid_argument);
            return false;
        }
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                                     SSL_OP_CIPHER_SERVER_PREFERENCE);
        // Writes go out record by record from a buffer that is copied anew each time, and an
        // idle connection gives its buffers back.
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_RELEASE_BUFFERS);
        // OpenSSL writes to the socket itself: a client gone meanwhile must not end the server
        // with SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }

    const std::string& Pin() const override { return pin; }
    std::time_t NotAfter() const override { return notAfter; }

    std::unique_ptr<TlsChannel> Channel(
        asio::ip::tcp::socket::native_handle_type descriptor) override
    {
        SSL* ssl = SSL_new(context.native_handle());
        if (!ssl)
        {
            ERR_clear_error();
            return nullptr;
        }
        return std::make_unique<OpenSslChannel>(ssl, descriptor);
    }

private:
    asio::ssl::context context;
    std::string pin;
    std::time_t notAfter = 0;
};

} // namespace

bool ServerTls::Available()
{
    return true;
}

std::unique_ptr<ServerTls> ServerTls::Load(const std::string& certificateFile,
                                           const std::string& keyFile, std::string& error)
{
    auto tls = std::make_unique<OpenSslTls>();
    if (!tls->Load(certificateFile, keyFile, error))
        return nullptr;
    return tls;
}

bool ServerTls::PinOf(const std::string& certificateFile, std::string& pin, std::string& error)
{
    const OpenFile file = OpenToRead("certificate", certificateFile, error);
    if (!file)
        return false;
    std::unique_ptr<X509, void (*)(X509*)> certificate(
        PEM_read_X509(file.get(), nullptr, nullptr, nullptr), &X509_free);
    ERR_clear_error();
    pin = certificate ? PinOfCertificate(certificate.get()) : "";
    if (pin.empty())
    {
        error = "no certificate (PEM) in " + certificateFile;
        return false;
    }
    return true;
}
