// The handshake stage with real loopback connections and OpenSSL clients: how many handshakes are
// made at once, in all and per address, who waits and who is served next, and how they end.

#include "server/connection/TlsHandshakes.h"
#include "server/connection/ServerTls.h"
#include "support/Files.h"
#include "support/TlsTesting.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

using namespace testing_support;

namespace
{

struct Outcome
{
    bool made = false;
    std::string failure;
    LeaveReason reason = LeaveReason::Left;
    bool attempted = false;
};

class HandshakeStage : public testing::Test
{
protected:
    void Use(HandshakeLimits limits)
    {
        const TestCertificate made = MakeCertificate(dir.Path(), "server");
        std::string error;
        tls = ServerTls::Load(made.certificate, made.key, error);
        ASSERT_TRUE(tls) << error;
        acceptor.open(asio::ip::tcp::v4());
        acceptor.bind({asio::ip::make_address("127.0.0.1"), 0});
        acceptor.listen();
        stage = std::make_unique<TlsHandshakes>(io, limits, 1);
    }

    // A client that sends its hello and stops there, handed to the stage for the group; its
    // outcome is kept under its name.
    // Its time counts from acceptedAt, now when none is given.
    TlsClient& Hello(const std::string& name, const std::string& group,
                     std::optional<TlsHandshakes::Clock::time_point> acceptedAt = std::nullopt)
    {
        auto& client = clients[name];
        client = std::make_unique<TlsClient>();
        EXPECT_TRUE(client->SendHello(acceptor.local_endpoint().port()));
        asio::ip::tcp::socket socket(io);
        acceptor.accept(socket);
        stage->Begin(
            std::move(socket), tls, group, acceptedAt.value_or(TlsHandshakes::Clock::now()),
            [this, name](asio::ip::tcp::socket socket, HandshakeEnd end) {
                outcomes[name] = {end.channel != nullptr, end.why, end.reason, end.attempted};
                if (end.channel)
                    kept.push_back(std::move(socket)); // a member now
            });
        return *client;
    }

    // Runs the room's side until the client's outcome is known; false when it is not in time.
    bool Ends(const std::string& name)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (outcomes.count(name) == 0 && std::chrono::steady_clock::now() < end)
        {
            io.restart();
            if (io.run_for(std::chrono::milliseconds(10)) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return outcomes.count(name) != 0;
    }

    TempDir dir;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    std::shared_ptr<ServerTls> tls;
    std::unique_ptr<TlsHandshakes> stage;
    std::map<std::string, std::unique_ptr<TlsClient>> clients;
    std::map<std::string, Outcome> outcomes;
    std::vector<asio::ip::tcp::socket> kept;
};

TEST_F(HandshakeStage, PlacesAreBoundedInAllAndPerAddressAndGivenToAddressesInTurn)
{
    HandshakeLimits limits;
    limits.inProgress = 2;
    limits.inProgressPerAddress = 1;
    limits.waiting = 3;
    Use(limits);
    TlsClient& a1 = Hello("a1", "A");
    TlsClient& a2 = Hello("a2", "A");
    TlsClient& a3 = Hello("a3", "A");
    Hello("b1", "B");
    TlsClient& c1 = Hello("c1", "C");
    // One place for A, the other for B; the rest wait.
    EXPECT_TRUE(a1.Answered(5000));
    EXPECT_TRUE(clients["b1"]->Answered(5000));
    EXPECT_EQ(stage->InProgress(), 2u);
    EXPECT_EQ(stage->Waiting(), 3u);
    for (TlsClient* waiting : {&a2, &a3, &c1})
        EXPECT_FALSE(waiting->Answered(0));

    // Beyond what may wait, a newcomer is let go at once, unanswered.
    TlsClient& d1 = Hello("d1", "D");
    ASSERT_EQ(outcomes.count("d1"), 1u);
    EXPECT_EQ(outcomes["d1"].failure, "3 TLS handshakes wait for a place already");
    EXPECT_EQ(outcomes["d1"].reason, LeaveReason::TurnedAway);
    EXPECT_FALSE(outcomes["d1"].attempted) << "no handshake was begun for it";
    EXPECT_TRUE(d1.ClosedUnanswered());

    // A made handshake gives its place to A's next; the next place goes to C, whose turn it is,
    // although A has waited longer.
    ASSERT_TRUE(a1.FinishHandshake());
    ASSERT_TRUE(Ends("a1"));
    EXPECT_TRUE(outcomes["a1"].made) << outcomes["a1"].failure;
    EXPECT_TRUE(outcomes["a1"].attempted);
    EXPECT_TRUE(a2.Answered(5000));
    clients["b1"].reset(); // closes: its place goes
    ASSERT_TRUE(Ends("b1"));
    EXPECT_EQ(outcomes["b1"].failure, "closed by the client during the TLS handshake");
    EXPECT_EQ(outcomes["b1"].reason, LeaveReason::Left);
    EXPECT_TRUE(outcomes["b1"].attempted);
    EXPECT_TRUE(c1.Answered(5000));
    EXPECT_FALSE(a3.Answered(0));

    // A failed handshake gives its place up as well, and says why.
    a2.SendRaw(std::string(64, '\x16'));
    ASSERT_TRUE(Ends("a2"));
    EXPECT_EQ(outcomes["a2"].failure.rfind("TLS handshake failed: ", 0), 0u)
        << outcomes["a2"].failure;
    EXPECT_EQ(outcomes["a2"].reason, LeaveReason::BadInput);
    EXPECT_TRUE(a3.Answered(5000));
    EXPECT_EQ(stage->Waiting(), 0u);
}

TEST_F(HandshakeStage, HandshakesNotMadeInTimeAreGivenUpAndStopEndsTheRestAtOnce)
{
    HandshakeLimits limits;
    limits.inProgress = 1;
    limits.time = std::chrono::seconds(1);
    Use(limits);
    TlsClient& slow = Hello("slow", "A");
    EXPECT_TRUE(slow.Answered(5000));
    ASSERT_TRUE(Ends("slow"));
    EXPECT_EQ(outcomes["slow"].failure, "no TLS handshake within 1 s");
    EXPECT_EQ(outcomes["slow"].reason, LeaveReason::Timeout);
    EXPECT_TRUE(slow.SeesClose());

    // Stopping does not wait for the time of those in progress or waiting: both are closed, and
    // neither is finished.
    TlsClient& busy = Hello("busy", "A");
    TlsClient& queued = Hello("queued", "B");
    EXPECT_TRUE(busy.Answered(5000));
    EXPECT_EQ(stage->Waiting(), 1u);
    stage->Stop();
    EXPECT_TRUE(busy.SeesClose(500));
    EXPECT_TRUE(queued.ClosedUnanswered(500));
    io.restart();
    io.poll();
    EXPECT_EQ(outcomes.count("busy") + outcomes.count("queued"), 0u);
}

TEST_F(HandshakeStage, TimeCountsFromTheAcceptNotFromTheHandshakesBeginning)
{
    // A connection that used its whole time waiting for its first byte has none left for its
    // handshake: given a fresh 30 s, it would still be waiting when Ends gives up.
    HandshakeLimits limits;
    limits.time = std::chrono::seconds(30);
    Use(limits);
    TlsClient& late = Hello("late", "A", TlsHandshakes::Clock::now() - limits.time);
    ASSERT_TRUE(Ends("late"));
    EXPECT_EQ(outcomes["late"].failure, "no TLS handshake within 30 s");
    EXPECT_EQ(outcomes["late"].reason, LeaveReason::Timeout);
    EXPECT_TRUE(late.SeesClose());
}

} // namespace
