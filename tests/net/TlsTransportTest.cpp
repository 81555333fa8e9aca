// The client's TLS through Schannel, driven through its socket calls against the Linux build of
// the real server: each call of the handshake failing in turn, the user's verdict on the pin,
// records that arrive a byte at a time and writes that take a few bytes or nothing, several
// records in one read, a chat line that leaves as one record, and each call failing in turn
// after the handshake while a line is on its way.

#include "app/ServerTrust.h"
#include "chat/MyClient.h"
#include "chat/ScriptedPeer.h"
#include "net/SocketCalls.h"
#include "support/FailingSocketCalls.h"
#include "support/FakeClock.h"
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
int opens = 0;
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

SOCKET Open(int family)
{
    ++opens;
    return oNet::PlatformSocketCalls().open(family);
}

void Reset()
{
    readLimit = writeLimit = 0;
    blockEveryOther = gatherRecords = false;
    mostRecordsInARead = writes = opens = 0;
    written.clear();
}

// The platform's socket calls, but for the script's reads, writes and count of sockets.
oNet::SocketCalls Calls()
{
    oNet::SocketCalls calls = oNet::PlatformSocketCalls();
    calls.open = Open;
    calls.receive = Receive;
    calls.send = Send;
    return calls;
}
} // namespace script

// Records of application data (type 23) in what the client wrote.
std::size_t DataRecordsWritten()
{
    const std::vector<int> types =
        script::RecordTypes(script::written.data(), script::written.size());
    return static_cast<std::size_t>(std::count(types.begin(), types.end(), 23));
}

// Says yes to every question, counting them; shows no error.
class AnswerYes final : public UserQuestions
{
public:
    bool AskYesNo(const std::string&, const std::string&) override
    {
        ++asked;
        return true;
    }
    void ShowError(const std::string& text) override { ADD_FAILURE() << text; }

