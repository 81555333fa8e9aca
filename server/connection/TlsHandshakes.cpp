#include "server/connection/TlsHandshakes.h"

#include "net/SocketPlatform.h"
#include "server/connection/ServerTls.h"

#include <asio/post.hpp>
#include <asio/strand.hpp>

namespace
{

std::string ConnectionError(const asio::error_code& error)
{
    return "connection error " + std::to_string(error.value()) + " (" + error.message() + ")";
}

// Moves a connection's descriptor from one socket object to another, on another event loop.
bool MoveDescriptor(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, std::string& failure)
{
    asio::error_code error;
    const auto protocol = from.local_endpoint(error).protocol();
    if (error)
    {
        failure = ConnectionError(error);
        return false;
    }
    const auto descriptor = from.release(error);
    if (error)
    {
        failure = "cannot move the connection to another event loop: " + error.message();
        return false;
    }
    to.assign(protocol, descriptor, error);
    if (error)
    {
        // Released by the one and not taken by the other: nobody else would close it.
        closesocket(descriptor);
        failure = "cannot move the connection to another event loop: " + error.message();
        return false;
    }
    return true;
}

} // namespace

// One handshake, on the handshakes' event loop. Its socket and timer belong to a strand of its
// own, so that, whichever thread runs them, its handlers run one at a time.
class TlsHandshakes::Job : public std::enable_shared_from_this<Job>
{
public:
    Job(TlsHandshakes& stage, std::string group, Finished finished)
        : stage(stage), group(std::move(group)), finished(std::move(finished)),
          strand(asio::make_strand(*stage.pool)), socket(strand), timer(strand)
    {
    }

    // On the room's thread. A handshake step never waits for the client.
    bool Take(asio::ip::tcp::socket& from, std::string& failure)
    {
        if (!MoveDescriptor(from, socket, failure))
            return false;
        asio::error_code error;
        socket.non_blocking(true, error);
        if (error)
            failure = ConnectionError(error);
        return !error;
    }
    const asio::strand<asio::io_context::executor_type>& Strand() const { return strand; }
    void GiveBack(asio::ip::tcp::socket from, const std::string& failure)
    {
        finished(std::move(from), {nullptr, LeaveReason::Left, failure, false});
    }

    // On a handshake thread, from here on.
    void Start(ServerTls& tls, Clock::time_point deadline, const std::string& timeText)
    {
        timer.expires_at(deadline);
        timer.async_wait([self = shared_from_this(), timeText](const asio::error_code& error) {
            if (!error)
                self->Finish(LeaveReason::Timeout, "no TLS handshake within " + timeText);
        });
        channel = tls.Channel(socket.native_handle());
        if (!channel)
        {
            Finish(LeaveReason::Left, "TLS could not be set up for the connection");
            return;
        }
        Step();
    }

private:
    void Step()
    {
        if (over)
            return;
        asio::error_code error;
        ByteChannel::Wait waitFor = ByteChannel::Wait::wait_read;
        if (channel->Handshake(error, waitFor))
            Finish(LeaveReason::Left, "");
        else if (error == asio::error::would_block)
            socket.async_wait(waitFor, [self = shared_from_this()](const asio::error_code& waited) {
                if (self->over)
                    return;
                if (waited)
                    self->Finish(LeaveReason::Left, ConnectionError(waited));
                else
                    self->Step();
            });
        else if (error == asio::error::eof || error == asio::error::connection_reset)
            Finish(LeaveReason::Left, "closed by the client during the TLS handshake");
        else
            Finish(LeaveReason::BadInput, "TLS handshake failed: " + error.message());
    }

    // Hands the connection back to the room's thread: made (no failure), its socket there and its
    // channel; or not, and why. The handshake's place is given up there.
    void Finish(LeaveReason reason, std::string failure)
    {
        if (over)
            return;
        over = true;
        timer.cancel();
        asio::ip::tcp::socket back(stage.room);
        // A handshake made but not moved back goes as a failed connection (reason Left).
        HandshakeEnd end{nullptr, reason, std::move(failure), true};
        if (end.why.empty() && MoveDescriptor(socket, back, end.why))
            end.channel = std::move(channel);
        channel.reset();
        asio::error_code ignored;
        socket.close(ignored);
        asio::post(stage.room, [&stage = stage, group = group, finished = std::move(finished),
                                back = std::move(back), end = std::move(end)]() mutable {
            if (stage.stopped)
                return; // the connection closes with the handler
            stage.Ended(group);
            finished(std::move(back), std::move(end));
        });
    }

    TlsHandshakes& stage;
    const std::string group;
    Finished finished;
    asio::strand<asio::io_context::executor_type> strand;
    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    std::unique_ptr<TlsChannel> channel;
    bool over = false;
};

TlsHandshakes::TlsHandshakes(asio::io_context& room, HandshakeLimits limits, std::size_t threads,
                             std::function<void()> threadStart)
    : room(room), limits(limits), sweep(room)
{
    pool.emplace();
    work.emplace(pool->get_executor());
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i)
        this->threads.emplace_back([this, threadStart] {
            if (threadStart)
                threadStart();
            pool->run();
        });
}

