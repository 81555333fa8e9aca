#include "net/Client.h"
#include "support/Bytes.h"
#include "support/FailingSocketCalls.h"
#include "support/FakeClock.h"
#include "support/LoopbackPeer.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace oNet;
using namespace testing_support;

namespace
{

// Records every callback and every packet handed to it.
class RecordingClient : public Client
{
public:
    bool ProcessPacket(std::shared_ptr<Packet> packet) override
    {
        received.push_back(packet);
        return received.size() != refuseNumber;
    }
    void OnConnect() override { events.push_back("connect"); }
    void OnConnectFail() override { events.push_back("fail"); }
    void OnDisconnect(std::string reason) override { events.push_back("disconnect:" + reason); }

    std::vector<std::shared_ptr<Packet>> received;
    std::vector<std::string> events;
    std::size_t refuseNumber = 0; // 1-based number of the packet to refuse; 0 refuses none
};

// Reads its packets as a text field, as the chat client does.
class ExtractingClient : public RecordingClient
{
public:
    bool ProcessPacket(std::shared_ptr<Packet> packet) override
    {
        std::string text;
        *packet >> text;
        texts.push_back(text);
        return true;
    }
    std::vector<std::string> texts;
};

// Socket calls that tests script through these globals.
std::vector<int> sendLimits; // bytes each successive send accepts; -1 would block
std::vector<Bytes> sentChunks;
int closeCalls = 0;
int scriptedReceiveError = WSAEWOULDBLOCK;
int receiveCalls = 0;
short scriptedEvents = 0;

int ScriptedSend(SOCKET socket, const char* data, int length)
{
    if (!sendLimits.empty())
    {
        const int limit = sendLimits.front();
        sendLimits.erase(sendLimits.begin());
        if (limit < 0)
            return -1;
        length = std::min(length, limit);
    }
    const int sent = send(socket, data, length, 0);
    if (sent > 0)
        sentChunks.emplace_back(data, data + sent);
    return sent;
}

int CountingClose(SOCKET socket)
{
    ++closeCalls;
    return closesocket(socket);
}

int FailingReceive(SOCKET, char*, int)
{
    ++receiveCalls;
    return -1;
}

int ScriptedLastError()
{
    return scriptedReceiveError;
}

int ScriptedPoll(WSAPOLLFD* records, unsigned long, int)
{
    records[0].revents = scriptedEvents;
    return 1;
}

int CountingReceive(SOCKET socket, char* buffer, int length)
{
    ++receiveCalls;
    return recv(socket, buffer, length, 0);
}

// The platform's poll, reporting a hang-up together with any readable data, as a platform may
// once the peer has sent its last bytes and closed.
int HangUpPoll(WSAPOLLFD* records, unsigned long count, int timeoutMs)
{
    const int ready = WSAPoll(records, count, timeoutMs);
    if (ready > 0 && (records[0].revents & POLLRDNORM))
        records[0].revents |= POLLHUP;
    return ready;
}

Bytes NicknameFrame(const std::string& text)
{
    auto packet = std::make_shared<Packet>(PacketType::Nickname);
    *packet << text;
    return FrameOf(*packet);
}

std::shared_ptr<Packet> Typed(PacketType type)
{
    return std::make_shared<Packet>(type);
}

// Runs passes until the condition holds, the connection closes or five seconds pass. After every
// pass nothing may wait in the incoming queue: a packet is handled in the pass that completes it.
bool FramesUntil(Client& client, const std::function<bool()>& done, bool* lastResult = nullptr)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done())
    {
        if (!client.IsConnected() || std::chrono::steady_clock::now() > deadline)
            return false;
        const bool result = client.Frame();
        if (lastResult)
            *lastResult = result;
        if (result)
        {
            EXPECT_FALSE(client.connection.incoming.HasPending());
        }
    }
    return true;
}

