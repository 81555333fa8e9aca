// TLS through Windows' own Schannel (SSPI): the handshake on the connected socket, then records
// decrypted into the stream the frame loop reads and encrypted on their way out.
//
// TLS 1.2 is asked for through the older SCHANNEL_CRED, whose protocol setting both Windows and
// Wine honour. The system's certificate check is switched off (manual validation): the program
// checks the server's key against the pin the user trusts instead.

#define SECURITY_WIN32
#include "net/TlsTransport.h"

#include "net/CertificateKey.h"
#include "net/SocketCalls.h"

#include <windows.h>

#include <wincrypt.h>

#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace oNet
{

namespace
{

constexpr unsigned long ContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                       ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// The largest TLS record, with room for its header and trailer.
constexpr std::size_t MaxRecordBytes = 16384 + 2048;

std::string StatusText(SECURITY_STATUS status)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    switch (status)
    {
    case SEC_E_ILLEGAL_MESSAGE:
        return std::string("The server's answer is not TLS: it may not accept encrypted "
                           "connections (") +
               code + ").";
    case SEC_E_ALGORITHM_MISMATCH:
        return std::string("The server offers no protocol and cipher this program accepts "
                           "(TLS 1.2 with a modern cipher) (") +
               code + ").";
    default:
        return std::string("The TLS handshake failed (error ") + code + ").";
    }
}

// The SHA-256 of the certificate's SubjectPublicKeyInfo, in hex; empty when there is none.
std::string PinOf(PCCERT_CONTEXT certificate)
{
    std::size_t offset = 0;
    std::size_t length = 0;
    if (!certificate ||
        !FindPublicKeyInfo(certificate->pbCertEncoded, certificate->cbCertEncoded, offset, length))
        return "";
    BYTE digest[32];
    DWORD digestLength = sizeof digest;
    if (!CryptHashCertificate(0, CALG_SHA_256, 0, certificate->pbCertEncoded + offset,
                              static_cast<DWORD>(length), digest, &digestLength))
        return "";
    return HexOf(digest, digestLength);
}

class SchannelTransport final : public TlsTransport
{
public:
    SchannelTransport(SOCKET socket, const SocketCalls& calls) : socket(socket), calls(calls) {}
    ~SchannelTransport() override
    {
        if (haveContext)
            DeleteSecurityContext(&context);
        if (haveCredentials)
            FreeCredentialsHandle(&credentials);
    }
    SchannelTransport(const SchannelTransport&) = delete;
    SchannelTransport& operator=(const SchannelTransport&) = delete;

    bool Begin(const std::string& serverName, std::string& failure);

    Progress ContinueHandshake(int waitMs, std::string& failure) override;
    const std::string& ServerPin() const override { return pin; }
    int Poll(WSAPOLLFD& record, int timeoutMs) override;
    int Receive(char* buffer, int length) override;
    int Send(const char* buffer, int length) override;
    int LastError() override { return error; }

private:
    enum class Sending
    {
        Done,
        WouldBlock,
        Failed, // the socket's error is in error
    };

    bool WaitFor(short events, int waitMs, std::string& failure);
    bool ReadHandshake(std::string& failure);
    Progress StepContext(std::string& failure);
    Progress Finish(std::string& failure);
    void QueueToken(SecBuffer& token);
    Sending SendPending();
    bool Decrypt();
    bool FlushPending() { return SendPending() == Sending::Done; }
    bool HasPlain() const { return plainTaken < plain.size(); }
    bool HasPendingOut() const { return pendingSent < pendingOut.size(); }

    SOCKET socket;
    const SocketCalls& calls;
    std::wstring target; // the server's name, as the handshake checks it
    CredHandle credentials{};
    CtxtHandle context{};
    bool haveCredentials = false;
    bool haveContext = false;
    bool needInput = true;  // the handshake's next step needs more from the server
    bool contextOk = false; // the handshake is complete once its last message has gone
    SecPkgContext_StreamSizes sizes{};

    std::vector<char> incoming; // received, not yet decrypted
    std::string plain;          // decrypted, not yet taken by the frame loop
    std::size_t plainTaken = 0;
    std::vector<char> pendingOut; // a message or record the socket has not taken all of
    std::size_t pendingSent = 0;
    bool closed = false; // the server's TLS close has come
    int error = 0;
    std::string pin;
};

std::string SocketFailure(int code)
{
    return "The connection failed during the TLS handshake (socket error " + std::to_string(code) +
           ").";
}

// Whether the socket becomes ready for the events within the time. A poll that fails is the
// end of the handshake.
bool SchannelTransport::WaitFor(short events, int waitMs, std::string& failure)
{
    WSAPOLLFD record{};
    record.fd = socket;
    record.events = events;
    const int ready = calls.poll(&record, 1, waitMs);
    if (ready < 0)
        failure = SocketFailure(calls.lastError());
    return ready > 0;
}

// A handshake message becomes the transport's to send. It is sent even after a failure: it may
// be an alert that tells the server why.
void SchannelTransport::QueueToken(SecBuffer& token)
{
    if (token.pvBuffer && token.cbBuffer > 0)
    {
        const char* bytes = static_cast<const char*>(token.pvBuffer);
        pendingOut.insert(pendingOut.end(), bytes, bytes + token.cbBuffer);
    }
    if (token.pvBuffer)
        FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
}

bool SchannelTransport::Begin(const std::string& serverName, std::string& failure)
{
    target.assign(serverName.begin(), serverName.end());
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    const SECURITY_STATUS acquired =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &settings, nullptr, nullptr, &credentials, &expiry);
    if (acquired != SEC_E_OK)
    {
        failure = "The system's TLS cannot be used (error " + std::to_string(acquired) + ").";
        return false;
    }
    haveCredentials = true;

    unsigned long attributes = 0;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    const SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials, nullptr, target.data(), ContextFlags, 0, 0,
                                   nullptr, 0, &context, &outDesc, &attributes, &expiry);
    QueueToken(out);
    if (status != SEC_I_CONTINUE_NEEDED)
    {
        failure = StatusText(status);
        return false;
    }
    haveContext = true;
    if (SendPending() == Sending::Failed)
    {
        failure = SocketFailure(error);
        return false;
    }
    return true;
}