TlsHandshakes::~TlsHandshakes()
{
    Stop();
}

void TlsHandshakes::Begin(asio::ip::tcp::socket socket, std::shared_ptr<ServerTls> tls,
                          const std::string& group, Clock::time_point acceptedAt, Finished finished)
{
    if (stopped)
        return;
    Waiter waiter{std::move(socket), std::move(tls), std::move(finished), acceptedAt + limits.time};
    Group& place = groups[group];
    if (place.waiting.empty() && inProgress < limits.inProgress &&
        place.inProgress < limits.inProgressPerAddress)
    {
        Launch(group, std::move(waiter));
        return;
    }
    if (waitingCount >= limits.waiting)
    {
        ForgetIfIdle(group);
        waiter.finished(std::move(waiter.socket),
                        {nullptr, LeaveReason::TurnedAway,
                         std::to_string(waitingCount) + " TLS handshakes wait for a place already",
                         false});
        return;
    }
    if (place.waiting.empty())
        turns.push_back(group);
    place.waiting.push_back(std::move(waiter));
    ++waitingCount;
    ScheduleSweep();
}

void TlsHandshakes::Launch(const std::string& group, Waiter waiter)
{
    auto job = std::make_shared<Job>(*this, group, std::move(waiter.finished));
    std::string failure;
    if (!job->Take(waiter.socket, failure))
    {
        ForgetIfIdle(group);
        job->GiveBack(std::move(waiter.socket), failure);
        return;
    }
    ++inProgress;
    ++groups[group].inProgress;
    asio::post(job->Strand(), [job, tls = std::move(waiter.tls), deadline = waiter.deadline,
                               timeText = TimeText()] { job->Start(*tls, deadline, timeText); });
}

void TlsHandshakes::GiveOutPlaces()
{
    // Groups passed over in a row because they are at their own limit: once every group waiting
    // has been, none can have a place now.
    std::size_t passedOver = 0;
    while (inProgress < limits.inProgress && !turns.empty() && passedOver < turns.size())
    {
        const std::string name = std::move(turns.front());
        turns.pop_front();
        Group& group = groups[name];
        if (group.inProgress >= limits.inProgressPerAddress)
        {
            turns.push_back(name);
            ++passedOver;
            continue;
        }
        passedOver = 0;
        Waiter waiter = std::move(group.waiting.front());
        group.waiting.pop_front();
        --waitingCount;
        if (!group.waiting.empty())
            turns.push_back(name);
        if (waiter.deadline <= Clock::now())
            Overdue(std::move(waiter)); // its time ran out while it waited: no work for it
        else
            Launch(name, std::move(waiter));
    }
}

void TlsHandshakes::Ended(const std::string& group)
{
    --inProgress;
    --groups[group].inProgress;
    ForgetIfIdle(group);
    GiveOutPlaces();
}

// Once a second while connections wait: those whose time is up are let go.
void TlsHandshakes::DropOverdue()
{
    const auto now = Clock::now();
    std::vector<Waiter> overdue;
    for (auto& [name, group] : groups)
        while (!group.waiting.empty() && group.waiting.front().deadline <= now)
        {
            overdue.push_back(std::move(group.waiting.front()));
            group.waiting.pop_front();
            --waitingCount;
        }
    std::deque<std::string> stillWaiting;
    for (auto& name : turns)
        if (!groups[name].waiting.empty())
            stillWaiting.push_back(std::move(name));
    turns.swap(stillWaiting);
    for (Waiter& waiter : overdue)
        Overdue(std::move(waiter));
    for (auto it = groups.begin(); it != groups.end();)
        it = it->second.inProgress == 0 && it->second.waiting.empty() ? groups.erase(it)
                                                                      : std::next(it);
    ScheduleSweep();
}

void TlsHandshakes::ScheduleSweep()
{
    if (sweeping || waitingCount == 0 || stopped)
        return;
    sweeping = true;
    sweep.expires_after(std::chrono::seconds(1));
    sweep.async_wait([this](const asio::error_code& error) {
        sweeping = false;
        if (!error && !stopped)
            DropOverdue();
    });
}

void TlsHandshakes::Overdue(Waiter waiter)
{
    waiter.finished(std::move(waiter.socket),
                    {nullptr, LeaveReason::Timeout,
                     "no TLS handshake within " + TimeText() + " (it waited for a place)", false});
}

void TlsHandshakes::ForgetIfIdle(const std::string& group)
{
    const auto found = groups.find(group);
    if (found != groups.end() && found->second.inProgress == 0 && found->second.waiting.empty())
        groups.erase(found);
}

std::string TlsHandshakes::TimeText() const
{
    return std::to_string(limits.time.count()) + " s";
}

void TlsHandshakes::Stop()
{
    if (stopped)
        return;
    stopped = true;
    sweep.cancel();
    turns.clear();
    groups.clear(); // the connections waiting close
    inProgress = 0;
    waitingCount = 0;
    work.reset();
    pool->stop();
    for (auto& thread : threads)
        thread.join();
    threads.clear();
    // The handshakes in progress, and their connections, go with their event loop.
    pool.reset();
}