class ClientFrame : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sendLimits.clear();
        sentChunks.clear();
        closeCalls = 0;
        receiveCalls = 0;
        ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
        ASSERT_TRUE(peer.Accept());
    }

    // Waits until count bytes the peer sent wait in the client's socket, unread.
    bool BytesArrive(int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char waiting[64];
        while (recv(client.connection.socket, waiting, count, MSG_PEEK) < count)
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            WSAPOLLFD record{};
            record.fd = client.connection.socket;
            record.events = POLLRDNORM;
            WSAPoll(&record, 1, 10);
        }
        return true;
    }

    const std::string& LastEvent() const { return client.events.back(); }

    LoopbackPeer peer;
    RecordingClient client;
};

TEST_F(ClientFrame, ByteByByteArrivalCompletesThePacketOnItsLastByte)
{
    const Bytes frame = NicknameFrame("abc");
    ASSERT_EQ(frame.size(), 11u);
    auto& incoming = client.connection.incoming;

    peer.Send(Bytes{frame[0]});
    ASSERT_TRUE(FramesUntil(client, [&] { return incoming.transferred == 1; }));
    EXPECT_EQ(incoming.stage, TransferStage::Header);

    peer.Send(Bytes{frame[1]});
    ASSERT_TRUE(FramesUntil(client, [&] { return incoming.stage == TransferStage::Body; }));
    EXPECT_EQ(incoming.currentSize, 9);
    EXPECT_EQ(incoming.transferred, 0);

    for (int i = 2; i < 10; ++i)
    {
        peer.Send(Bytes{frame[i]});
        ASSERT_TRUE(FramesUntil(client, [&] { return incoming.transferred == i - 1; })) << i;
        EXPECT_TRUE(client.received.empty());
    }

    peer.Send(Bytes{frame[10]});
    ASSERT_TRUE(FramesUntil(client, [&] { return client.received.size() == 1; }));
    EXPECT_EQ(BufferOf(*client.received[0]), Bytes(frame.begin() + 2, frame.end()));
    EXPECT_EQ(client.received[0]->Type(), PacketType::Nickname);
    EXPECT_EQ(client.received[0]->readOffset, 2u);
    EXPECT_EQ(incoming.stage, TransferStage::Header);
    EXPECT_EQ(incoming.transferred, 0);
    EXPECT_EQ(incoming.currentSize, 0);
}

TEST_F(ClientFrame, TwoFramesInOneSegmentAreReadOneStepPerPass)
{
    const Bytes first = NicknameFrame("abc");
    const Bytes second = FrameOf(*Typed(PacketType::NewUser));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    peer.Send(both);
    ASSERT_TRUE(BytesArrive(static_cast<int>(both.size())));
    auto& incoming = client.connection.incoming;

    EXPECT_TRUE(client.Frame());
    EXPECT_EQ(incoming.stage, TransferStage::Body) << "first pass reads the length only";
    EXPECT_EQ(incoming.currentSize, 9);
    EXPECT_TRUE(client.received.empty());

    EXPECT_TRUE(client.Frame());
    ASSERT_EQ(client.received.size(), 1u) << "second pass reads the body and dispatches it";
    EXPECT_EQ(incoming.stage, TransferStage::Header);
    EXPECT_FALSE(incoming.HasPending());

    EXPECT_TRUE(client.Frame());
    EXPECT_EQ(incoming.stage, TransferStage::Body);
    EXPECT_EQ(incoming.currentSize, 2);
    EXPECT_EQ(client.received.size(), 1u);

    EXPECT_TRUE(client.Frame());
    ASSERT_EQ(client.received.size(), 2u);
    EXPECT_EQ(client.received[1]->Type(), PacketType::NewUser);
}

