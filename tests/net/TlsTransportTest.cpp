// The client's TLS through Schannel, driven through its socket calls against the Linux build of
// the real server: each call of the handshake failing in turn, records that arrive a byte at a
// time and writes that take a few bytes or nothing, several records in one read, and a chat line
// that leaves as one record.

#include "chat/ScriptedPeer.h"
#include "net/SocketCalls.h"
#include "support/FailingSocketCalls.h"
#include "support/Files.h"
#include "support/HostProcess.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;

namespace
{

const char* const ServerAddress = "127.0.0.70";

// The socket calls' script: limits on what each read and write moves, and a record of every
// byte written.
namespace script
{
int readLimit = 0;            // bytes a read returns at most; 0: no limit
int writeLimit = 0;           // bytes a write takes at most; 0: no limit
bool blockEveryOther = false; // every other write takes nothing and would block
bool gatherRecords = false;   // a read waits for at least two whole records
int mostRecordsInARead = 0;
int writes = 0;
std::string written;

// The content types of the whole TLS records at the start of the bytes (23: application data):
// each has a 5-byte header that gives its body's length.
std::vector<int> RecordTypes(const char* bytes, std::size_t size)
{
    std::vector<int> types;
    for (std::size_t at = 0; at + 5 <= size;)
    {
        const int type = static_cast<unsigned char>(bytes[at]);
        at += 5 + ((static_cast<unsigned char>(bytes[at + 3]) << 8) |
                   static_cast<unsigned char>(bytes[at + 4]));
        if (at > size)
            break;
        types.push_back(type);
    }
    return types;
}

int Receive(SOCKET s, char* buffer, int length)
{
    if (gatherRecords)
    {
        // Until two whole records wait in the socket, or a second has passed.
        static char peeked[65536];
        const DWORD end = GetTickCount() + 1000;
        int waiting = 0;
        while ((waiting = recv(s, peeked, sizeof peeked, MSG_PEEK)) > 0 &&
               RecordTypes(peeked, waiting).size() < 2 &&
               static_cast<int>(end - GetTickCount()) > 0)
            Sleep(5);
        const int received = recv(s, buffer, length, 0);
        if (received > 0)
            mostRecordsInARead = std::max(mostRecordsInARead,
                                          static_cast<int>(RecordTypes(buffer, received).size()));
        return received;
    }
    return recv(s, buffer, readLimit > 0 ? std::min(length, readLimit) : length, 0);
}

int Send(SOCKET s, const char* buffer, int length)
{
    if (blockEveryOther && writes++ % 2 == 0)
    {
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    const int sent = send(s, buffer, writeLimit > 0 ? std::min(length, writeLimit) : length, 0);
    if (sent > 0)
        written.append(buffer, static_cast<std::size_t>(sent));
    return sent;
}

void Reset()
{
    readLimit = writeLimit = 0;
    blockEveryOther = gatherRecords = false;
    mostRecordsInARead = writes = 0;
    written.clear();
}
} // namespace script

class TlsTransportTest : public ::testing::Test
{
protected:
    // The Linux build of the server with a throwaway certificate, on a port of its choosing.
    void SetUp() override
    {
        script::Reset();
        ASSERT_TRUE(RunOnHost("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                              "-nodes -days 2 -subj /CN=ostrel-test -keyout server.key -out "
                              "server.crt",
                              serverDir.Path()))
            << ReadBytes(serverDir.File("host-command.out"));
        server = std::make_unique<HostProcess>(std::string(OSTREL_HOST_SERVER) + " --listen " +
                                                   ServerAddress +
                                                   " --port 0 --tls-cert server.crt "
                                                   "--tls-key server.key",
                                               serverDir.Path());
        const std::string marker = "tls-pin= is ";
        const DWORD end = GetTickCount() + 15000;
        while (server->Out().find(marker) == std::string::npos &&
               static_cast<int>(end - GetTickCount()) > 0)
            Sleep(20);
        const std::string log = server->Out();
        ASSERT_NE(log.find(marker), std::string::npos) << log << server->Err();
        const std::size_t portAt = log.find(" port ") + 6;
        port = static_cast<std::uint16_t>(std::stoi(log.substr(portAt)));
        pin = log.substr(log.find(marker) + marker.size(), 64);
    }

