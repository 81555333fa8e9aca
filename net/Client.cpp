#include "net/Client.h"

#include "net/SocketAddress.h"
#include "net/TlsTransport.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

namespace oNet
{

namespace
{

SOCKET PlatformOpen(int family)
{
    return socket(family, SOCK_STREAM, IPPROTO_TCP);
}

bool PlatformSetNoDelay(SOCKET socket)
{
    const int noDelay = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                      sizeof noDelay) == 0;
}

int PlatformConnect(SOCKET socket, const sockaddr* address, int length)
{
    return connect(socket, address, length);
}

int PlatformPoll(WSAPOLLFD* records, unsigned long count, int timeoutMs)
{
    return WSAPoll(records, count, timeoutMs);
}

int PlatformReceive(SOCKET socket, char* buffer, int length)
{
    return recv(socket, buffer, length, 0);
}

int PlatformSend(SOCKET socket, const char* buffer, int length)
{
    return send(socket, buffer, length, 0);
}

int PlatformClose(SOCKET socket)
{
    return closesocket(socket);
}

int PlatformLastError()
{
    return WSAGetLastError();
}

// A socket being set up: closed when it goes, unless it has been handed over.
class SocketUnderConstruction
{
public:
    SocketUnderConstruction(SOCKET socket, int (*close)(SOCKET)) : socket(socket), close(close) {}
    ~SocketUnderConstruction()
    {
        if (socket != INVALID_SOCKET)
            close(socket);
    }
    SocketUnderConstruction(const SocketUnderConstruction&) = delete;
    SocketUnderConstruction& operator=(const SocketUnderConstruction&) = delete;

    SOCKET Get() const { return socket; }
    SOCKET Release()
    {
        const SOCKET released = socket;
        socket = INVALID_SOCKET;
        return released;
    }

private:
    SOCKET socket;
    int (*close)(SOCKET);
};

constexpr int PollTimeoutMs = 1;

} // namespace

int PlainTransport::Poll(WSAPOLLFD& record, int timeoutMs)
{
    return calls.poll(&record, 1, timeoutMs);
}

int PlainTransport::Receive(char* buffer, int length)
{
    return calls.receive(socket, buffer, length);
}

int PlainTransport::Send(const char* buffer, int length)
{
    return calls.send(socket, buffer, length);
}

int PlainTransport::LastError()
{
    return calls.lastError();
}

SocketCalls PlatformSocketCalls()
{
    return {PlatformOpen,    SetNonBlocking, PlatformSetNoDelay, PlatformConnect,  PlatformPoll,
            PlatformReceive, PlatformSend,   PlatformClose,      PlatformLastError};
}

bool Client::ProcessPacket(std::shared_ptr<Packet> packet)
{
    std::cout << "Packet received with size: " << packet->buffer.size() << std::endl;
    return true;
}

void Client::OnConnect()
{
    std::cout << "Successfully connected to server." << std::endl << std::endl;
}

void Client::OnConnectFail()
{
    std::cout << "Failed to connect." << std::endl;
}

void Client::OnDisconnect(std::string reason)
{
    std::cout << "Lost connection. Reason: " << reason << std::endl;
}

bool Client::Connect(Endpoint endpoint)
{
    connected = false;
    failure = ConnectFailure::None;
    failureReason.clear();
    std::unique_ptr<Transport> tls;
    const SOCKET connectedSocket = endpoint.ipVersion == IpVersion::Unresolved ? INVALID_SOCKET
                                   : useTls ? OpenSecureSocket(endpoint, tls)
                                            : OpenConnectedSocket(endpoint);
    if (connectedSocket == INVALID_SOCKET)
    {
        if (failure == ConnectFailure::None)
            failure = ConnectFailure::Unreachable;
        OnConnectFail();
        return false;
    }
    // Only once the socket is fully set up: a connection that fails after connecting is no
    // success to report.
    std::cout << "Successfully connected to server " << endpoint.ipText << "." << std::endl
              << std::endl;

    connection = Connection(connectedSocket);
    secure = std::move(tls);
    pollRecord = {};
    pollRecord.fd = connectedSocket;
    pollRecord.events = POLLRDNORM;
    connected = true;
    OnConnect();
    return true;
}

