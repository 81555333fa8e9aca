// One connection to Redis on the server's loop, against a stand-in for Redis on a Unix socket of
// the test's own that answers, or stops answering: whatever happened before, a connection that
// is not answered in its time is given up.

#include "server/link/RedisConnection.h"
#include "support/Files.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

using namespace testing_support;

namespace
{

// Accepts every connection; while `answering`, answers whatever comes with +PONG.
class StandIn
{
public:
    StandIn(asio::io_context& io, const std::string& path)
        : acceptor(io, asio::local::stream_protocol::endpoint(path))
    {
        Accept();
    }

    bool answering = true;

private:
    using Socket = asio::local::stream_protocol::socket;

    void Accept()
    {
        acceptor.async_accept([this](const asio::error_code& error, Socket socket) {
            if (error)
                return;
            Serve(std::make_shared<Socket>(std::move(socket)));
            Accept();
        });
    }

    void Serve(std::shared_ptr<Socket> socket)
    {
        auto buffer = std::make_shared<std::array<char, 4096>>();
        socket->async_read_some(asio::buffer(*buffer),
                                [this, socket, buffer](const asio::error_code& error, std::size_t) {
                                    if (error)
                                        return;
                                    if (answering)
                                        asio::write(*socket,
                                                    asio::buffer(std::string("+PONG\r\n")));
                                    Serve(socket);
                                });
    }

    asio::local::stream_protocol::acceptor acceptor;
};

// Runs the loop until the value is set; false after the time.
template <typename T> bool RunUntil(asio::io_context& io, const std::optional<T>& value, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!value && std::chrono::steady_clock::now() < end)
    {
        io.restart();
        io.run_for(std::chrono::milliseconds(20));
    }
    return value.has_value();
}

TEST(RedisConnection, AConnectionNotAnsweredInTimeFailsEvenRightAfterOneWasDropped)
{
    TempDir dir;
    asio::io_context io;
    StandIn redis(io, dir.File("redis.sock"));
    RedisAddress address;
    std::string error;
    ASSERT_TRUE(RedisAddress::Parse("unix:" + dir.File("redis.sock"), address, error)) << error;
    RedisConnection connection(io, address, "");

    std::optional<std::string> ready, lost;
    connection.Connect(
        std::chrono::milliseconds(1000), [&](const std::string& why) { ready = why; },
        [&](const std::string& why) { lost = why; });
    ASSERT_TRUE(RunUntil(io, ready, 5000));
    EXPECT_EQ(*ready, "");

    // A command waits, watched; the connection is dropped while it is.
    redis.answering = false;
    connection.Command({"PING"}, [](const redisReply*) {});
    connection.Drop("dropped by the test");
    ASSERT_TRUE(RunUntil(io, lost, 2000));
    EXPECT_EQ(*lost, "dropped by the test");

    // At once a new one, which Redis takes but never answers: given up after its time.
    std::optional<std::string> again;
    const auto start = std::chrono::steady_clock::now();
    connection.Connect(
        std::chrono::milliseconds(1000), [&](const std::string& why) { again = why; },
        [](const std::string&) {});
    ASSERT_TRUE(RunUntil(io, again, 8000)) << "never given up";
    EXPECT_NE(*again, "");
    // Its reply's time, and the watch's half second.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              RedisConnection::CommandTime + std::chrono::milliseconds(1500));
}

} // namespace