TEST_F(ClientFrame, LargestFrameIsAccepted)
{
    Bytes frame = {0x20, 0x00, 0x00, 0x01};
    for (int i = 0; i < 8190; ++i)
        frame.push_back(static_cast<unsigned char>(i * 7));
    peer.Send(frame);
    ASSERT_TRUE(FramesUntil(client, [&] { return client.received.size() == 1; }));
    EXPECT_EQ(client.received[0]->buffer.size(), 8192u);
    EXPECT_EQ(BufferOf(*client.received[0]), Bytes(frame.begin() + 2, frame.end()));
    EXPECT_TRUE(client.IsConnected());
}

TEST_F(ClientFrame, BadFrameLengthsCloseTheConnection)
{
    struct Case
    {
        Bytes prefix;
        const char* reason;
    };
    const Case cases[] = {
        {{0x20, 0x01}, "disconnect:Packet size too large."},
        {{0xFF, 0xFF}, "disconnect:Packet size too large."},
        {{0x00, 0x01}, "disconnect:Packet size too small."},
        {{0x00, 0x00}, "disconnect:Packet size too small."},
    };
    for (const auto& c : cases)
    {
        LoopbackPeer otherPeer;
        RecordingClient other;
        ASSERT_TRUE(other.Connect(Endpoint("127.0.0.1", otherPeer.Port())));
        ASSERT_TRUE(otherPeer.Accept());
        Bytes frame = c.prefix;
        frame.insert(frame.end(), {0x00, 0x01, 0x00});
        otherPeer.Send(frame);
        bool lastResult = true;
        EXPECT_FALSE(FramesUntil(
            other, [] { return false; }, &lastResult));
        EXPECT_FALSE(lastResult);
        EXPECT_FALSE(other.IsConnected());
        EXPECT_EQ(other.events.back(), c.reason);
        EXPECT_TRUE(other.received.empty());
        EXPECT_TRUE(otherPeer.SeesClose());
    }
}

TEST_F(ClientFrame, QueuedPacketsAreAllWrittenInOnePass)
{
    auto a = Typed(PacketType::NewUser);
    auto b = Typed(PacketType::Nickname);
    *b << std::string("abc");
    auto c = Typed(PacketType::ChatMessage);
    *c << std::string(3000, 'z');
    for (const auto& packet : {a, b, c})
        client.connection.outgoing.Append(packet);
    EXPECT_EQ(client.pollRecord.events, POLLRDNORM);
    client.calls.send = ScriptedSend;

    EXPECT_TRUE(client.Frame());
    EXPECT_EQ(client.pollWork.events, POLLRDNORM | POLLWRNORM);
    EXPECT_FALSE(client.connection.outgoing.HasPending());
    EXPECT_EQ(client.pollRecord.events, POLLRDNORM);
    EXPECT_EQ(client.connection.outgoing.stage, TransferStage::Header);

    // Each packet in one write, its length prefix and its bytes together.
    Bytes expected;
    std::vector<Bytes> frames;
    for (const auto& packet : {a, b, c})
    {
        frames.push_back(FrameOf(*packet));
        expected.insert(expected.end(), frames.back().begin(), frames.back().end());
    }
    EXPECT_EQ(sentChunks, frames);
    EXPECT_EQ(peer.Receive(expected.size()), expected);
}

TEST_F(ClientFrame, FrameInterruptedAfterOneByteIsResumed)
{
    client.calls.send = ScriptedSend;
    sendLimits = {1}; // the first write takes one byte; the pass stops there
    auto packet = Typed(PacketType::Nickname);
    *packet << std::string("abc");
    client.connection.outgoing.Append(packet);

    EXPECT_TRUE(client.Frame());
    auto& outgoing = client.connection.outgoing;
    EXPECT_EQ(outgoing.transferred, 1);
    EXPECT_TRUE(outgoing.HasPending());
    EXPECT_EQ(client.pollRecord.events, POLLRDNORM | POLLWRNORM);
    EXPECT_EQ(sentChunks.size(), 1u);

    EXPECT_TRUE(client.Frame());
    EXPECT_FALSE(outgoing.HasPending());
    EXPECT_EQ(client.pollRecord.events, POLLRDNORM);
    const Bytes frame = NicknameFrame("abc");
    EXPECT_EQ(sentChunks, (std::vector<Bytes>{{0x00}, Bytes(frame.begin() + 1, frame.end())}))
        << "the rest of the frame in one write";
    EXPECT_EQ(peer.Receive(11), frame);
}

