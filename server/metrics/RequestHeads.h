#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// A connection whose request head has come whole: its socket (non-blocking, now the taker's to
// close), the bytes read (the head, and whatever came with it), and by when its answer must have
// been given.
struct RequestHead
{
    int socket = -1;
    std::string bytes;
    std::chrono::steady_clock::time_point deadline;
};

// The accepting side of the metrics endpoint: one thread accepts every connection and reads its
// request head, polling all of them at once, so that a client that sends slowly or not at all
// holds nothing but its own small place here; a worker gets a connection only once its head is
// whole, and then needs no more of the client than that it takes the answer.
//
// Each connection has `silence` between its bytes and `time` in all; a head larger than
// headBytes is cut off. At most `connections` are read at once, and `perAddress` of those from
// one address (an IPv6 address counts by its /64): a newcomer beyond either bound takes the place
// of the oldest (of its address, or of all), which has had the longest time already, so that a
// client that opens many connections and drips into them cannot keep anyone else out.
class RequestHeads
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        std::size_t headBytes = 16 * 1024;
        std::chrono::milliseconds silence{2000};
        std::chrono::milliseconds time{5000};
        std::size_t connections = 256;
        std::size_t perAddress = 8;
    };
    // Given each whole head; false when it cannot be taken now: the client is then told the
    // endpoint is busy, and closed.
    using Take = std::function<bool(RequestHead head)>;

    // listener: a listening socket; stopFd: a descriptor that becomes readable when Run is to
    // end. Neither is closed here.
    RequestHeads(int listener, int stopFd, const Limits& limits, Take take);
    // Closes the connections whose heads were still being read.
    ~RequestHeads();
    RequestHeads(const RequestHeads&) = delete;
    RequestHeads& operator=(const RequestHeads&) = delete;

    // Accepts and reads until stopFd becomes readable.
    void Run();

private:
    struct Reading
    {
        int socket = -1;
        std::string group; // the address it counts for
        std::string bytes;
        Clock::time_point accepted;
        Clock::time_point heard; // the last bytes, or the accept
    };
    enum class Outcome
    {
        Reading,
        Whole,
        Gone
    };

    void AcceptAll();
    void Admit(int socket, std::string group);
    // Reads what has come; whether the head is whole, the connection gone (closed, an error,
    // too large), or still being read.
    Outcome ReadFrom(Reading& reading);
    void HandOver(Reading& reading);
    Clock::time_point Due(const Reading& reading) const;
    // Until the first connection is due, for poll; -1 for none.
    int PollTimeout(Clock::time_point now) const;

    // How long the listener is left alone when a connection cannot be accepted (no descriptor
    // left): the connections wait in the system's queue meanwhile.
    static constexpr auto AcceptPause = std::chrono::milliseconds(100);

    const int listener;
    const int stopFd;
    const Limits limits;
    const Take take;
    std::vector<Reading> readings; // in the order of their accepts, oldest first
    Clock::time_point acceptPausedUntil;
};
