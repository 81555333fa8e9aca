#pragma once

#include "server/link/RedisAddress.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct redisAsyncContext;
struct redisReply;

// One connection to Redis through hiredis's asynchronous API, on the server's one thread
// (HiredisAsioAdapter). Commands go out as they are given and their replies come back in order;
// since hiredis 0.14 has no time-outs of its own, each command has a time by which its reply
// must have come, and a connection that does not answer in time is dropped as lost.
//
// Every callback runs on the server's thread. A command's callback gets its reply, or null when
// the connection was lost (or dropped) first; the reply lives for the call only.
class RedisConnection
{
public:
    using Clock = std::chrono::steady_clock;
    using Callback = std::function<void(const redisReply* reply)>;

    static constexpr auto CommandTime = std::chrono::seconds(3);
    static constexpr std::size_t KeptBufferBytes = 4 << 20;

    RedisConnection(asio::io_context& io, RedisAddress address, std::string password);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Connects, gives the password when there is one, and sees Redis answer: `done` once, with
    // an empty error when the connection is ready. `lost` is called once afterwards if the ready
    // connection is lost, with why.
    void Connect(std::chrono::milliseconds timeout, std::function<void(const std::string&)> done,
                 std::function<void(const std::string&)> lost);
    bool Ready() const { return ready; }
    // Sends a command (its words as they are, binary safe). Not connected, its callback gets
    // null soon after.
    void Command(const std::vector<std::string>& words, Callback callback,
                 Clock::duration replyTime = CommandTime);
    // Ends the connection now: waiting commands get null, and `lost` is called.
    void Drop(const std::string& why);

private:
    struct Waiting;

    static void Connected(const redisAsyncContext* context, int status);
    static void Disconnected(const redisAsyncContext* context, int status);
    static void Replied(redisAsyncContext* context, void* reply, void* waiting);

    // Makes hiredis's context, to the address found for the host (or the Unix socket).
    void Open(const std::string& host);
    void Fail(const std::string& why);
    void Watch();
    // Runs fn soon, unless the connection has gone by then.
    void Later(std::function<void()> fn);

    asio::io_context& io;
    const RedisAddress address;
    const std::string password;
    redisAsyncContext* context = nullptr;
    bool ready = false;
    bool dying = false;
    std::function<void(const std::string&)> done;
    std::function<void(const std::string&)> lost;
    std::deque<Clock::time_point> deadlines; // of the commands waiting, in the order sent
    asio::steady_timer watch;
    bool watching = false; // a wait of the watch is pending
    asio::ip::tcp::resolver resolver;
    std::uint64_t attempt = 0; // of Connect: what an older one left behind is ignored
    std::shared_ptr<char> alive = std::make_shared<char>();
};
