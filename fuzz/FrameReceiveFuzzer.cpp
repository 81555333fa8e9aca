// The receive path of the client's frame loop: an arbitrary byte stream arrives through the
// socket calls in pieces of arbitrary size, and a packet handler reads fields from what it gets.
// The client must either keep going or close with one of its reasons; it must never crash,
// hang, leak, or hand on a packet shorter than its type field or longer than the limit.

#include "NullStream.h"
#include "common/ChatProtocol.h"
#include "net/Client.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <ostream>
#include <set>

namespace
{

FuzzedDataProvider* stream = nullptr;

int ReadyPoll(WSAPOLLFD* records, unsigned long, int)
{
    records[0].revents = static_cast<short>(POLLRDNORM | (records[0].events & POLLWRNORM));
    return 1;
}

// Hands out the next piece of the stream: its size is taken from the input too. An empty stream
// is the peer closing.
int PieceOfStream(SOCKET, char* buffer, int length)
{
    if (stream->remaining_bytes() == 0)
        return 0;
    const auto piece =
        stream->ConsumeIntegralInRange<std::size_t>(1, static_cast<std::size_t>(length));
    const auto bytes = stream->ConsumeBytes<char>(piece);
    if (bytes.empty())
        return 0;
    std::memcpy(buffer, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

int TakeEverything(SOCKET, const char*, int length)
{
    return length;
}

int CloseNothing(SOCKET)
{
    return 0;
}

int WouldBlock()
{
    return WSAEWOULDBLOCK;
}

class ReadingClient : public oNet::Client
{
public:
    bool ProcessPacket(std::shared_ptr<oNet::Packet> packet) override
    {
        if (!oNet::IsValidFrameLength(packet->buffer.size()))
            __builtin_trap();
        using oNet::PacketType;
        std::string text;
        switch (packet->Type())
        {
        case PacketType::ChatMessage:
        case PacketType::UsersOnline:
            *packet >> text;
            // Answer now and then, so that the send side runs too.
            connection.outgoing.Append(
                ChatProtocol::MakeTextPacket(PacketType::ChatMessage, text.substr(0, 100)));
            return true;
        case PacketType::IntegerArray: {
            NullStream out;
            ChatProtocol::WriteIntegerArray(*packet, out);
            return true;
        }
        case PacketType::NewUser:
            return true;
        default:
            return false;
        }
    }
    void OnDisconnect(std::string reason) override { lastReason = reason; }

    std::string lastReason;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::set<std::string> reasons = {"Recv==0", "Packet size too large.",
                                                  "Packet size too small.",
                                                  "Failed to process incoming packet."};
    FuzzedDataProvider provider(data, size);
    stream = &provider;

    ReadingClient client;
    client.calls.poll = ReadyPoll;
    client.calls.receive = PieceOfStream;
    client.calls.send = TakeEverything;
    client.calls.close = CloseNothing;
    client.calls.lastError = WouldBlock;
    client.connection = oNet::Connection(SOCKET{1});
    client.pollRecord.fd = SOCKET{1};
    client.pollRecord.events = POLLRDNORM;
    client.connected = true;

    // Every pass takes at least one byte of the stream, so the stream's end ends the loop.
    for (std::size_t pass = 0; client.IsConnected(); ++pass)
    {
        if (pass > size + 2)
            __builtin_trap(); // a pass that made no progress
        client.Frame();
    }
    if (reasons.count(client.lastReason) == 0)
        __builtin_trap();
    return 0;
}