// A connected socket with a TLS handshake made on it and the server's key trusted, or
// INVALID_SOCKET with nothing left open and the failure noted. When the user had to be asked
// about the key, the connection is made anew: the server may have given up waiting meanwhile.
SOCKET Client::OpenSecureSocket(const Endpoint& endpoint, std::unique_ptr<Transport>& tls)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        SocketUnderConstruction socketHandle(OpenConnectedSocket(endpoint), calls.close);
        if (socketHandle.Get() == INVALID_SOCKET)
            return INVALID_SOCKET;
        std::unique_ptr<TlsTransport> made =
            TlsTransport::Handshake(socketHandle.Get(), calls, endpoint.hostText, failureReason);
        if (!made)
        {
            failure = ConnectFailure::NotSecure;
            std::cerr << "No secure connection to " << endpoint.ipText << ": " << failureReason
                      << std::endl;
            return INVALID_SOCKET;
        }
        const Trust trust = trustServer ? trustServer(made->ServerPin()) : Trust::Trusted;
        if (trust == Trust::NotTrusted)
        {
            failure = ConnectFailure::NotTrusted;
            return INVALID_SOCKET;
        }
        if (trust == Trust::Trusted || attempt == 1)
        {
            tls = std::move(made);
            return socketHandle.Release();
        }
    }
    return INVALID_SOCKET;
}

// A socket connected to the endpoint and switched to non-blocking mode, or INVALID_SOCKET with
// nothing left open.
SOCKET Client::OpenConnectedSocket(const Endpoint& endpoint)
{
    SocketUnderConstruction socketHandle(
        calls.open(endpoint.ipVersion == IpVersion::V4 ? AF_INET : AF_INET6), calls.close);
    if (socketHandle.Get() == INVALID_SOCKET || !calls.setNonBlocking(socketHandle.Get(), true) ||
        !calls.setNoDelay(socketHandle.Get()))
    {
        std::cerr << "Socket could not be created. Error code: " << calls.lastError() << std::endl;
        return INVALID_SOCKET;
    }
    // The connect call itself blocks until the platform has an answer.
    sockaddr_storage address;
    const int addressLength = SocketAddressOf(endpoint, address);
    if (!calls.setNonBlocking(socketHandle.Get(), false) ||
        calls.connect(socketHandle.Get(), reinterpret_cast<const sockaddr*>(&address),
                      addressLength) != 0 ||
        !calls.setNonBlocking(socketHandle.Get(), true))
        return INVALID_SOCKET;
    return socketHandle.Release();
}

void Client::Disconnect(std::string reason)
{
    // The override sees the connection as it was: still marked connected, socket still open.
    OnDisconnect(std::move(reason));
    pollRecord.fd = INVALID_SOCKET;
    connected = false;
    secure.reset();
    if (connection.socket == INVALID_SOCKET)
        return;
    if (calls.close(connection.socket) == 0)
        connection.socket = INVALID_SOCKET;
    else
        (void)calls.lastError(); // the handle stays; nothing more can be done with it
}

bool Client::Frame()
{
    return Transfer() && Dispatch([this](std::shared_ptr<Packet> packet) {
               return ProcessPacket(std::move(packet));
           });
}

