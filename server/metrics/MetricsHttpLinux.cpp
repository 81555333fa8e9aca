// The metrics endpoint on Debian's cpp-httplib. The library parses every request and writes
// every answer; what is ours is how it reaches the bytes of a connection (LimitedStream: every
// wait bounded, the whole connection too, and what a client may send) and the pool of workers
// that serve connections (a bounded waiting line, so that the system's listen queue holds the
// rest rather than this process).

#include "server/metrics/MetricsHttp.h"
#include "server/metrics/MetricsText.h"

#include <arpa/inet.h>
#include <httplib.h>
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

// A connection's bytes as the library reads and writes them, within the limits: each wait for
// the client lasts at most `silence`, all of them end at the connection's deadline, and no more
// than requestBytes are read. Reads go through a buffer, since the library takes a request's
// head a byte at a time.
class LimitedStream final : public httplib::Stream
{
public:
    LimitedStream(socket_t socket, const HttpLimits& limits, const StopSignal& stop)
        : socket_(socket), limits(limits), stop(stop), deadline(Clock::now() + limits.requestTime)
    {
    }

    bool is_readable() const override { return at < filled || Wait(POLLIN); }
    bool is_writable() const override { return Wait(POLLOUT); }

    ssize_t read(char* into, size_t size) override
    {
        if (at == filled)
        {
            const std::size_t allowed = limits.requestBytes - received;
            if (allowed == 0 || !Wait(POLLIN))
                return -1;
            const ssize_t count = recv(socket_, buffer.data(), std::min(buffer.size(), allowed), 0);
            if (count <= 0)
                return count < 0 ? -1 : 0;
            received += static_cast<std::size_t>(count);
            at = 0;
            filled = static_cast<std::size_t>(count);
        }
        const std::size_t count = std::min(size, filled - at);
        std::memcpy(into, buffer.data() + at, count);
        at += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* bytes, size_t size) override
    {
        if (!Wait(POLLOUT))
            return -1;
        return send(socket_, bytes, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        AddressOf(getpeername, socket_, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        AddressOf(getsockname, socket_, ip, port);
    }
    socket_t socket() const override { return socket_; }

private:
    // Whether the socket is ready for `events` before the silence is over, the connection's
    // time is up, or the endpoint stops.
    bool Wait(short events) const
    {
        for (;;)
        {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd records[2] = {{socket_, events, 0}, {stop.Fd(), POLLIN, 0}};
            const int ready =
                poll(records, 2, static_cast<int>(std::min(left, limits.silence).count()));
            if (ready < 0 && errno == EINTR)
                continue; // a signal for another part of the server
            return ready > 0 && records[1].revents == 0;
        }
    }

    const socket_t socket_;
    const HttpLimits& limits;
    const StopSignal& stop;
    const Clock::time_point deadline;
    std::array<char, 4096> buffer{};
    std::size_t at = 0;
    std::size_t filled = 0;
    std::size_t received = 0;
};

// The library's server, but each connection is one request, read and answered by the library
// through a LimitedStream. (The library's own timeouts bound each wait, never a whole request,
// and its keep-alive would hold a worker between requests.)
class LimitedServer final : public httplib::Server
{
public:
    LimitedServer(const HttpLimits& limits, const StopSignal& stopped)
        : limits(limits), stopped(stopped)
    {
    }

private:
    bool process_and_close_socket(socket_t socket) override
    {
        bool closedByClient = false;
        bool answered = false;
        {
            LimitedStream stream(socket, limits, stopped);
            answered = process_request(stream, true, closedByClient, nullptr);
        }
        shutdown(socket, SHUT_RDWR);
        close(socket);
        return answered;
    }

    const HttpLimits& limits;
    const StopSignal& stopped;
};

// The workers that serve connections. At most `waiting` accepted connections wait for one;
// beyond that the accepting thread waits too, and newcomers wait in the system's listen queue.
class WorkerPool final : public httplib::TaskQueue
{
public:
    WorkerPool(std::size_t workers, std::size_t waiting)
        : waitingMost(std::max<std::size_t>(1, waiting))
    {
        for (std::size_t i = 0; i < std::max<std::size_t>(1, workers); ++i)
            threads.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> job) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        roomLeft.wait(lock, [this] { return jobs.size() < waitingMost || stopping; });
        jobs.push_back(std::move(job));
        jobReady.notify_one();
    }

    // Those waiting are still served (each ends at once when the endpoint stops).
    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        jobReady.notify_all();
        roomLeft.notify_all();
        for (auto& thread : threads)
            thread.join();
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
            roomLeft.notify_one();
            job();
        }
    }

    const std::size_t waitingMost;
    std::mutex mutex;
    std::condition_variable jobReady;
    std::condition_variable roomLeft;
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
        : figures(std::move(figures)), limits(limits), server(this->limits, stop)
    {
        server.new_task_queue = [this] {
            return new WorkerPool(this->limits.workers, this->limits.waiting);
        };
        // Only this address and port: no other process may listen on it beside this one.
        server.set_socket_options([](socket_t socket) {
            const int yes = 1;
            setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
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
        server.stop();
        if (thread.joinable())
            thread.join();
    }

    bool Listen(const std::string& host, std::uint16_t wanted, std::string& error)
    {
        errno = 0;
        const int bound = wanted == 0 ? server.bind_to_any_port(host)
                                      : (server.bind_to_port(host, wanted) ? wanted : -1);
        if (bound <= 0)
        {
            const int reason = errno;
            error = "cannot serve metrics on " + HostAndPort(host, wanted) +
                    (reason != 0 ? std::string(": ") + std::strerror(reason) : "");
            return false;
        }
        port = static_cast<std::uint16_t>(bound);
        thread = std::thread([this] {
            server.listen_after_bind();
            ended = true;
        });
        // Until the server runs, stopping it would not end it.
        while (!server.is_running() && !ended)
            std::this_thread::sleep_for(milliseconds(1));
        if (ended)
        {
            error = "cannot serve metrics on " + HostAndPort(host, port);
            return false;
        }
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
    LimitedServer server;
    std::uint16_t port = 0;
    std::atomic<bool> ended{false};
    std::thread thread;
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