// The socket's part of a step: the rest of the last message out, or more of the server's in.
// Then the handshake goes on with what it has.
TlsTransport::Progress SchannelTransport::ContinueHandshake(int waitMs, std::string& failure)
{
    if (HasPendingOut())
    {
        if (!WaitFor(POLLWRNORM, waitMs, failure))
            return failure.empty() ? Progress::Pending : Progress::Failed;
        const Sending sent = SendPending();
        if (sent == Sending::Failed)
        {
            failure = SocketFailure(error);
            return Progress::Failed;
        }
        if (sent == Sending::WouldBlock)
            return Progress::Pending;
        if (contextOk)
            return Finish(failure);
        waitMs = 0; // the server's answer may be there already
    }
    if (needInput)
    {
        if (!WaitFor(POLLRDNORM, waitMs, failure))
            return failure.empty() ? Progress::Pending : Progress::Failed;
        if (!ReadHandshake(failure))
            return failure.empty() ? Progress::Pending : Progress::Failed;
    }
    return StepContext(failure);
}

// One read of the server's handshake messages. False with no failure when there was nothing to
// read after all.
bool SchannelTransport::ReadHandshake(std::string& failure)
{
    char chunk[4096];
    const int received = calls.receive(socket, chunk, sizeof chunk);
    if (received == 0)
    {
        failure = "The server closed the connection during the TLS handshake: it may not accept "
                  "encrypted connections.";
        return false;
    }
    if (received < 0)
    {
        const int code = calls.lastError();
        if (code != WSAEWOULDBLOCK)
            failure = SocketFailure(code);
        return false;
    }
    incoming.insert(incoming.end(), chunk, chunk + received);
    if (incoming.size() > 4 * MaxRecordBytes)
    {
        failure = StatusText(SEC_E_ILLEGAL_MESSAGE);
        return false;
    }
    needInput = false;
    return true;
}

// The handshake goes on with the server's messages received so far.
TlsTransport::Progress SchannelTransport::StepContext(std::string& failure)
{
    SecBuffer in[2] = {
        {static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    TimeStamp expiry{};
    const SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials, &context, target.data(), ContextFlags, 0, 0,
                                   &inDesc, 0, nullptr, &outDesc, &attributes, &expiry);
    if (status == SEC_E_INCOMPLETE_MESSAGE)
    {
        QueueToken(out);
        needInput = true;
        return Progress::Pending;
    }
    QueueToken(out);
    const Sending sent = SendPending();
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
        status != SEC_I_INCOMPLETE_CREDENTIALS)
    {
        failure = StatusText(status);
        return Progress::Failed;
    }
    if (sent == Sending::Failed)
    {
        failure = SocketFailure(error);
        return Progress::Failed;
    }
    // What the call did not take belongs to the next message, or to the stream.
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0)
        incoming.erase(incoming.begin(), incoming.end() - in[1].cbBuffer);
    else if (status != SEC_I_INCOMPLETE_CREDENTIALS)
        incoming.clear();
    if (status == SEC_E_OK)
    {
        contextOk = true;
        return HasPendingOut() ? Progress::Pending : Finish(failure);
    }
    // Asked for a certificate of ours, there is none to give: the next step goes on without.
    needInput = status != SEC_I_INCOMPLETE_CREDENTIALS && incoming.empty();
    return Progress::Pending;
}

// The handshake is complete: the record sizes, the server's pin, and whatever came after the
// handshake, which may already be records of the stream.
TlsTransport::Progress SchannelTransport::Finish(std::string& failure)
{
    if (QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK)
    {
        failure = "The system's TLS gave no record sizes.";
        return Progress::Failed;
    }
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) ==
        SEC_E_OK)
    {
        pin = PinOf(certificate);
        CertFreeCertificateContext(certificate);
    }
    if (pin.empty())
    {
        failure = "The server sent no certificate whose key could be read.";
        return Progress::Failed;
    }
    if (!Decrypt())
    {
        failure = "The server's first record could not be decrypted.";
        return Progress::Failed;
    }
    return Progress::Done;
}

