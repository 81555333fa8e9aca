#include "server/metrics/RequestHeads.h"

#include "server/room/IpNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace
{

// What the bound per address counts the peer by: an IPv4 address itself, an IPv6 address by its
// /64, as the chat port counts its clients.
std::string PeerGroup(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                  sizeof text);
    else if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                  sizeof text);
    asio::error_code error;
    const asio::ip::address ip = asio::ip::make_address(text, error);
    return error ? std::string(text) : AddressGroup(ip);
}

// The blank line that ends a request head.
bool HeadIsWhole(const std::string& bytes)
{
    return bytes.find("\r\n\r\n") != std::string::npos || bytes.find("\n\n") != std::string::npos;
}

// Told without waiting (a client that does not read it is closed all the same).
void TellBusy(int socket)
{
    static const std::string answer = "HTTP/1.1 503 Service Unavailable\r\n"
                                      "Content-Type: text/plain\r\n"
                                      "Content-Length: 38\r\n"
                                      "Connection: close\r\n"
                                      "\r\n"
                                      "every worker is busy: try again later\n";
    if (send(socket, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
        return; // closed all the same
}

} // namespace

RequestHeads::RequestHeads(int listener, int stopFd, const Limits& limits, Take take)
    : listener(listener), stopFd(stopFd), limits(limits), take(std::move(take))
{
}

RequestHeads::~RequestHeads()
{
    for (const Reading& reading : readings)
        close(reading.socket);
}

void RequestHeads::Run()
{
    std::vector<pollfd> records;
    for (;;)
    {
        // Out of descriptors, the listener is left alone a moment rather than polled in a loop.
        const bool accepting = Clock::now() >= acceptPausedUntil;
        records.assign(
            {{stopFd, POLLIN, 0}, {listener, static_cast<short>(accepting ? POLLIN : 0), 0}});
        for (const Reading& reading : readings)
            records.push_back({reading.socket, POLLIN, 0});
        const int ready = poll(records.data(), records.size(), PollTimeout(Clock::now()));
        if (ready < 0 && errno != EINTR)
            return;
        if (ready > 0 && records[0].revents != 0)
            return;

        // Each connection read, handed over, closed or kept, in one pass.
        const auto now = Clock::now();
        std::vector<Reading> kept;
        kept.reserve(readings.size());
        for (std::size_t i = 0; i < readings.size(); ++i)
        {
            Reading& reading = readings[i];
            const bool readable = ready > 0 && records[i + 2].revents != 0;
            const Outcome outcome = readable ? ReadFrom(reading) : Outcome::Reading;
            if (outcome == Outcome::Whole)
                HandOver(reading);
            else if (outcome == Outcome::Gone || Due(reading) <= now)
                close(reading.socket);
            else
                kept.push_back(std::move(reading));
        }
        readings.swap(kept);
        if (ready > 0 && records[1].revents != 0)
            AcceptAll();
    }
}

void RequestHeads::AcceptAll()
{
    for (;;)
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int socket = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                acceptPausedUntil = Clock::now() + AcceptPause;
            return;
        }
        Admit(socket, PeerGroup(address));
    }
}

void RequestHeads::Admit(int socket, std::string group)
{
    const auto fromAddress = std::count_if(readings.begin(), readings.end(),
                                           [&](const Reading& r) { return r.group == group; });
    auto oldest = readings.end();
    if (static_cast<std::size_t>(fromAddress) >= limits.perAddress)
        oldest = std::find_if(readings.begin(), readings.end(),
                              [&](const Reading& r) { return r.group == group; });
    else if (readings.size() >= limits.connections)
        oldest = readings.begin();
    if (oldest != readings.end())
    {
        close(oldest->socket);
        readings.erase(oldest);
    }
    if (limits.perAddress == 0 || limits.connections == 0)
    {
        close(socket);
        return;
    }
    const auto now = Clock::now();
    readings.push_back({socket, std::move(group), {}, now, now});
}

RequestHeads::Outcome RequestHeads::ReadFrom(Reading& reading)
{
    char chunk[4096];
    for (;;)
    {
        const std::size_t room =
            limits.headBytes - std::min(limits.headBytes, reading.bytes.size());
        if (room == 0)
            return Outcome::Gone; // more than a head may take, and still not whole
        const ssize_t count = recv(reading.socket, chunk, std::min(sizeof chunk, room), 0);
        if (count > 0)
        {
            reading.bytes.append(chunk, static_cast<std::size_t>(count));
            reading.heard = Clock::now();
            if (HeadIsWhole(reading.bytes))
                return Outcome::Whole;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Outcome::Reading;
        return Outcome::Gone;
    }
}

void RequestHeads::HandOver(Reading& reading)
{
    RequestHead head{reading.socket, std::move(reading.bytes), reading.accepted + limits.time};
    if (take(std::move(head)))
        return;
    TellBusy(reading.socket);
    close(reading.socket);
}

RequestHeads::Clock::time_point RequestHeads::Due(const Reading& reading) const
{
    return std::min(reading.heard + limits.silence, reading.accepted + limits.time);
}

int RequestHeads::PollTimeout(Clock::time_point now) const
{
    if (readings.empty() && now >= acceptPausedUntil)
        return -1;
    Clock::time_point first =
        now >= acceptPausedUntil ? Clock::time_point::max() : acceptPausedUntil;
    for (const Reading& reading : readings)
        first = std::min(first, Due(reading));
    if (first <= now)
        return 0;
    // Rounded up, so that the round after the wait finds the connection due.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60000));
}
