#pragma once

#include "net/ConnectAttempt.h"
#include "net/Endpoint.h"
#include "net/Packet.h"
#include "net/PacketQueue.h"
#include "net/SocketCalls.h"
#include "net/SocketPlatform.h"
#include "net/Transport.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace oNet
{

// The whole state of one connection: the socket, the two packet queues with their partial
// transfers, and the buffer in which a received packet's bytes are collected.
struct Connection
{
    Connection() = default;
    explicit Connection(SOCKET socket) : socket(socket) {}

    SOCKET socket = INVALID_SOCKET;
    PacketQueue incoming;
    PacketQueue outgoing;
    std::array<char, MaxPacketSize> receiveBuffer{};
    // The frame of the packet being sent: its length prefix and its bytes, written together.
    std::array<char, 2 + MaxPacketSize> sendBuffer{};
};

// The library's TCP client: one connection to one server, worked on one frame at a time by its
// owner's loop. Derived classes override the virtual operations to handle packets and events.
// The owner starts the socket layer before Connect and cleans it up after its last Disconnect;
// destroying a client does not close its socket.
class Client
{
public:
    Client() = default;
    // The transport refers to the client's own members.
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    virtual ~Client() = default;

    // How long a frame's poll waits for the socket.
    static constexpr int PollTimeoutMs = 1;

    // One pass of network work: poll for at most PollTimeoutMs, read at most once, write what
    // the socket takes, then hand every complete received packet to ProcessPacket. False when
    // the pass closed the connection.
    virtual bool Frame();
    // True when the packet was handled; false closes the connection.
    virtual bool ProcessPacket(std::shared_ptr<Packet> packet);
    virtual void OnConnect();
    virtual void OnConnectFail();
    virtual void OnDisconnect(std::string reason);

    // Opens the connection, waiting until it is made or has failed. True only when the
    // connection is open and OnConnect has run.
    bool Connect(Endpoint endpoint);
    // Starts opening the connection without waiting: ContinueConnect takes it a step further.
    // The outcome is as Connect's, told by OnConnect or OnConnectFail (and failure).
    void BeginConnect(Endpoint endpoint);
    // One step of the connection being opened, waiting at most waitMs for the socket. True
    // while it is still being opened.
    bool ContinueConnect(int waitMs);
    bool IsConnecting() const { return attempt != nullptr; }
    bool IsConnected() const { return connected; }
    // Reports the reason through OnDisconnect and closes the socket; a connection still being
    // opened is given up. Queued packets stay until the next successful Connect.
    void Disconnect(std::string reason);

    WSAPOLLFD pollRecord{};
    WSAPOLLFD pollWork{};
    Connection connection;
    bool connected = false;
    SocketCalls calls = PlatformSocketCalls();
    // The time, for the limits of a connection being opened (tests set a clock of their own).
    Clock::time_point (*now)() = Clock::now;
    // The server of the last Connect or BeginConnect.
    Endpoint server;

    // With useTls, Connect makes a TLS handshake on the new connection and asks trustServer
    // about the server's key pin before it reports success; nothing is sent before both. The
    // frame loop then moves its bytes through TLS, never knowing it.
    bool useTls = false;
    TrustCheck trustServer;
    ConnectFailure failure = ConnectFailure::None;
    std::string failureReason;

protected:
    // Steps of a frame shared with derived frames: the poll with its receive and send steps
    // (false when it closed the connection), and the dispatch of received packets.
    bool Transfer();
    template <typename Handler> bool Dispatch(Handler&& handle);

private:
    void Opened(SOCKET socket, std::unique_ptr<Transport> tls);
    Transport& Way() { return secure ? *secure : plain; }

    std::unique_ptr<ConnectAttempt> attempt; // the connection being opened
    PlainTransport plain{connection.socket, calls};
    std::unique_ptr<Transport> secure; // TLS, when the connection has it
    bool ReceiveStep();
    void SendStep();
};

// Hands each received packet, oldest first, to handle. A packet stays queued until it has been
// handled; one that cannot be (handle returns false, or a PacketException escapes while it reads
// a malformed packet) closes the connection and ends the pass.
template <typename Handler> bool Client::Dispatch(Handler&& handle)
{
    PacketQueue& incoming = connection.incoming;
    while (incoming.HasPending())
    {
        std::shared_ptr<Packet> packet = incoming.Front();
        bool handled = false;
        try
        {
            handled = handle(std::move(packet));
        }
        catch (const PacketException&)
        {
            handled = false;
        }
        if (!handled)
        {
            Disconnect("Failed to process incoming packet.");
            return false;
        }
        incoming.Pop();
    }
    return true;
}

} // namespace oNet