    int asked = 0;
};

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
        // No line rate: the watcher says a line every round, faster than a member may on a
        // quick machine, and a line dropped as flooding would look like one the client lost.
        server = std::make_unique<HostProcess>(std::string(OSTREL_HOST_SERVER) + " --listen " +
                                                   ServerAddress +
                                                   " --port 0 --tls-cert server.crt "
                                                   "--tls-key server.key --line-rate 0",
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
        client.calls = script::Calls();
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

// The user's verdict on the pin. Refused: the attempt fails having sent nothing on the connection
// (no record of application data) and leaves no socket open. Trusted on asking (the first use,
// the answer stored): the connection is made anew, once, since the server may have given up
// waiting for the answer, and goes on into the room; a later connection is not asked about.
TEST_F(TlsTransportTest, RefusedPinSendsNothingAndAPinTrustedOnAskingIsNotAskedAgain)
{
    namespace failing = failing_calls;
    failing::Arm(0);
    ScriptedPeer refused;
    refused.useTls = true;
    refused.calls = failing::Calls(script::Calls());
    int verdicts = 0;
    refused.trustServer = [&](const std::string&) {
        ++verdicts;
        return oNet::Trust::NotTrusted;
    };
    refused.Announce("Never");
    EXPECT_FALSE(refused.Connect(oNet::Endpoint(ServerAddress, port)));
    EXPECT_EQ(refused.failure, oNet::ConnectFailure::NotTrusted);
    EXPECT_EQ(verdicts, 1);
    EXPECT_GT(script::written.size(), 0u) << "the handshake was written";
    EXPECT_EQ(DataRecordsWritten(), 0u) << "nothing sent";
    EXPECT_TRUE(failing::Open().empty()) << "a socket was left open";

    TempDir dir;
    SettingsFile settings(dir.File("data.dat"));
    AnswerYes user;
    ServerTrust trust(settings, ServerAddress, user);
    script::Reset();
    ScriptedPeer asked;
    asked.useTls = true;
    asked.calls = failing::Calls(script::Calls());
    asked.trustServer = [&](const std::string& pin) { return trust(pin); };
    ASSERT_TRUE(asked.Connect(oNet::Endpoint(ServerAddress, port)));
    EXPECT_EQ(user.asked, 1);
    EXPECT_EQ(script::opens, 2) << "made anew once the user had answered";
    Join(asked, "Asked");
    EXPECT_EQ(settings.GetValue("tls-pin", SettingsFile::Match::ExactKey), pin);

    ScriptedPeer again;
    again.useTls = true;
    again.calls = failing::Calls(script::Calls());
    again.trustServer = [&](const std::string& serverPin) { return trust(serverPin); };
    ASSERT_TRUE(again.Connect(oNet::Endpoint(ServerAddress, port)));
    EXPECT_EQ(user.asked, 1) << "asked again";
    EXPECT_EQ(script::opens, 3);
    Join(again, "Again");
    asked.Disconnect("done");
    again.Disconnect("done");
    EXPECT_TRUE(failing::Open().empty());
}

// After the handshake, with records read seven bytes at a time (the end of one and the start of
// the next in one read) and written a few bytes at a time or not at all (records waiting in the
// transport), each socket call fails in turn while a chat line of the client's goes out and one
// of another member's comes in. A failed poll or write is tried again; a failed read ends the
// connection cleanly, its socket closed. Either way each line is shown once, and the client's
// reaches the room exactly once, as the chat client promises: it keeps the line until its echo
// comes, and once let in again sends it again only when the server's replay does not hold it.
TEST_F(TlsTransportTest, EachCallFailingInTurnAfterTheHandshakeLosesNoLine)
{
    namespace failing = failing_calls;
    ScriptedPeer watcher;
    ASSERT_TRUE(watcher.Connect(oNet::Endpoint(ServerAddress, port)));
    Join(watcher, "Watcher");
    const auto count = [](const std::vector<std::string>& lines, const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.size() >= text.size() &&
                   line.compare(line.size() - text.size(), text.size(), text) == 0;
        });
    };
    int lost = 0;
    for (int failAt = 1;; ++failAt)
    {
        ASSERT_LE(failAt, 400) << "the line's way keeps making calls";
        MyClient client;
        client.newMessageSound.sender =
            client.newUserSound.sender = [](const std::wstring&) { return 0u; };
        client.useTls = true;
        client.reconnect = true;
        client.now = fake_clock::Now;
        client.calls = failing::Calls(script::Calls());
        failing::Arm(0);
        // Frames of both, the client's clock ten milliseconds further each time: its waits (for
        // the next try, between lines sent again) pass in a fraction of their time.
        const auto until = [&](const std::function<bool()>& done) {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (!done() && std::chrono::steady_clock::now() < deadline)
            {
                fake_clock::time += 10ms;
                if (client.Running())
                    client.Frame();
                watcher.Frame();
            }
            return done();
        };
        const auto shown = [&](const std::string& text) {
            return count({client.chatLogLines.begin(), client.chatLogLines.end()}, text);
        };
        // A name of its own each time: the last one may not have left yet.
        const std::string name = "Tess" + std::to_string(failAt);
        ASSERT_TRUE(client.Connect(oNet::Endpoint(ServerAddress, port)));
        client.AnnounceNickname(name);
        ASSERT_TRUE(until([&] { return client.CanSend(); })) << failAt << server->Out();

        // A line of the watcher's comes in while the client writes its own.
        const std::string line = "line " + std::to_string(failAt);
        const std::string news = "news " + std::to_string(failAt);
        watcher.Say(news);
        ASSERT_TRUE(until([&] { return !watcher.connection.outgoing.HasPending(); }));
        client.SendChatMessage(line);
        script::readLimit = 7;
        script::writeLimit = 16;
        script::blockEveryOther = true;
        failing::Arm(failAt);
        ASSERT_TRUE(until([&] {
            return !client.IsConnected() ||
                   (shown("[" + name + "]: " + line) > 0 && shown("[Watcher]: " + news) > 0);
        })) << failAt;
        const bool failed = failing::Made() >= failAt;
        script::Reset();
        if (!client.IsConnected())
        {
            ++lost;
            EXPECT_TRUE(failing::Open().empty()) << failAt << ": a socket was left open";
            ASSERT_TRUE(until([&] { return client.CanSend(); })) << failAt << server->Out();
        }
        client.SendChatMessage("after " + line);
        ASSERT_TRUE(until([&] { return watcher.Saw("[" + name + "]: after " + line); })) << failAt;
        EXPECT_EQ(count(watcher.lines, "[" + name + "]: " + line), 1) << failAt;
        ASSERT_TRUE(until([&] { return shown("[" + name + "]: after " + line) == 1; })) << failAt;
        EXPECT_EQ(shown("[" + name + "]: " + line), 1) << failAt;
        EXPECT_EQ(shown("[Watcher]: " + news), 1) << failAt;
        client.Disconnect("next");
        client.newMessageSound.Close();
        client.newUserSound.Close();
        if (!failed)
            break;
    }
    EXPECT_GE(lost, 1) << "no failing call ended the connection";
    watcher.Disconnect("done");
}

} // namespace
