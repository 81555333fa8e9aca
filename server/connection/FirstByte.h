#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// A server that takes TLS and plain clients on one port learns from a connection's first byte
// how its client speaks: a TLS handshake record, or anything else (a plain client's first frame
// is its Nickname). This waits for that byte without taking it from the socket, up to a time, on
// the event loop the socket belongs to: one wait and one peek for each connection, nothing more.
class FirstByte : public std::enable_shared_from_this<FirstByte>
{
public:
    enum class Kind
    {
        Tls,
        Plain,
        Gone,  // closed by the client, or failed: why says which
        Silent // nothing came in time
    };
    using Told =
        std::function<void(asio::ip::tcp::socket socket, Kind kind, const std::string& why)>;

    using Clock = std::chrono::steady_clock;

    // Told once, with the socket, when the first byte has come or the time is up: `time` from
    // `since` (the connection's accept, which a newcomer's every wait counts from).
    static void Await(asio::ip::tcp::socket socket, Clock::time_point since,
                      std::chrono::seconds time, Told told);

    FirstByte(asio::ip::tcp::socket socket, Told told);

private:
    void Start(Clock::time_point since, std::chrono::seconds time);
    void Wait();
    void Peek();
    void Tell(Kind kind, const std::string& why);

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    Told told;
    bool over = false;
};
