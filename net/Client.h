#pragma once

#include "net/Endpoint.h"
#include "net/Packet.h"
#include "net/PacketQueue.h"
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
};

// Every socket call the client makes that can fail. They default to the platform's own; tests
// replace them to make any one of them fail, a peer that accepts one byte at a time, or a poll
// that reports chosen events.
struct SocketCalls
{
    SOCKET (*open)(int family); // a TCP stream socket
    bool (*setNonBlocking)(SOCKET socket, bool nonBlocking);
    bool (*setNoDelay)(SOCKET socket); // small writes go out at once
    int (*connect)(SOCKET socket, const sockaddr* address, int length);
    int (*poll)(WSAPOLLFD* records, unsigned long count, int timeoutMs);
    int (*receive)(SOCKET socket, char* buffer, int length);
    int (*send)(SOCKET socket, const char* buffer, int length);
    int (*close)(SOCKET socket);
    int (*lastError)();
};

SocketCalls PlatformSocketCalls();

// Why the last Connect failed.
enum class ConnectFailure
{
    None,
    Unreachable, // no connection to the server
    NotSecure,   // connected, but no TLS: the reason is in failureReason
    NotTrusted,  // TLS, but the server's key is not one the user trusts
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

    // One pass of network work: poll for at most 1 ms, read at most once, write what the socket
    // takes, then hand every complete received packet to ProcessPacket. False when the pass
    // closed the connection.
    virtual bool Frame();
    // True when the packet was handled; false closes the connection.
    virtual bool ProcessPacket(std::shared_ptr<Packet> packet);
    virtual void OnConnect();
    virtual void OnConnectFail();
    virtual void OnDisconnect(std::string reason);

    // Opens the connection; blocks while the platform connects. True only when the connection
    // is open and OnConnect has run.
    bool Connect(Endpoint endpoint);
    bool IsConnected() const { return connected; }
    // Reports the reason through OnDisconnect and closes the socket. Queued packets stay until
    // the next successful Connect.
    void Disconnect(std::string reason);

    WSAPOLLFD pollRecord{};
    WSAPOLLFD pollWork{};
    Connection connection;
    bool connected = false;
    SocketCalls calls = PlatformSocketCalls();

    // With useTls, Connect makes a TLS handshake on the new connection and asks trustServer
    // about the server's key pin before it reports success; nothing is sent before both. The
    // frame loop then moves its bytes through TLS, never knowing it.
    bool useTls = false;
    enum class Trust
    {
        Trusted,
        TrustedOnAsking, // the user was asked, which may have taken longer than the server waits
        NotTrusted,
    };
    std::function<Trust(const std::string& serverPin)> trustServer;
    ConnectFailure failure = ConnectFailure::None;
    std::string failureReason;

protected:
    // Steps of a frame shared with derived frames: the poll with its receive and send steps
    // (false when it closed the connection), and the dispatch of received packets.
    bool Transfer();
    template <typename Handler> bool Dispatch(Handler&& handle);

private:
    SOCKET OpenConnectedSocket(const Endpoint& endpoint);
    SOCKET OpenSecureSocket(const Endpoint& endpoint, std::unique_ptr<Transport>& tls);
    Transport& Way() { return secure ? *secure : plain; }

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