TEST_F(ClientFrame, RefusedPacketStopsTheDispatchAndStaysQueued)
{
    auto first = Typed(PacketType::NewUser);
    auto second = Typed(PacketType::Nickname);
    auto third = Typed(PacketType::UsersOnline);
    for (const auto& packet : {first, second, third})
        client.connection.incoming.Append(packet);
    client.refuseNumber = 2;

    EXPECT_FALSE(client.Frame());
    EXPECT_EQ(client.received.size(), 2u);
    EXPECT_EQ(LastEvent(), "disconnect:Failed to process incoming packet.");
    EXPECT_FALSE(client.IsConnected());
    auto& incoming = client.connection.incoming;
    ASSERT_EQ(incoming.packets.size(), 2u);
    EXPECT_EQ(incoming.packets[0], second);
    EXPECT_EQ(incoming.packets[1], third);
}

TEST_F(ClientFrame, PacketExceptionFromTheHandlerClosesTheConnection)
{
    LoopbackPeer otherPeer;
    ExtractingClient extracting;
    ASSERT_TRUE(extracting.Connect(Endpoint("127.0.0.1", otherPeer.Port())));
    ASSERT_TRUE(otherPeer.Accept());

    // A good text, then one whose count runs past the end of the packet.
    Bytes frames = NicknameFrame("ok");
    frames.insert(frames.end(), {0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 'x'});
    otherPeer.Send(frames);
    bool lastResult = true;
    EXPECT_FALSE(FramesUntil(
        extracting, [] { return false; }, &lastResult));
    EXPECT_FALSE(lastResult);
    EXPECT_EQ(extracting.texts, std::vector<std::string>{"ok"});
    EXPECT_EQ(extracting.events.back(), "disconnect:Failed to process incoming packet.");
    EXPECT_EQ(extracting.connection.incoming.packets.size(), 1u);
}

TEST_F(ClientFrame, PeerClosingEndsTheConnection)
{
    peer.CloseConnection();
    bool lastResult = true;
    EXPECT_FALSE(FramesUntil(
        client, [] { return false; }, &lastResult));
    EXPECT_FALSE(lastResult);
    const std::string reason = LastEvent();
    EXPECT_TRUE(reason == "disconnect:Recv==0" || reason == "disconnect:POLLHUP") << reason;
    EXPECT_EQ(client.connection.socket, INVALID_SOCKET);
}

TEST_F(ClientFrame, HangUpWithUnreadDataIsActedOnOnceTheDataHasBeenRead)
{
    LoopbackPeer lastWordsPeer;
    ExtractingClient reader;
    ASSERT_TRUE(reader.Connect(Endpoint("127.0.0.1", lastWordsPeer.Port())));
    ASSERT_TRUE(lastWordsPeer.Accept());
    reader.calls.poll = HangUpPoll;
    lastWordsPeer.Send(Concat(NicknameFrame("first"), AsString(NicknameFrame("Server is full."))));
    lastWordsPeer.CloseConnection();

    EXPECT_FALSE(FramesUntil(reader, [] { return false; }));
    EXPECT_EQ(reader.texts, (std::vector<std::string>{"first", "Server is full."}));
    // Once everything is read: the read that finds the end, or a hang-up reported alone (Wine).
    const std::string reason = reader.events.back();
    EXPECT_TRUE(reason == "disconnect:Recv==0" || reason == "disconnect:POLLHUP") << reason;
}