bool Client::Transfer()
{
    if (connection.outgoing.HasPending())
        pollRecord.events |= POLLWRNORM;
    pollWork = pollRecord;
    if (Way().Poll(pollWork, PollTimeoutMs) <= 0)
        return true; // nothing to do, or a failed poll: the pass goes on to dispatch

    const auto events = pollWork.revents;
    if (events & POLLERR)
    {
        Disconnect("POLLERR");
        return false;
    }
    // A hang-up reported together with unread data waits until the data has been read: the last
    // lines a server sends before it closes ("Server is full.", for one) are shown, and the read
    // that finds the end gives the reason.
    if ((events & POLLHUP) && !(events & POLLRDNORM))
    {
        Disconnect("POLLHUP");
        return false;
    }
    if (events & POLLNVAL)
    {
        Disconnect("POLLINVAL");
        return false;
    }
    if ((events & POLLRDNORM) && !ReceiveStep())
        return false;
    if (events & POLLWRNORM)
        SendStep();
    return true;
}

// One read: the rest of the 2-byte length, or the rest of the body.
bool Client::ReceiveStep()
{
    PacketQueue& incoming = connection.incoming;
    char* destination;
    int wanted;
    if (incoming.stage == TransferStage::Header)
    {
        destination = reinterpret_cast<char*>(&incoming.currentSize) + incoming.transferred;
        wanted = 2 - incoming.transferred;
    }
    else
    {
        destination = connection.receiveBuffer.data() + incoming.transferred;
        wanted = incoming.currentSize - incoming.transferred;
    }

    const int received = Way().Receive(destination, wanted);
    if (received == 0)
    {
        Disconnect("Recv==0");
        return false;
    }
    if (received < 0)
    {
        if (Way().LastError() == WSAEWOULDBLOCK)
            return true;
        Disconnect("Recv<0");
        return false;
    }

    incoming.transferred += received;
    if (incoming.stage == TransferStage::Header)
    {
        if (incoming.transferred < 2)
            return true;
        incoming.currentSize = ntohs(incoming.currentSize);
        // A packet without room for its type field would be read past its end.
        if (!IsValidFrameLength(incoming.currentSize))
        {
            Disconnect(incoming.currentSize > MaxPacketSize ? "Packet size too large."
                                                            : "Packet size too small.");
            return false;
        }
        incoming.transferred = 0;
        incoming.stage = TransferStage::Body;
        return true;
    }

    if (incoming.transferred == incoming.currentSize)
    {
        auto packet = std::make_shared<Packet>();
        packet->buffer.resize(incoming.currentSize);
        std::memcpy(packet->buffer.data(), connection.receiveBuffer.data(), incoming.currentSize);
        incoming.Append(std::move(packet));
        incoming.currentSize = 0;
        incoming.transferred = 0;
        incoming.stage = TransferStage::Header;
    }
    return true;
}

// As many writes as the socket takes: each packet's length prefix, then its buffer, with
// separate calls. A write that moves nothing leaves the rest for a later pass.
void Client::SendStep()
{
    PacketQueue& outgoing = connection.outgoing;
    while (outgoing.HasPending())
    {
        const std::shared_ptr<Packet>& packet = outgoing.Front();
        if (outgoing.stage == TransferStage::Header)
        {
            outgoing.currentSize = static_cast<std::uint16_t>(packet->buffer.size());
            const std::uint16_t prefix = htons(outgoing.currentSize);
            const int sent =
                Way().Send(reinterpret_cast<const char*>(&prefix) + outgoing.transferred,
                           2 - outgoing.transferred);
            if (sent > 0)
                outgoing.transferred += sent;
            if (outgoing.transferred != 2)
                break;
            outgoing.transferred = 0;
            outgoing.stage = TransferStage::Body;
        }

        const int sent = Way().Send(packet->buffer.data() + outgoing.transferred,
                                    outgoing.currentSize - outgoing.transferred);
        if (sent > 0)
            outgoing.transferred += sent;
        if (outgoing.transferred != outgoing.currentSize)
            break;
        outgoing.transferred = 0;
        outgoing.stage = TransferStage::Header;
        outgoing.Pop();
    }
    if (!outgoing.HasPending())
        pollRecord.events = POLLRDNORM;
}

} // namespace oNet
