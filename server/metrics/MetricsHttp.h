#pragma once

#include "server/metrics/ServerFigures.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// What one HTTP client may take of the metrics endpoint. Every connection's request head is
// read by one thread that polls them all, and a worker gets it only once the head is whole: a
// client that is slow or hostile holds no worker, only its own place among those being read,
// for at most requestTime and requestBytes; one address holds at most readingPerAddress of
// those places, and a newcomer beyond a bound takes the oldest's place. Requests beyond those
// the workers and the waiting line hold are told the endpoint is busy.
struct HttpLimits
{
    std::chrono::milliseconds silence{2000};     // the longest wait for the client to go on
    std::chrono::milliseconds requestTime{5000}; // a connection's whole time, answer included
    std::size_t requestBytes = 16 * 1024;        // the most a request head may take
    std::size_t reading = 256;                   // connections whose heads are read at once
    std::size_t readingPerAddress = 8;           // of those, from one address
    std::size_t workers = 8;
    std::size_t waiting = 16; // whole requests that wait for a worker
    // How long a request waits for the server's loop to hand over its figures.
    std::chrono::milliseconds loopAnswer{1000};
};

// The server's metrics over HTTP, on threads of their own (Linux build):
//   GET /metrics  the figures in Prometheus's text format
//   GET /healthz  200 while the server's loop answers within loopAnswer, else 503
//   GET /readyz   200 when the server is ready for clients, else 503 with the reason in a line
// and 404 for anything else. One request per connection. Every figure is asked of the server's
// loop (FiguresSource), never read from here; the process's own are read from the system.
class MetricsHttp
{
public:
    // The server's figures, taken on its own thread, or nothing when it did not answer within
    // the time given.
    using FiguresSource = std::function<std::optional<ServerFigures>(std::chrono::milliseconds)>;

    // Stops taking requests and waits for those under way, which end within their limits.
    virtual ~MetricsHttp() = default;

    // Whether this build of the server has the metrics endpoint at all, and why not.
    static bool Available();
    static std::string Unavailable();
    // Listens on host (an address) and port (0: a free one) and serves from threads of its own;
    // nothing, with the reason, when it cannot listen.
    static std::unique_ptr<MetricsHttp> Start(const std::string& host, std::uint16_t port,
                                              FiguresSource figures, std::string& error,
                                              const HttpLimits& limits = {});

    // The port listened on.
    virtual std::uint16_t Port() const = 0;
};
