#include "server/link/RedisConnection.h"

#include "server/link/HiredisAsioAdapter.h"
#include "server/link/RedisReply.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <asio/post.hpp>

struct RedisConnection::Waiting
{
    RedisConnection* connection;
    Callback callback;
};

using RedisReply::Text;

RedisConnection::RedisConnection(asio::io_context& io, RedisAddress address, std::string password)
    : io(io), address(std::move(address)), password(std::move(password)), watch(io), resolver(io)
{
}

RedisConnection::~RedisConnection()
{
    // Nobody is told anything more: the callbacks' owners are going too.
    dying = true;
    watch.cancel();
    resolver.cancel();
    if (context)
    {
        redisAsyncContext* ending = context;
        context = nullptr;
        ending->data = nullptr;
        redisAsyncFree(ending);
    }
}

void RedisConnection::Connect(std::chrono::milliseconds timeout,
                              std::function<void(const std::string&)> whenDone,
                              std::function<void(const std::string&)> whenLost)
{
    ++attempt;
    done = std::move(whenDone);
    lost = std::move(whenLost);
    ready = false;
    deadlines.push_back(Clock::now() + timeout); // the connection itself must come in time
    Watch();
    // hiredis would look a name up on this thread, which serves every member: the resolver
    // does it aside, and hiredis is given the address.
    asio::error_code notAddress;
    asio::ip::make_address(address.host, notAddress);
    if (!address.path.empty() || !notAddress)
    {
        Open(address.host);
        return;
    }
    resolver.async_resolve(address.host, std::to_string(address.port),
                           [this, weak = std::weak_ptr<char>(alive),
                            now = attempt](const asio::error_code& error,
                                           const asio::ip::tcp::resolver::results_type& found) {
                               if (!weak.lock() || now != attempt || !done || context)
                                   return; // gone, or given up meanwhile
                               if (error || found.empty())
                               {
                                   Fail("cannot find the address of " + address.host + ": " +
                                        (error ? error.message() : "no address"));
                                   return;
                               }
                               Open(found.begin()->endpoint().address().to_string());
                           });
}

void RedisConnection::Open(const std::string& host)
{
    context = address.path.empty() ? redisAsyncConnect(host.c_str(), address.port)
                                   : redisAsyncConnectUnix(address.path.c_str());
    if (!context || context->err)
    {
        const std::string why = context ? context->errstr : "out of memory";
        if (context)
            redisAsyncFree(context);
        context = nullptr;
        Later([this, why, now = attempt] {
            if (now == attempt)
                Fail(why);
        });
        return;
    }
    context->data = this;
    // The reply buffer is kept at its size rather than given back after every large reply (a
    // room's stream comes in large replies, one after another), up to a size: one that grew
    // beyond it for a rare huge reply is given back once empty.
    context->c.reader->maxbuf = KeptBufferBytes;
    RedisReply::BoundArrays(context->c.reader);
    HiredisAsioAdapter::Attach(io, context);
    redisAsyncSetConnectCallback(context, Connected);
    redisAsyncSetDisconnectCallback(context, Disconnected);
}

void RedisConnection::Connected(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisConnection*>(context->data);
    if (!self || self->dying)
        return;
    if (!self->deadlines.empty())
        self->deadlines.pop_front();
    if (status != REDIS_OK)
    {
        // hiredis frees the context right after this.
        const std::string why = context->errstr ? context->errstr : "cannot connect";
        self->context = nullptr;
        self->Fail(why);
        return;
    }
    // A password first when there is one; then Redis must answer a PING.
    if (!self->password.empty())
        self->Command({"AUTH", self->password}, [self](const redisReply* reply) {
            if (reply && reply->type == REDIS_REPLY_ERROR)
                self->Fail("Redis refused the password: " + Text(reply));
        });
    self->Command({"PING"}, [self](const redisReply* reply) {
        if (!reply || !self->done)
            return;
        if (reply->type == REDIS_REPLY_ERROR)
        {
            self->Fail("Redis refused to answer: " + Text(reply));
            return;
        }
        self->ready = true;
        const auto whenDone = std::move(self->done);
        self->done = nullptr;
        whenDone("");
    });
}

void RedisConnection::Disconnected(const redisAsyncContext* context, int)
{
    auto* self = static_cast<RedisConnection*>(context->data);
    if (!self || self->dying)
        return;
    const std::string why = context->errstr ? context->errstr : "closed by Redis";
    self->context = nullptr;
    self->Fail(why);
}

// The connection is gone or never came: whoever waits is told once.
void RedisConnection::Fail(const std::string& why)
{
    if (context)
    {
        Drop(why);
        return;
    }
    const bool wasReady = ready;
    ready = false;
    deadlines.clear();
    watch.cancel();
    watching = false;
    resolver.cancel();
    if (done)
    {
        const auto whenDone = std::move(done);
        done = nullptr;
        lost = nullptr;
        whenDone(why.empty() ? "connection lost" : why);
    }
    else if (wasReady && lost)
    {
        const auto whenLost = std::move(lost);
        lost = nullptr;
        whenLost(why);
    }
}

void RedisConnection::Drop(const std::string& why)
{
    if (!context)
    {
        Fail(why);
        return;
    }
    redisAsyncContext* ending = context;
    context = nullptr;
    // Waiting commands get null; when called from within a reply, hiredis frees it afterwards.
    // Nothing of it reaches this connection but those replies, which may come after a new
    // connection has begun.
    ending->data = nullptr;
    redisAsyncFree(ending);
    Later([this, why, now = attempt] {
        if (now == attempt)
            Fail(why);
    });
}

void RedisConnection::Later(std::function<void()> fn)
{
    asio::post(io, [weak = std::weak_ptr<char>(alive), fn = std::move(fn)] {
        if (weak.lock())
            fn();
    });
}

void RedisConnection::Command(const std::vector<std::string>& words, Callback callback,
                              Clock::duration replyTime)
{
    if (!context)
    {
        Later([callback = std::move(callback)] { callback(nullptr); });
        return;
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(words.size());
    lengths.reserve(words.size());
    for (const std::string& word : words)
    {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    auto* waiting = new Waiting{this, std::move(callback)};
    if (redisAsyncCommandArgv(context, Replied, waiting, static_cast<int>(argv.size()), argv.data(),
                              lengths.data()) != REDIS_OK)
    {
        const std::shared_ptr<Waiting> owned(waiting);
        Later([owned] { owned->callback(nullptr); });
        return;
    }
    deadlines.push_back(Clock::now() + replyTime);
    Watch();
}

void RedisConnection::Replied(redisAsyncContext*, void* reply, void* pointer)
{
    const std::unique_ptr<Waiting> waiting(static_cast<Waiting*>(pointer));
    RedisConnection* self = waiting->connection;
    if (self->dying)
        return;
    if (reply && !self->deadlines.empty())
        self->deadlines.pop_front();
    waiting->callback(static_cast<const redisReply*>(reply));
}

// Once a second, while commands wait: the oldest must have its reply by its time.
void RedisConnection::Watch()
{
    if (deadlines.empty() || watching)
        return;
    watching = true;
    watch.expires_after(std::chrono::milliseconds(500));
    watch.async_wait([this](const asio::error_code& error) {
        if (error || dying)
            return;
        watching = false;
        if (!deadlines.empty() && deadlines.front() < Clock::now())
        {
            Drop(ready ? "Redis did not answer in time" : "Redis did not answer within the time");
            return;
        }
        Watch();
    });
}