TEST_F(ClientFrame, ReadThatWouldBlockChangesNothingButOtherErrorsClose)
{
    client.calls.receive = FailingReceive;
    client.calls.lastError = ScriptedLastError;
    peer.Send(Bytes{0x00});
    ASSERT_TRUE(BytesArrive(1));

    scriptedReceiveError = WSAEWOULDBLOCK;
    EXPECT_TRUE(client.Frame());
    EXPECT_EQ(receiveCalls, 1);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.connection.incoming.transferred, 0);

    scriptedReceiveError = WSAECONNRESET;
    EXPECT_FALSE(client.Frame());
    EXPECT_EQ(LastEvent(), "disconnect:Recv<0");
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(ClientFrame, ErrorEventsCloseInTheirOrderWithoutReading)
{
    struct Case
    {
        short events;
        const char* reason;
    };
    const Case cases[] = {
        {POLLERR | POLLHUP | POLLNVAL | POLLRDNORM, "disconnect:POLLERR"},
        {POLLHUP | POLLWRNORM, "disconnect:POLLHUP"},
        {POLLHUP | POLLNVAL | POLLRDNORM, "disconnect:POLLINVAL"},
        {POLLNVAL | POLLRDNORM, "disconnect:POLLINVAL"},
    };
    for (const auto& c : cases)
    {
        LoopbackPeer otherPeer;
        RecordingClient other;
        ASSERT_TRUE(other.Connect(Endpoint("127.0.0.1", otherPeer.Port())));
        other.calls.poll = ScriptedPoll;
        other.calls.receive = CountingReceive;
        other.connection.incoming.Append(Typed(PacketType::NewUser));
        receiveCalls = 0;
        scriptedEvents = c.events;
        EXPECT_FALSE(other.Frame());
        EXPECT_EQ(other.events.back(), c.reason);
        EXPECT_EQ(receiveCalls, 0);
        EXPECT_TRUE(other.received.empty()) << "nothing is dispatched after a closing event";
    }
}

TEST_F(ClientFrame, IdleOrFailedPollStillDispatches)
{
    for (int pollResult : {0, -1})
    {
        client.calls.poll = pollResult == 0 ? [](WSAPOLLFD*, unsigned long, int) { return 0; }
                                            : [](WSAPOLLFD*, unsigned long, int) { return -1; };
        client.connection.incoming.Append(Typed(PacketType::NewUser));
        const std::size_t before = client.received.size();
        EXPECT_TRUE(client.Frame());
        EXPECT_EQ(client.received.size(), before + 1);
        EXPECT_TRUE(client.IsConnected());
    }
}

TEST(ClientConnection, ConnectAndDisconnectWriteTheirLines)
{
    LoopbackPeer peer;
    Client client;
    StreamCapture capture;
    ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
    EXPECT_EQ(
        capture.Out(),
        "Successfully connected to server 127.0.0.1.\n\nSuccessfully connected to server.\n\n");
    EXPECT_EQ(capture.Err(), "");
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(client.connection.socket, INVALID_SOCKET);
    EXPECT_EQ(client.pollRecord.fd, client.connection.socket);
    EXPECT_EQ(client.pollRecord.events, POLLRDNORM);
    EXPECT_EQ(client.pollRecord.revents, 0);

    capture.Clear();
    client.calls.close = CountingClose;
    closeCalls = 0;
    client.Disconnect("x");
    EXPECT_EQ(capture.Out(), "Lost connection. Reason: x\n");
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.connection.socket, INVALID_SOCKET);
    EXPECT_EQ(client.pollRecord.fd, INVALID_SOCKET);
    EXPECT_EQ(closeCalls, 1);

    // A second Disconnect reports again but has nothing left to close.
    client.Disconnect("Main window closed");
    EXPECT_EQ(capture.Out(),
              "Lost connection. Reason: x\nLost connection. Reason: Main window closed\n");
    EXPECT_EQ(closeCalls, 1);
}