// Decrypts every whole record received. False for a record that cannot be decrypted.
bool SchannelTransport::Decrypt()
{
    while (!incoming.empty() && !closed)
    {
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(incoming.size()), SECBUFFER_DATA, incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&context, &description, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return true;
        if (status == SEC_I_CONTEXT_EXPIRED)
        {
            closed = true; // the server's TLS close, as Windows reports it
            incoming.clear();
            return true;
        }
        if (status != SEC_E_OK)
            return false;
        const SecBuffer* data = nullptr;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& buffer : buffers)
        {
            if (buffer.BufferType == SECBUFFER_DATA)
                data = &buffer;
            else if (buffer.BufferType == SECBUFFER_EXTRA)
                extra = &buffer;
        }
        if (!data || data->cbBuffer == 0)
            closed = true; // Wine reports the TLS close as an empty record
        else
        {
            if (plainTaken == plain.size())
            {
                plain.clear();
                plainTaken = 0;
            }
            plain.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
        }
        if (extra && extra->cbBuffer > 0)
            incoming.erase(incoming.begin(), incoming.end() - extra->cbBuffer);
        else
            incoming.clear();
    }
    return true;
}

int SchannelTransport::Poll(WSAPOLLFD& record, int timeoutMs)
{
    if (pendingSent < pendingOut.size())
        record.events |= POLLWRNORM;
    // What has been decrypted already, or the TLS close, is there to be read without waiting.
    const bool ready = HasPlain() || closed;
    const int result = calls.poll(&record, 1, ready ? 0 : timeoutMs);
    if (result > 0 && (record.revents & POLLWRNORM))
        FlushPending();
    if (!ready)
        return result;
    if (result <= 0)
        record.revents = 0;
    record.revents |= POLLRDNORM;
    return 1;
}

// One recv when nothing decrypted waits, as the frame loop reads once per pass.
int SchannelTransport::Receive(char* buffer, int length)
{
    if (!HasPlain() && !closed)
    {
        const std::size_t had = incoming.size();
        incoming.resize(std::max(had + 4096, MaxRecordBytes));
        const int received =
            calls.receive(socket, incoming.data() + had, static_cast<int>(incoming.size() - had));
        incoming.resize(had + static_cast<std::size_t>(std::max(received, 0)));
        if (received == 0)
            return 0;
        if (received < 0)
        {
            error = calls.lastError();
            return -1;
        }
        if (!Decrypt())
        {
            error = WSAECONNABORTED;
            return -1;
        }
    }
    if (HasPlain())
    {
        const std::size_t count =
            std::min(static_cast<std::size_t>(length), plain.size() - plainTaken);
        std::memcpy(buffer, plain.data() + plainTaken, count);
        plainTaken += count;
        return static_cast<int>(count);
    }
    if (closed)
        return 0;
    error = WSAEWOULDBLOCK; // part of a record: the rest comes later
    return -1;
}

// What is left of an earlier message or record goes first, as much as the socket takes now.
SchannelTransport::Sending SchannelTransport::SendPending()
{
    while (HasPendingOut())
    {
        const int sent = calls.send(socket, pendingOut.data() + pendingSent,
                                    static_cast<int>(pendingOut.size() - pendingSent));
        if (sent <= 0)
        {
            error = calls.lastError();
            return error == WSAEWOULDBLOCK ? Sending::WouldBlock : Sending::Failed;
        }
        pendingSent += static_cast<std::size_t>(sent);
    }
    pendingOut.clear();
    pendingSent = 0;
    return Sending::Done;
}

// The bytes become one record, which is then the transport's to send: the part the socket does
// not take now goes out before anything else.
int SchannelTransport::Send(const char* buffer, int length)
{
    if (!FlushPending())
    {
        error = WSAEWOULDBLOCK;
        return -1;
    }
    const unsigned long count =
        std::min(static_cast<unsigned long>(length), sizes.cbMaximumMessage);
    std::vector<char> record(sizes.cbHeader + count + sizes.cbTrailer);
    std::memcpy(record.data() + sizes.cbHeader, buffer, count);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {count, SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + count},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context, 0, &description, 0) != SEC_E_OK)
    {
        error = WSAECONNABORTED;
        return -1;
    }
    // The sizes EncryptMessage gives, not those asked for: Wine's trailer is smaller than the
    // room it asks for.
    record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    pendingOut = std::move(record);
    pendingSent = 0;
    FlushPending();
    return static_cast<int>(count);
}

} // namespace

bool TlsTransport::Available()
{
    return true;
}

std::unique_ptr<TlsTransport> TlsTransport::Begin(SOCKET socket, const SocketCalls& calls,
                                                  const std::string& serverName,
                                                  std::string& failure)
{
    auto transport = std::make_unique<SchannelTransport>(socket, calls);
    if (!transport->Begin(serverName, failure))
        return nullptr;
    return transport;
}

} // namespace oNet
