// The metrics endpoint on Debian's cpp-httplib. The library parses every request and writes
// every answer; what is ours is the accepting side (RequestHeads: one thread reads every
// connection's request head, within its time and its bytes, before a worker sees it), how the
// library reaches a connection's bytes (HeadStream: the head read, and the answer written within
// the connection's time), and the pool of workers (a bounded waiting line; beyond it a request
// is told the endpoint is busy).

#include "server/metrics/MetricsHttp.h"
#include "server/metrics/MetricsText.h"
#include "server/metrics/RequestHeads.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Raised once when the endpoint stops, so that every connection's wait ends at once.
class StopSignal
{
public:
    StopSignal() : fd(eventfd(0, EFD_CLOEXEC)) {}
    ~StopSignal()
    {
        if (fd >= 0)
            close(fd);
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise() const
    {
        const std::uint64_t one = 1;
        if (write(fd, &one, sizeof one) < 0)
            return; // without it, waits end at their own limits
    }
    int Fd() const { return fd; }

private:
    int fd;
};

void AddressOf(int (*get)(int, sockaddr*, socklen_t*), socket_t socket, std::string& ip, int& port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (get(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    {
        if (address.ss_family == AF_INET6)
        {
            const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
            port = ntohs(v6.sin6_port);
        }
        else if (address.ss_family == AF_INET)
        {
            const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
            inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
            port = ntohs(v4.sin_port);
        }
    }
    ip = text;
}

// A connection's bytes as the library reads and writes them: the request is what the head
// reader took (RequestHeads), and nothing more is read from the client, so that no client holds
// a worker by sending slowly; the answer is written as the client takes it, each wait bounded by
// the connection's deadline.
class HeadStream final : public httplib::Stream
{
public:
    HeadStream(const RequestHead& head, const StopSignal& stop) : head(head), stop(stop) {}

    bool is_readable() const override { return at < head.bytes.size(); }
    bool is_writable() const override { return Wait(POLLOUT); }

    ssize_t read(char* into, size_t size) override
    {
        const std::size_t count = std::min(size, head.bytes.size() - at);
        std::memcpy(into, head.bytes.data() + at, count);
        at += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* bytes, size_t size) override
    {
        for (;;)
        {
            if (!Wait(POLLOUT))
                return -1;
            const ssize_t sent = send(head.socket, bytes, size, MSG_NOSIGNAL);
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return sent;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        AddressOf(getpeername, head.socket, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        AddressOf(getsockname, head.socket, ip, port);
    }
    socket_t socket() const override { return head.socket; }

private:
    // Whether the socket is ready for `events` before the connection's time is up or the
    // endpoint stops.
    bool Wait(short events) const
    {
        for (;;)
        {
            const auto left = std::chrono::ceil<milliseconds>(head.deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd records[2] = {{head.socket, events, 0}, {stop.Fd(), POLLIN, 0}};
            const int ready = poll(records, 2, static_cast<int>(left));
            if (ready < 0 && errno == EINTR)
                continue; // a signal for another part of the server
            return ready > 0 && records[1].revents == 0;
        }
    }

    const RequestHead& head;
    const StopSignal& stop;
    std::size_t at = 0;
};

// The library's server as a parser of requests and a writer of answers: it listens on nothing
// itself. Each connection is one request (its keep-alive would hold a worker between requests).
class RequestServer final : public httplib::Server
{
public:
    // Answers the request of one connection, and closes it.
    void Serve(const RequestHead& head, const StopSignal& stop)
    {
        bool closedByClient = false;
        {
            HeadStream stream(head, stop);
            process_request(stream, true, closedByClient, nullptr);
        }
        shutdown(head.socket, SHUT_RDWR);
        close(head.socket);
    }
};

// The workers that answer requests whose heads are whole. At most `waiting` wait for one;
// beyond that a request is refused at once (the head reader tells the client the endpoint is
// busy) rather than held.
class WorkerPool
{
public:
    WorkerPool(std::size_t workers, std::size_t waiting)
        : workerCount(std::max<std::size_t>(1, workers)),
          waitingMost(std::max<std::size_t>(1, waiting))
    {
    }
    ~WorkerPool() { Stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Start()
    {
        for (std::size_t i = 0; i < workerCount; ++i)
            threads.emplace_back([this] { Work(); });
    }

    // False when too many wait already.
    bool Offer(std::function<void()> job)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (jobs.size() >= waitingMost || stopping)
            return false;
        jobs.push_back(std::move(job));
        jobReady.notify_one();
        return true;
    }

    // Those waiting are still served (each ends at once when the endpoint stops).
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        jobReady.notify_all();
        for (auto& thread : threads)
            thread.join();
        threads.clear();
    }

private:
    void Work()
    {
        for (;;)
        {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                jobReady.wait(lock, [this] { return !jobs.empty() || stopping; });
                if (jobs.empty())
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }

    const std::size_t workerCount;
    const std::size_t waitingMost;
    std::mutex mutex;
    std::condition_variable jobReady;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::vector<std::thread> threads;
};

std::string HostAndPort(const std::string& host, std::uint16_t port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

class HttpEndpoint final : public MetricsHttp
{
public:
    HttpEndpoint(FiguresSource figures, const HttpLimits& limits)
        : figures(std::move(figures)), limits(limits), pool(limits.workers, limits.waiting)
    {
        server.set_payload_max_length(limits.requestBytes);
        server.set_pre_routing_handler(
            [](const httplib::Request& request, httplib::Response& response) {
                const bool served = request.path == "/metrics" || request.path == "/healthz" ||
                                    request.path == "/readyz";
                if (served && (request.method == "GET" || request.method == "HEAD"))
                    return httplib::Server::HandlerResponse::Unhandled;
                response.status = 404;
                response.set_content(
                    "not found: this server answers GET /metrics, /healthz and /readyz\n",
                    "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            });
        server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            const auto now = Figures(response);
            if (now)
                response.set_content(PrometheusText(*now, ReadProcessFigures()),
                                     PrometheusContentType);
        });
        server.Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
            if (Figures(response))
                response.set_content("ok\n", "text/plain");
        });
        server.Get("/readyz", [this](const httplib::Request&, httplib::Response& response) {
            const auto now = Figures(response);
            if (!now)
                return;
            const std::string reason = NotReadyReason(*now);
            if (!reason.empty())
                response.status = 503;
            response.set_content(reason.empty() ? "ready\n" : reason + "\n", "text/plain");
        });
    }

    ~HttpEndpoint() override
    {
        stop.Raise();
        if (reader.joinable())
            reader.join();
        pool.Stop();
        if (listener >= 0)
            close(listener);
    }

    bool Listen(const std::string& host, std::uint16_t wanted, std::string& error)
    {
        const std::string where = HostAndPort(host, wanted);
        addrinfo hints{};
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int looked =
            getaddrinfo(host.c_str(), std::to_string(wanted).c_str(), &hints, &found);
        if (looked != 0)
        {
            error = "cannot serve metrics on " + where + ": " + gai_strerror(looked);
            return false;
        }
        listener = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Only this address and port: no other process may listen on it beside this one.
        const int yes = 1;
        const bool listening =
            listener >= 0 &&
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            bind(listener, found->ai_addr, found->ai_addrlen) == 0 &&
            listen(listener, SOMAXCONN) == 0;
        const int reason = errno;
        freeaddrinfo(found);
        if (!listening)
        {
            error = "cannot serve metrics on " + where + ": " + std::strerror(reason);
            return false;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
        port = ntohs(bound.ss_family == AF_INET6
                         ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                         : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
        pool.Start();
        RequestHeads::Limits heads;
        heads.headBytes = limits.requestBytes;
        heads.silence = limits.silence;
        heads.time = limits.requestTime;
        heads.connections = limits.reading;
        heads.perAddress = limits.readingPerAddress;
        reader = std::thread([this, heads] {
            RequestHeads reading(listener, stop.Fd(), heads, [this](RequestHead head) {
                return pool.Offer([this, head] { server.Serve(head, stop); });
            });
            reading.Run();
        });
        return true;
    }

    std::uint16_t Port() const override { return port; }

private:
    // The server's figures, or nothing with the answer set to say the loop did not answer.
    std::optional<ServerFigures> Figures(httplib::Response& response)
    {
        std::optional<ServerFigures> now = figures(limits.loopAnswer);
        if (!now)
        {
            response.status = 503;
            response.set_content("the server's event loop did not answer within " +
                                     std::to_string(limits.loopAnswer.count()) + " ms\n",
                                 "text/plain");
        }
        return now;
    }

    const FiguresSource figures;
    const HttpLimits limits;
    StopSignal stop;
    RequestServer server;
    WorkerPool pool;
    int listener = -1;
    std::uint16_t port = 0;
    std::thread reader;
};

} // namespace

bool MetricsHttp::Available()
{
    return true;
}

std::string MetricsHttp::Unavailable()
{
    return "";
}

std::unique_ptr<MetricsHttp> MetricsHttp::Start(const std::string& host, std::uint16_t port,
                                                FiguresSource figures, std::string& error,
                                                const HttpLimits& limits)
{
    auto endpoint = std::make_unique<HttpEndpoint>(std::move(figures), limits);
    if (!endpoint->Listen(host, port, error))
        return nullptr;
    return endpoint;
}