    // A client whose socket calls are the script's.
    void Script(ScriptedPeer& client)
    {
        client.useTls = true;
        client.calls.receive = script::Receive;
        client.calls.send = script::Send;
    }

    // Announces the name and waits until the server has taken it into the room.
    void Join(ScriptedPeer& client, const std::string& name)
    {
        client.Announce(name);
        ASSERT_TRUE(client.RunUntil([&] { return client.Saw(name + " joined."); }, 10s))
            << server->Out();
        ASSERT_TRUE(client.RunUntil([&] { return !client.usersOnline.empty(); }, 10s));
    }

    TempDir serverDir;
    std::unique_ptr<HostProcess> server;
    std::uint16_t port = 0;
    std::string pin;
};

TEST_F(TlsTransportTest, EachSocketCallOfTheHandshakeFailingInTurnEndsItCleanly)
{
    namespace failing = failing_calls;
    int failures = 0;
    for (int failAt = 1;; ++failAt)
    {
        ASSERT_LE(failAt, 100) << "the handshake keeps making calls";
        ScriptedPeer client;
        client.useTls = true;
        client.calls = failing::Calls();
        std::string seenPin;
        client.trustServer = [&](const std::string& serverPin) {
            seenPin = serverPin;
            return oNet::Trust::Trusted;
        };
        failing::Arm(failAt);
        StreamCapture capture;
        const bool connected = client.Connect(oNet::Endpoint(ServerAddress, port));
        if (failing::Made() < failAt)
        {
            // No call failed: the handshake is whole, and the connection carries the chat.
            ASSERT_TRUE(connected) << capture.Err();
            EXPECT_EQ(seenPin, pin);
            Join(client, "Survivor");
            client.Disconnect("done");
            break;
        }
        ++failures;
        EXPECT_FALSE(connected) << failAt;
        EXPECT_FALSE(client.IsConnecting()) << failAt;
        if (client.failure == oNet::ConnectFailure::NotSecure)
        {
            EXPECT_EQ(capture.Err().rfind("No secure connection to 127.0.0.70: ", 0), 0u)
                << failAt << ": " << capture.Err();
            EXPECT_EQ(seenPin, "") << "no verdict is asked on a handshake that failed";
        }
        else
            EXPECT_EQ(client.failure, oNet::ConnectFailure::Unreachable) << failAt;
        EXPECT_TRUE(failing::Open().empty()) << failAt << ": a socket was left open";
    }
    EXPECT_GE(failures, 12) << "the connection's calls, then the handshake's polls, reads, writes";
}

// Records read a byte at a time and written a few bytes at a time (or none) carry the
// conversation; then, with whole records, a chat line leaves as one record, and several records
// read at once are all handled.
TEST_F(TlsTransportTest, RecordsInPiecesOrSeveralInOneReadCarryTheConversationOneRecordALine)
{
    script::readLimit = 1;
    script::writeLimit = 3;
    script::blockEveryOther = true;
    ScriptedPeer client;
    Script(client);
    ASSERT_TRUE(client.Connect(oNet::Endpoint(ServerAddress, port)));
    Join(client, "Piecemeal");
    client.Say("through the smallest pieces");
    ASSERT_TRUE(client.RunUntil(
        [&] { return client.Saw("[Piecemeal]: through the smallest pieces"); }, 10s))
        << server->Out();
    EXPECT_GT(script::writes, 40) << "the writes really were cut short";

    script::readLimit = script::writeLimit = 0;
    script::blockEveryOther = false;
    script::gatherRecords = true;
    const std::size_t from = script::written.size();
    client.Say("one line, one record");
    ASSERT_TRUE(client.RunUntil([&] { return !client.connection.outgoing.HasPending(); }, 5s));
    EXPECT_EQ(script::RecordTypes(script::written.data() + from, script::written.size() - from),
              std::vector<int>{23});
    client.Say("first of two");
    client.Say("second of two");
    ASSERT_TRUE(client.RunUntil([&] { return client.Saw("[Piecemeal]: second of two"); }, 10s));
    EXPECT_TRUE(client.Saw("[Piecemeal]: first of two"));
    EXPECT_TRUE(client.Saw("[Piecemeal]: one line, one record"));
    EXPECT_GE(script::mostRecordsInARead, 2) << "no read carried more than one record";
    client.Disconnect("done");
}

} // namespace
