#include "net/Client.h"

#include "net/TlsTransport.h"

#include <cstring>
#include <iostream>
#include <utility>

namespace oNet
{

namespace
{

// While Connect waits, it looks at the connection this often.
constexpr int ConnectWaitMs = 50;

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
    BeginConnect(std::move(endpoint));
    while (ContinueConnect(ConnectWaitMs))
    {
    }
    return connected;
}

void Client::BeginConnect(Endpoint endpoint)
{
    connected = false;
    failure = ConnectFailure::None;
    failureReason.clear();
    server = std::move(endpoint);
    attempt = std::make_unique<ConnectAttempt>(server, calls, useTls, trustServer, now);
}

bool Client::ContinueConnect(int waitMs)
{
    if (!attempt)
        return false;
    switch (attempt->Step(waitMs))
    {
    case ConnectAttempt::Progress::Pending:
        return true;
    case ConnectAttempt::Progress::Failed:
        failure = attempt->failure;
        failureReason = attempt->failureReason;
        attempt.reset();
        OnConnectFail();
        return false;
    case ConnectAttempt::Progress::Connected:
        break;
    }
    const SOCKET socket = attempt->TakeSocket();
    std::unique_ptr<Transport> tls = attempt->TakeTls();
    attempt.reset();
    Opened(socket, std::move(tls));
    return false;
}

// Only once the socket is fully set up: a connection that fails after connecting is no success
// to report.
void Client::Opened(SOCKET socket, std::unique_ptr<Transport> tls)
{
    std::cout << "Successfully connected to server " << server.ipText << "." << std::endl
              << std::endl;
    connection = Connection(socket);
    secure = std::move(tls);
    pollRecord = {};
    pollRecord.fd = socket;
    pollRecord.events = POLLRDNORM;
    connected = true;
    OnConnect();
}

void Client::Disconnect(std::string reason)
{
    // The override sees the connection as it was: still marked connected, socket still open.
    OnDisconnect(std::move(reason));
    pollRecord.fd = INVALID_SOCKET;
    connected = false;
    attempt.reset();
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

// As many writes as the socket takes, one for each packet: its 2-byte length and its bytes go
// together, so that on a TLS connection a packet is one record, and its length tells nothing by
// a record of its own. A write that takes part of a frame leaves the rest for a later pass.
void Client::SendStep()
{
    PacketQueue& outgoing = connection.outgoing;
    char* const frame = connection.sendBuffer.data();
    while (outgoing.HasPending())
    {
        if (outgoing.stage == TransferStage::Header)
        {
            const Packet& packet = *outgoing.Front();
            outgoing.currentSize = static_cast<std::uint16_t>(2 + packet.buffer.size());
            const std::uint16_t prefix = htons(static_cast<std::uint16_t>(packet.buffer.size()));
            std::memcpy(frame, &prefix, 2);
            std::memcpy(frame + 2, packet.buffer.data(), packet.buffer.size());
            outgoing.transferred = 0;
            outgoing.stage = TransferStage::Body;
        }
        const int sent =
            Way().Send(frame + outgoing.transferred, outgoing.currentSize - outgoing.transferred);
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
