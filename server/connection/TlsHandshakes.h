#pragma once

#include "server/connection/ByteChannel.h"
#include "server/room/Departure.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class ServerTls;

// How many TLS handshakes are made at once, and for how long. A handshake waiting on its client
// costs nothing but its place; the bounds keep one address, or a storm from many, from holding
// every place, and bound what waits.
struct HandshakeLimits
{
    std::size_t inProgress = 32;          // being made at once, in all
    std::size_t inProgressPerAddress = 4; // from one address (an IPv6 /64)
    std::size_t waiting = 4096;           // waiting for a place; beyond, closed at once
    // From the connection's accept to the end of its handshake, the wait for its first byte and
    // for a place included.
    std::chrono::seconds time{10};
};

// How a connection handed over for its handshake comes back.
struct HandshakeEnd
{
    std::unique_ptr<ByteChannel> channel; // past its handshake; none when it was not made
    // Without a channel: why the connection goes, as it is counted, and as the log says it.
    LeaveReason reason = LeaveReason::Left;
    std::string why;
    // Whether a handshake was made or begun: not for a connection that found no place, or whose
    // time ran out while it waited for one.
    bool attempted = false;
};

// The TLS handshakes of a server, made away from the room's thread. A handshake is the dearest
// thing a client can ask of the server (a key exchange and a signature, about half a millisecond
// of a core, several times that with an RSA key): made on the room's one thread, a thousand at
// once held every member's line for the better part of a second. Here they are made on a thread
// or two of their own, at a lower priority than the room's, on an event loop of their own; the
// room's thread only hands a connection over and takes it back, its socket now on the room's event
// loop and its channel past the handshake.
//
// Beyond the limits, connections wait for a place, and places are given to the addresses with
// connections waiting in turn, so that a storm from one address delays the others' handshakes by
// little. A handshake that fails, or is not done in time (waiting included), gives its place up
// at once. Everything but the handshake's own work runs on the room's thread.
//
// The threads give way to the room's wherever they share a core: the server has each begin by
// lowering its own priority (ServerPlatform).
class TlsHandshakes
{
public:
    using Clock = std::chrono::steady_clock;
    // Once for every connection begun, on the room's thread: with its socket (on the room's event
    // loop) and its channel when the handshake was made; otherwise with no channel, and why not.
    using Finished = std::function<void(asio::ip::tcp::socket socket, HandshakeEnd end)>;

    // Each of the threads runs threadStart first, when there is one.
    TlsHandshakes(asio::io_context& room, HandshakeLimits limits, std::size_t threads,
                  std::function<void()> threadStart = nullptr);
    ~TlsHandshakes();
    TlsHandshakes(const TlsHandshakes&) = delete;
    TlsHandshakes& operator=(const TlsHandshakes&) = delete;

    // On the room's thread: a connection whose client has begun a TLS handshake, the TLS it is to
    // get (the certificate in force now), the address group it counts for (IPv6 by its /64), and
    // when it was accepted, which its time counts from.
    void Begin(asio::ip::tcp::socket socket, std::shared_ptr<ServerTls> tls,
               const std::string& group, Clock::time_point acceptedAt, Finished finished);
    // Ends every handshake, in progress or waiting, closing its connection without a word, and
    // the threads; nothing is finished after. Waits only for the step a thread is making.
    void Stop();

    std::size_t InProgress() const { return inProgress; }
    std::size_t Waiting() const { return waitingCount; }

private:
    class Job;
    struct Waiter
    {
        asio::ip::tcp::socket socket;
        std::shared_ptr<ServerTls> tls;
        Finished finished;
        Clock::time_point deadline;
    };
    struct Group
    {
        std::size_t inProgress = 0;
        std::deque<Waiter> waiting;
    };

    // Gives the free places to waiting connections, one address after another.
    void GiveOutPlaces();
    void Launch(const std::string& group, Waiter waiter);
    // Back on the room's thread: the handshake of a connection of the group is over.
    void Ended(const std::string& group);
    void DropOverdue();
    void Overdue(Waiter waiter);
    void ScheduleSweep();
    void ForgetIfIdle(const std::string& group);
    std::string TimeText() const;

    asio::io_context& room;
    const HandshakeLimits limits;
    std::optional<asio::io_context> pool;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::thread> threads;
    asio::steady_timer sweep;
    bool sweeping = false;

    std::unordered_map<std::string, Group> groups;
    std::deque<std::string> turns; // groups with connections waiting, in the order they are served
    std::size_t inProgress = 0;
    std::size_t waitingCount = 0;
    bool stopped = false;
};