TEST(ClientConnection, RefusedConnectionFailsOnceAndLeavesNoSocket)
{
    RecordingClient client;
    client.calls.close = CountingClose;
    closeCalls = 0;
    EXPECT_FALSE(client.Connect(Endpoint("127.0.0.1", RefusingPort())));
    EXPECT_EQ(client.events, std::vector<std::string>{"fail"});
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.connection.socket, INVALID_SOCKET);
    EXPECT_EQ(closeCalls, 1) << "the socket made for the attempt is closed";

    Client plain;
    StreamCapture capture;
    EXPECT_FALSE(plain.Connect(Endpoint("127.0.0.1", RefusingPort())));
    EXPECT_EQ(capture.Out(), "Failed to connect.\n");
    EXPECT_EQ(capture.Err(), "");

    // Before Windows 10 2004, WSAPoll never reports a connect that failed: the connect's result
    // is read at every step, so that a refused attempt fails at the step after it began, not at
    // its limit (the clock stands still).
    RecordingClient unreported;
    unreported.now = fake_clock::Now;
    unreported.calls.connect = [](SOCKET, const sockaddr*, int) { return SOCKET_ERROR; };
    unreported.calls.lastError = [] { return WSAEWOULDBLOCK; }; // the connect is under way
    unreported.calls.poll = [](WSAPOLLFD*, unsigned long, int) { return 0; };
    unreported.calls.connectResult = [](SOCKET) { return WSAECONNREFUSED; };
    unreported.BeginConnect(Endpoint("127.0.0.1", RefusingPort()));
    EXPECT_TRUE(unreported.ContinueConnect(1));
    EXPECT_FALSE(unreported.ContinueConnect(1));
    EXPECT_EQ(unreported.failure, ConnectFailure::Unreachable);
    EXPECT_EQ(unreported.events, std::vector<std::string>{"fail"});
}

TEST(ClientConnection, EachCallOfConnectFailingInTurnIsReportedAndLeavesNoSocketOpen)
{
    namespace failing = failing_calls;
    LoopbackPeer peer;
    const std::string notCreated =
        "Socket could not be created. Error code: " + std::to_string(failing::ErrorCode) + "\n";
    // Connect's calls in order: open, non-blocking, no delay, connect, and while the connection
    // is under way, poll and the connect's result. Each fails in turn until one more than there
    // are: that connection is made.
    for (int failAt = 1;; ++failAt)
    {
        ASSERT_LE(failAt, 10) << "Connect keeps making calls";
        RecordingClient client;
        client.calls = failing::Calls();
        failing::Arm(failAt);
        StreamCapture capture;
        const bool connected = client.Connect(Endpoint("127.0.0.1", peer.Port()));
        EXPECT_FALSE(client.IsConnecting()) << failAt;
        if (failing::Made() < failAt)
        {
            ASSERT_TRUE(connected) << failAt;
            EXPECT_GE(failAt, 5) << "open, non-blocking, no delay, connect: at least";
            EXPECT_EQ(capture.Err(), "");
            EXPECT_EQ(capture.Out(), "Successfully connected to server 127.0.0.1.\n\n");
            EXPECT_EQ(client.events, std::vector<std::string>{"connect"});
            EXPECT_EQ(failing::Open(), std::vector<SOCKET>{client.connection.socket});
            client.Disconnect("done");
            EXPECT_TRUE(failing::Open().empty());
            break;
        }
        EXPECT_FALSE(connected) << failAt;
        EXPECT_EQ(capture.Err(), failAt <= 3 ? notCreated : "") << failAt;
        EXPECT_EQ(capture.Out(), "") << failAt;
        EXPECT_EQ(client.events, std::vector<std::string>{"fail"}) << failAt;
        EXPECT_EQ(client.failure, ConnectFailure::Unreachable) << failAt;
        EXPECT_TRUE(failing::Open().empty()) << failAt;
    }
}

TEST(ClientConnection, UnresolvedEndpointFailsWithoutASocket)
{
    RecordingClient client;
    client.calls.close = CountingClose;
    closeCalls = 0;
    EXPECT_FALSE(client.Connect(Endpoint("no-such-host.invalid", 6112)));
    EXPECT_EQ(client.events, std::vector<std::string>{"fail"});
    EXPECT_EQ(closeCalls, 0);
    EXPECT_EQ(client.connection.socket, INVALID_SOCKET);
}

TEST(ClientConnection, QueuesSurviveDisconnectUntilTheNextConnect)
{
    LoopbackPeer peer;
    RecordingClient client;
    ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
    ASSERT_TRUE(peer.Accept());
    client.connection.outgoing.Append(Typed(PacketType::Nickname));
    client.connection.incoming.Append(Typed(PacketType::NewUser));
    client.connection.incoming.stage = TransferStage::Body;
    client.connection.incoming.currentSize = 5;
    client.Disconnect("bye");
    EXPECT_TRUE(client.connection.outgoing.HasPending());
    EXPECT_TRUE(client.connection.incoming.HasPending());

    ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
    EXPECT_FALSE(client.connection.outgoing.HasPending());
    EXPECT_FALSE(client.connection.incoming.HasPending());
    EXPECT_EQ(client.connection.incoming.stage, TransferStage::Header);
    EXPECT_EQ(client.connection.incoming.currentSize, 0);
    EXPECT_EQ(client.events, (std::vector<std::string>{"connect", "disconnect:bye", "connect"}));
    client.Disconnect("done");
}

TEST(ClientConnection, DefaultHandlerReportsThePacketSize)
{
    LoopbackPeer peer;
    Client client;
    StreamCapture capture;
    ASSERT_TRUE(client.Connect(Endpoint("127.0.0.1", peer.Port())));
    ASSERT_TRUE(peer.Accept());
    capture.Clear();
    peer.Send(NicknameFrame("abc"));
    ASSERT_TRUE(FramesUntil(client, [&] { return !capture.Out().empty(); }));
    EXPECT_EQ(capture.Out(), "Packet received with size: 9\n");
    client.Disconnect("done");
}

// A server that does not answer holds a connection being made no longer than a step's wait, and
// only until the limit, on the client's own clock.
TEST(ClientConnection, ConnectionGettingNoAnswerWaitsStepByStepUntilItsLimit)
{
    LoopbackPeer silent;
    ASSERT_TRUE(silent.StopAnswering());
    RecordingClient client;
    client.now = fake_clock::Now;
    client.calls.close = CountingClose;
    closeCalls = 0;
    client.BeginConnect(Endpoint("127.0.0.1", silent.Port()));
    for (int step = 0; step < 20; ++step)
        ASSERT_TRUE(client.ContinueConnect(1)) << step;
    fake_clock::time += ConnectAttempt::ConnectLimit - std::chrono::milliseconds(1);
    EXPECT_TRUE(client.ContinueConnect(1));
    EXPECT_TRUE(client.IsConnecting());
    EXPECT_TRUE(client.events.empty());

    fake_clock::time += std::chrono::milliseconds(1);
    EXPECT_FALSE(client.ContinueConnect(1));
    EXPECT_FALSE(client.IsConnecting());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.failure, ConnectFailure::Unreachable);
    EXPECT_EQ(client.events, std::vector<std::string>{"fail"});
    EXPECT_EQ(closeCalls, 1) << "the socket of the attempt is closed";

    // One given up by its owner is closed too.
    client.BeginConnect(Endpoint("127.0.0.1", silent.Port()));
    EXPECT_TRUE(client.ContinueConnect(1));
    client.Disconnect("closing");
    EXPECT_FALSE(client.IsConnecting());
    EXPECT_EQ(closeCalls, 2);
}

} // namespace
